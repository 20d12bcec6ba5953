# ---- Differential item functioning (SIBTEST) --------------------------------
# Persons are matched on exact scores; within every score level that holds both
# groups the mean studied scores are compared (reference minus focal) and the
# level differences are averaged with weights 2 n_R n_F / (n_R + n_F).  No code is
# missing: every response is summed with its value, in 64-bit integers.  The
# standard error is the sampling error of beta:
#   sqrt(sum_s (w_s / W)^2 (var_R,s / n_R,s + var_F,s / n_F,s)).

def sibtest_compute_beta(
    ref_data: Int32Array,  # (n_ref, n_items)
    focal_data: Int32Array,  # (n_focal, n_items)
    ref_scores: Int32Array,  # (n_ref,) matching score of each reference person
    focal_scores: Int32Array,  # (n_focal,)
    suspect_items: Int32Array,  # column indices; duplicates count twice
) -> tuple[float, float, Float64Array, Float64Array]:
    """Compute SIBTEST beta statistic"""
    # -> (beta, se, differences, weights) over the usable levels in increasing score
    # order; (nan, nan, [], []) without a usable level

def sibtest_all_items(
    data: Int32Array,  # (n_persons, n_items)
    groups: Int32Array,  # smallest code = reference, second smallest = focal, others ignored
    anchor_items: Int32Array | None,  # matching items; None = every other item
) -> tuple[Float64Array, Float64Array, Float64Array]:
    """Compute SIBTEST for all items"""
    # -> (beta, z, p_value) per item; z = beta / se (NaN when se <= 1e-10),
    # p_value = 2 (1 - Phi(|z|)) through erf
