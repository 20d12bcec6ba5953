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


def section_diagnostics(responses):
    a, b = PUBLISHED_DISCRIMINATION, PUBLISHED_DIFFICULTY
    # EAP abilities on a normal grid, computed here in NumPy from the likelihoods.
    nodes, weights = normal_grid(81)
    loglik = korvane.compute_log_likelihoods_2pl(responses, nodes, a, b)
    post = np.exp(loglik - loglik.max(axis=1, keepdims=True)) * weights
    theta = (post @ nodes) / post.sum(axis=1)

    outfit, infit, _, _ = korvane.compute_fit_statistics(responses, theta, a, b)
    print("\nItem fit at the published estimates (EAP abilities)")
    print("  item    " + "".join(f"{j + 1:>7d}" for j in range(len(a))))
    print("  outfit  " + "".join(f"{v:7.3f}" for v in outfit))
    print("  infit   " + "".join(f"{v:7.3f}" for v in infit))

    q3 = korvane.compute_q3_matrix(responses, theta, a, b)
    j, k = np.triu_indices(len(a), 1)
    top = np.argsort(-np.abs(q3[j, k]))[:3]
    print("  largest |Q3|: " + ", ".join(f"items {j[i] + 1}-{k[i] + 1}: {q3[j[i], k[i]]:+.3f}" for i in top))

    groups = np.random.default_rng(6).integers(0, 2, len(responses)).astype(np.int32)
    beta, z, p = korvane.sibtest_all_items(responses, groups, None)
    print("SIBTEST against a random split (no DIF expected)")
    print("  beta    " + "".join(f"{v:+7.3f}" for v in beta))
    print("  p       " + "".join(f"{v:7.3f}" for v in p))


# ---- Standard errors and simulation ------------------------------------------


def main():
    responses = load_responses()
    print(f"LSAT section 6: {responses.shape[0]} examinees, {responses.shape[1]} items\n")
    section_likelihood(responses)
    section_diagnostics(responses)


if __name__ == "__main__":
    main()
