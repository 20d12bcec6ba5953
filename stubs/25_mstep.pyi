
# ---- M-step: Newton updates of item parameters ----------------------------

def m_step_dichotomous_parallel(
    responses: Int32Array,  # (n_persons, n_items)
    posterior_weights: Float64Array,  # (>= n_persons, >= n_quad), e.g. from e_step_complete
    quad_points: Float64Array,  # (n_quad,)
    discrimination: Float64Array,  # (n_items,): start values
    difficulty: Float64Array,  # (n_items,): start values
    max_iter: int,  # Newton steps per item; 0 returns the start values unchanged
    tol: float,  # stop when both undamped steps are below tol
    disc_bounds: tuple[float, float],  # (low, high)
    diff_bounds: tuple[float, float],
    damping: float,  # fraction of the Newton step taken
    regularization: float,  # ridge subtracted from the Hessian diagonal
) -> tuple[Float64Array, Float64Array]:
    """Parallel M-step optimization for dichotomous items (2PL/3PL).

    Uses Newton-Raphson optimization for each item in parallel.
    Each item's parameters are optimized independently given the posterior weights."""
    # -> (discrimination (n_items,), difficulty (n_items,)); reversed or NaN
    # bounds raise KernelFailure at the first update that uses them

def m_step_3pl_parallel(
    responses: Int32Array,
    posterior_weights: Float64Array,
    quad_points: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
    guessing: Float64Array,  # (n_items,): start values
    max_iter: int,
    tol: float,  # stop when all three gradients are below tol
    disc_bounds: tuple[float, float],
    diff_bounds: tuple[float, float],
    guess_bounds: tuple[float, float],
    damping_ab: float,
    damping_c: float,
    regularization: float,  # ridge on the a and b curvatures
    regularization_c: float,  # ridge on the c curvature
) -> tuple[Float64Array, Float64Array, Float64Array]:
    """Parallel M-step for 3PL model including guessing parameter."""
    # -> (discrimination, difficulty, guessing), each (n_items,); per iteration
    # one diagonal Newton step of a and b, then one of c at the new a and b

def compute_expected_counts_parallel(
    responses: Int32Array,  # (n_persons, n_items)
    posterior_weights: Float64Array,  # (>= n_persons, n_quad)
) -> tuple[Float64Array, Float64Array]:
    """Compute expected counts for dichotomous items in parallel.

    Returns r_k (correct responses) and n_k (total responses) per quadrature point."""
    # -> (r (n_items, n_quad), n (n_items, n_quad))
