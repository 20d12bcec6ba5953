"""korvane on the LSAT section 6 data: one tour of the main capabilities.

Run:  python examples/quickstart.py
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import korvane  # noqa: E402
from lsat import (  # noqa: E402
    PUBLISHED_DIFFICULTY,
    PUBLISHED_DISCRIMINATION,
    PUBLISHED_LOGLIK,
    load_responses,
    normal_grid,
)


def marginal_loglik(responses, a, b, nodes, weights):
    """Sum over persons of ln sum_q w_q P(row | theta_q)."""
    loglik = korvane.compute_log_likelihoods_2pl(responses, nodes, a, b)
    top = loglik.max(axis=1, keepdims=True)
    return float(np.sum(top[:, 0] + np.log(np.exp(loglik - top) @ weights)))


def section_likelihood(responses):
    nodes, weights = normal_grid(121)
    ll = marginal_loglik(responses, PUBLISHED_DISCRIMINATION, PUBLISHED_DIFFICULTY, nodes, weights)
    print("Marginal log-likelihood at the published 2PL estimates")
    print(f"  korvane   {ll:.3f}")
    print(f"  published {PUBLISHED_LOGLIK:.3f}")


# ---- E-step / M-step loop driven from Python -------------------------------


# ---- Whole-model fits ---------------------------------------------------------


# ---- Person scoring -----------------------------------------------------------


# ---- Fit diagnostics and DIF --------------------------------------------------


# ---- Standard errors and simulation ------------------------------------------


def section_standard_errors(responses):
    nodes, weights = normal_grid(121)
    a, b = PUBLISHED_DISCRIMINATION, PUBLISHED_DIFFICULTY
    # Posterior weights of every examinee at the published estimates.
    log_post = korvane.compute_log_likelihoods_2pl(responses, nodes, a, b) + np.log(weights)
    post = np.exp(log_post - log_post.max(axis=1, keepdims=True))
    post /= post.sum(axis=1, keepdims=True)
    # Per item, without the cross derivative, and from the inverse of each 2x2 block.
    se_a, se_b = korvane.compute_item_se_parallel(responses, post, nodes, a, b, 1e-4)
    hessian = korvane.compute_hessian_block_diagonal(responses, post, nodes, a, b, 1e-4)
    block = korvane.compute_se_from_hessian(hessian)
    print("\nStandard errors of the published estimates (posterior held fixed, so with only")
    print("five items they understate the sampling error; the block column uses the cross term)")
    print("  item      a   se(a) block      b   se(b) block")
    for j in range(len(a)):
        print(f"  {j + 1:4d} {a[j]:6.3f} {se_a[j]:7.3f} {block[2 * j]:5.3f} "
              f"{b[j]:7.3f} {se_b[j]:7.3f} {block[2 * j + 1]:5.3f}")


def main():
    responses = load_responses()
    print(f"LSAT section 6: {responses.shape[0]} examinees, {responses.shape[1]} items\n")
    section_likelihood(responses)
    section_standard_errors(responses)


if __name__ == "__main__":
    main()
