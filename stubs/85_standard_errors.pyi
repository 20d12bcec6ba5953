# ---- Standard errors -------------------------------------------------------
# All four hold the posterior weights fixed (typically those of the final
# E-step) and treat each item's (a, b) on its own, so the Hessian is block
# diagonal with one 2x2 block per item; second derivatives are central
# differences with step h.
#
# compute_item_se_parallel ignores the cross derivative d2l/da db: its SEs are
# 1 / sqrt(-H_aa) and 1 / sqrt(-H_bb), never larger than those of the block
# inverse.  For the block inverse use
#     se = compute_se_from_hessian(compute_hessian_block_diagonal(r, post, q, a, b, 1e-4))
#     se_a, se_b = se[0::2], se[1::2]

def compute_item_se_parallel(
    responses: Int32Array,  # (n_persons, n_items)
    posterior_weights: Float64Array,  # (>= n_persons, >= n_quad), rows of the final E-step
    quad_points: Float64Array,  # (n_quad,)
    discrimination: Float64Array,  # (>= n_items,)
    difficulty: Float64Array,  # (>= n_items,)
    h: float,  # finite-difference step for both parameters
) -> tuple[Float64Array, Float64Array]:
    """Compute per-item Fisher information (observed information) in parallel.

    Exploits the block diagonal structure: items are independent,
    so we only need to compute 2x2 blocks (for 2PL: discrimination, difficulty)."""
    # -> (SE of discrimination, SE of difficulty), each (n_items,); NaN where the second
    #    difference is not below -1e-10 (an unanswered item, h = 0).  No cross derivative.

def compute_hessian_block_diagonal(
    responses: Int32Array,
    posterior_weights: Float64Array,
    quad_points: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
    h: float,
) -> Float64Array:
    """Compute full observed information matrix with block diagonal structure.

    For 2PL model, the Hessian is block diagonal with 2x2 blocks per item.
    This function computes the full matrix but exploits the block structure."""
    # -> (2 n_items, 2 n_items), rows/columns (a_0, b_0, a_1, b_1, ...); the Hessian of the
    #    log-likelihood (negative definite at a maximum), not its negative; zeros off the blocks.

def compute_se_from_hessian(
    hessian: Float64Array,  # (n, m) with m >= 2 * (n // 2); only the 2x2 diagonal blocks are read
) -> Float64Array:
    """Compute standard errors from observed information matrix.

    Takes the negative inverse of the Hessian and extracts diagonal elements."""
    # -> (n,): per 2x2 diagonal block sqrt of the diagonal of -block^-1 (upper off-diagonal entry
    #    only); NaN when det <= 1e-10 or a variance is not positive; an odd last entry stays 0.0.

def compute_complete_data_ll(
    responses: Int32Array,
    posterior_weights: Float64Array,
    quad_points: Float64Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
) -> float:
    """Compute complete data log-likelihood for all items.

    Used for finite difference Hessian computation."""
    # -> sum_i sum_{k: w_ik >= 1e-10} w_ik sum_j log P(x_ij | theta_k), unclamped; a parallel
    #    sum, so the last bits may vary between runs.
