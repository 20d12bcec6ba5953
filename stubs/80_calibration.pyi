# ---- Linking and calibration ---------------------------------------------

def fixed_calib_em(
    responses: Int32Array,  # (n_persons, n_items)
    anchor_items: Sequence[int],  # columns of the anchors; entries beyond len(anchor_disc) unused (still checked)
    new_items: Sequence[int],  # columns of the items to calibrate
    anchor_disc: Float64Array,  # (n_anchors,), fixed
    anchor_diff: Float64Array,  # (>= n_anchors,), fixed
    theta_grid: Float64Array,  # (n_grid,) ability nodes on the anchors' scale
    quad_weights: Float64Array,  # (>= n_grid,) prior weights, used as given: log(w + 1e-10)
    max_iter: int,
    tol: float,  # both tests: tol > |ll - ll_prev| and tol > max|da| + max|db|
    disc_bounds: tuple[float, float] = (0.2, 5.0),
    diff_bounds: tuple[float, float] = (-5.0, 5.0),
    prob_clamp: tuple[float, float] = (0.01, 0.99),  # box of the node proportions r_k / n_k
    init_disc: float = 1.0,
    init_diff: float = 0.0,
    min_count: float = 1.0,  # a node enters the regression when n_k > min_count
    min_valid_points: int = 3,  # fewer valid nodes: the item keeps its parameters
) -> tuple[Float64Array, Float64Array, Float64Array, float, int, bool]:
    """Fixed-item calibration EM algorithm.

    Calibrates new items to an existing scale defined by anchor items
    with fixed parameters."""
    # -> (discrimination (n_new,), difficulty (n_new,), EAP (n_persons,), log-likelihood of the
    #    last E-step (-inf if none), iterations, converged).  The M-step is a weighted least-squares
    #    fit of the empirical logits on the grid, weights n_k.  A bounds pair is checked when it is
    #    applied: a reversed pair or a NaN raises KernelFailure.

def stocking_lord_criterion(
    disc_old: Float64Array,  # (n_items,)
    diff_old: Float64Array,  # (>= n_items,)
    disc_new: Float64Array,
    diff_new: Float64Array,
    a: float,  # slope A of theta_new = A theta_old + B
    b: float,  # intercept B
    theta_grid: Float64Array,  # nodes on the old scale, all weighted equally
) -> float:
    """Stocking-Lord equating criterion computation."""
    # -> sum_j sum_k (P_old(j, theta_k) - P_new(j, A theta_k + B))^2, item curves (not test
    #    curves); a parallel sum, so the last bits may vary between runs.
