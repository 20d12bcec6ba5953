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


def section_whole_model_fits(responses):
    # 41 nodes: equally spaced on [-4, 4] with standard-normal weights, the
    # scale of the published estimates (15 and 21 nodes are narrower tables).
    a, b, loglik, n_iter, converged = korvane.em_fit_2pl(responses, 41, 500, 1e-6)
    print("\nEM fit of the 2PL model in one call (41 standard-normal nodes)")
    print(f"  {n_iter} iterations, converged {converged}, log-likelihood {loglik:.3f}")
    boot_a, boot_b = korvane.bootstrap_fit_2pl(responses, 100, 41, 500, 1e-6, seed=2026)
    se_a, se_b = boot_a.std(axis=0, ddof=1), boot_b.std(axis=0, ddof=1)
    print("  item   a (boot se)      published    b (boot se)       published")
    for j in range(len(a)):
        print(f"  {j + 1:4d}  {a[j]:6.3f} ({se_a[j]:.3f})   {PUBLISHED_DISCRIMINATION[j]:6.3f}"
              f"      {b[j]:7.3f} ({se_b[j]:.3f})   {PUBLISHED_DIFFICULTY[j]:7.3f}")


# ---- Person scoring -----------------------------------------------------------


# ---- Fit diagnostics and DIF --------------------------------------------------


# ---- Standard errors and simulation ------------------------------------------


def main():
    responses = load_responses()
    print(f"LSAT section 6: {responses.shape[0]} examinees, {responses.shape[1]} items\n")
    section_likelihood(responses)
    section_whole_model_fits(responses)


if __name__ == "__main__":
    main()
