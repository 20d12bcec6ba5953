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


def main():
    responses = load_responses()
    print(f"LSAT section 6: {responses.shape[0]} examinees, {responses.shape[1]} items\n")
    section_likelihood(responses)


if __name__ == "__main__":
    main()
