# ---- Adaptive testing -----------------------------------------------------
# 2PL items, z = a (theta - b).  The EAP update and both simulators add a
# standard-normal density on top of quad_weights: pass EQUAL weights for a
# standard-normal prior; normal weights make the prior N(0, 1/2).
#   q = np.linspace(-4, 4, 61); w = np.full(61, 1 / 61)
#   korvane.cat_eap_update(items, responses, a, b, q, w)

def cat_compute_item_info(
    theta: float,
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (n_items,)
) -> Float64Array:
    """Compute Fisher information for all items at a given theta"""
    # -> (min(len(discrimination), len(difficulty)),): a^2 P (1 - P) at theta

def cat_select_max_info(
    theta: float,
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (n_items,)
    available_mask: BoolArray,  # (>= n_items,), True = may be selected
) -> int:
    """Select item with maximum Fisher information from available items"""
    # -> index of the most informative available item (ties: lowest index;
    #    NaN information never chosen), or -1 when none is available

def cat_eap_update(
    administered_items: Int32Array,  # (k,) item indices in administration order
    responses: Int32Array,  # (>= k,) 1 correct, other >= 0 incorrect, < 0 skipped
    discrimination: Float64Array,
    difficulty: Float64Array,
    quad_points: Float64Array,  # (n_quad,)
    quad_weights: Float64Array,  # (>= n_quad,), times the standard-normal density
) -> tuple[Float64Array, Float64Array]:
    """Incremental EAP update after a single response"""
    # -> (eap, se), each of shape (1,); recomputed from all administered items.
    #    An empty grid gives (0.0, 0.0).

def cat_simulate_batch(
    true_thetas: Float64Array,  # (n_persons,)
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (n_items,)
    quad_points: Float64Array,  # (n_quad,)
    quad_weights: Float64Array,  # (>= n_quad,), times the standard-normal density
    se_threshold: float,  # stop once SE <= se_threshold (after min_items)
    max_items: int,  # test length cap
    min_items: int,  # items before the SE rule may stop; negative: never
    n_replications: int,
    seed: int,  # run (p, r) uses seed + 1000 p + r
) -> tuple[Float64Array, Float64Array, Int32Array, Float64Array]:
    """Run batch CAT simulations in parallel"""
    # -> (theta_hat, se, n_items, true_theta), each (n_persons * n_replications,),
    #    person-major; a run starts at theta 0 with SE +inf

def cat_conditional_mse(
    eval_thetas: Float64Array,  # (n_eval,)
    discrimination: Float64Array,
    difficulty: Float64Array,
    quad_points: Float64Array,
    quad_weights: Float64Array,  # times the standard-normal density
    se_threshold: float,
    max_items: int,
    min_items: int,
    n_replications: int,  # 0 gives NaN statistics
    seed: int,  # run (i, r) uses seed + 10000 i + r
) -> tuple[Float64Array, Float64Array, Float64Array, Float64Array]:
    """Compute conditional MSE at specified theta values"""
    # -> (theta, bias, mse, mean_items), each (n_eval,)
