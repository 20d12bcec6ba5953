# ---- Log-likelihoods on a quadrature grid --------------------------------

def compute_log_likelihoods_2pl(
    responses: Int32Array,  # (n_persons, n_items)
    quad_points: Float64Array,  # (n_quad,)
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (n_items,)
) -> Float64Array:
    """Compute log-likelihoods for all persons at all quadrature points (2PL)"""
    # -> (n_persons, n_quad): log P(row i | theta = quad_points[q]), z = a (theta - b)

def compute_log_likelihoods_3pl(
    responses: Int32Array,
    quad_points: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
    guessing: Float64Array,  # (n_items,)
) -> Float64Array:
    """Compute log-likelihoods for all persons at all quadrature points (3PL)"""
    # -> (n_persons, n_quad); P = c + (1 - c) logistic(z), clamped to [1e-10, 1 - 1e-10]

def compute_log_likelihoods_mirt(
    responses: Int32Array,
    quad_points: Float64Array,  # (n_quad, n_factors), one row per node
    discrimination: Float64Array,  # (n_items, >= n_factors)
    difficulty: Float64Array,  # (n_items,)
) -> Float64Array:
    """Compute log-likelihoods for multidimensional IRT"""
    # -> (n_persons, n_quad); z = a_j . theta_q - (sum of row j of discrimination) * b_j
