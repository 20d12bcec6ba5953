# ---- Resampling and imputation -----------------------------------------------

def generate_bootstrap_indices(n_persons: int, n_bootstrap: int, seed: int) -> Int64Array:
    """Generate bootstrap sample indices"""
    # -> (n_bootstrap, n_persons): row r drawn uniformly from [0, n_persons) with the generator of seed + r

def resample_responses(
    responses: Int32Array,  # (n_persons, n_items)
    indices: Int64Array,  # (n_out,), each in [0, n_persons)
) -> Int32Array:
    """Resample responses matrix"""
    # -> (n_out, n_items): row r is responses[indices[r]]

def impute_from_probabilities(
    responses: Int32Array,  # (n_persons, n_items)
    theta: Float64Array,  # (>= n_persons,)
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (n_items,)
    missing_code: int,  # only cells equal to it are replaced
    seed: int,
) -> Int32Array:
    """Impute missing data using model probabilities"""
    # -> (n_persons, n_items): a missing cell becomes 1 if logistic(a (theta - b)) > u, else 0

def multiple_imputation(
    responses: Int32Array,  # (n_persons, n_items)
    theta_mean: Float64Array,  # (>= n_persons,)
    theta_se: Float64Array,  # (>= n_persons,)
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (n_items,)
    missing_code: int,
    n_imputations: int,
    seed: int,
) -> Int32Array:
    """Multiple imputation in parallel"""
    # -> (n_imputations, n_persons, n_items); imputation m, person i: generator of
    #    seed + m * n_persons + i, theta = theta_mean + z * theta_se, then as above

def generate_qmc_samples(n_persons: int, n_samples: int, n_factors: int, _seed: int) -> Float64Array:
    """Generate quasi-Monte Carlo samples"""
    # -> (n_persons, n_samples, n_factors): normal quantile of the radical inverse of s + 1 in
    #    base f + 2, clamped to [0.001, 0.999]; the same block for every person; _seed has no effect
