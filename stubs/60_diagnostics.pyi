# ---- Fit diagnostics ---------------------------------------------------------
# 2PL at known abilities and item parameters: P = logistic(a (theta - b)).
# Response codes are used with their numeric value; a negative code is missing.

def compute_probabilities_batch(
    theta: Float64Array,  # (n_persons,)
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (>= n_items,)
) -> Float64Array:
    """Compute probabilities for all items in batch (2PL model).

    Parallelizes over persons for efficient computation."""
    # -> (n_persons, n_items) of P

def compute_probabilities_batch_3pl(
    theta: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
    guessing: Float64Array,  # (>= n_items,)
) -> Float64Array:
    """Compute probabilities with guessing parameter (3PL model)."""
    # -> (n_persons, n_items) of P (1 - c) + c, not clamped

def compute_expected_variance_batch(
    theta: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
) -> tuple[Float64Array, Float64Array]:
    """Compute expected values and variances for all items in batch.

    Returns (expected, variance) arrays of shape (n_persons, n_items)."""
    # -> (P, (1 - P) P), no floor on the variance

def compute_standardized_residuals(
    responses: Int32Array,  # (n_persons, n_items)
    theta: Float64Array,  # (>= n_persons,)
    discrimination: Float64Array,
    difficulty: Float64Array,
) -> Float64Array:
    """Compute standardized residuals"""
    # -> (n_persons, n_items) of (x - P) / sqrt((1 - P) P + 1e-10); NaN where missing

def compute_fit_statistics(
    responses: Int32Array,
    theta: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
) -> tuple[Float64Array, Float64Array, Float64Array, Float64Array]:
    """Compute item and person fit statistics (infit/outfit)"""
    # -> (item_outfit, item_infit, person_outfit, person_infit): mean squares, no
    # standardisation; NaN for an item or person without answers, infit NaN when
    # the summed variance is <= 1e-10

def compute_q3_matrix(
    responses: Int32Array,
    theta: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
) -> Float64Array:
    """Compute Q3 (residual correlation) matrix - Yen's local dependence statistic"""
    # -> symmetric (n_items, n_items), diagonal 0.0: correlation of the standardized
    # residuals over persons with both answers; NaN under 3 such persons, 0.0 for a
    # zero residual variance

def compute_ld_chi2_matrix(
    responses: Int32Array,  # codes 0 and 1 (a code above 1 in an answered pair fails)
    theta: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
) -> Float64Array:
    """Compute LD chi-square statistics for all item pairs"""
    # -> symmetric (n_items, n_items), diagonal 0.0: Pearson chi-square of the 2x2
    # table against expected counts at each person's theta, each floored at 0.5;
    # 2.0 for a pair nobody answered together

def compute_observed_margins(
    responses: Int32Array,
) -> tuple[Float64Array, Float64Array]:
    """Compute observed univariate and bivariate margins"""
    # -> (mean code per item, (n_items, n_items) mean product x_j x_k per pair with
    # diagonal 0.0); 0.0 without data.  Products are exact 64-bit integer products.

def compute_expected_margins(
    quad_points: Float64Array,  # (n_quad,)
    quad_weights: Float64Array,  # (>= n_quad,), used as given (not normalised)
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,
) -> tuple[Float64Array, Float64Array]:
    """Compute expected univariate and bivariate margins"""
    # -> (sum_q P_i w_q, sum_q P_j P_k w_q); sums start from -0.0
