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


def section_simulation(responses):
    """Simulate at the published estimates, check the proportions correct, refit."""
    a, b = PUBLISHED_DISCRIMINATION, PUBLISHED_DIFFICULTY
    theta = np.random.default_rng(6).normal(0.0, 1.0, 20_000)
    simulated = korvane.simulate_dichotomous(theta, a, b, None, 2026)
    nodes, weights = normal_grid(121)
    model = weights @ (1.0 / (1.0 + np.exp(-a * (nodes[:, None] - b))))
    print("\nProportion correct per item: LSAT data, 20,000 simulated examinees, 2PL model")
    for j in range(a.size):
        print(f"  item {j + 1}  {responses[:, j].mean():.3f}  {simulated[:, j].mean():.3f}  {model[j]:.3f}")
    if hasattr(korvane, "em_fit_2pl"):
        a_hat, b_hat, _, _, _ = korvane.em_fit_2pl(simulated, 41, 500, 1e-4)
        print("Refit of the simulated data (em_fit_2pl, 41 nodes): generating -> estimated")
        for j in range(a.size):
            print(f"  item {j + 1}  a {a[j]:.3f} -> {a_hat[j]:.3f}   b {b[j]:+.3f} -> {b_hat[j]:+.3f}")


def main():
    responses = load_responses()
    print(f"LSAT section 6: {responses.shape[0]} examinees, {responses.shape[1]} items\n")
    section_likelihood(responses)
    section_simulation(responses)


if __name__ == "__main__":
    main()
