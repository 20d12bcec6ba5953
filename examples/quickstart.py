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


def section_em_loop(responses):
    from em_loop import fit_2pl

    a, b, loglik, iterations = fit_2pl(responses, n_nodes=61)
    print("\n2PL fit by a Python EM loop (e_step_complete + m_step_dichotomous_parallel)")
    print(f"  {iterations} iterations, log-likelihood {loglik:.3f} (published {PUBLISHED_LOGLIK:.3f})")
    print("  discrimination " + " ".join(f"{x:7.4f}" for x in a))
    print("       published " + " ".join(f"{x:7.4f}" for x in PUBLISHED_DISCRIMINATION))
    print("  difficulty     " + " ".join(f"{x:7.4f}" for x in b))
    print("       published " + " ".join(f"{x:7.4f}" for x in PUBLISHED_DIFFICULTY))
    # One E-step at the fitted values: each examinee's posterior over the grid.
    nodes = np.linspace(-6, 6, 61)
    posterior, _ = korvane.e_step_complete(responses, nodes, np.ones(61), a, b, 0.0, 1.0)
    r, n = korvane.compute_expected_counts_parallel(responses, posterior)
    print(f"  expected correct answers per item: {np.round(r.sum(axis=1), 1)}")


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


def section_scoring(responses):
    a, b = PUBLISHED_DISCRIMINATION, PUBLISHED_DIFFICULTY
    nodes, weights = normal_grid(81)
    eap, eap_se = korvane.compute_eap_scores(responses, nodes, weights, a, b)
    wle, wle_se = korvane.compute_wle_scores(responses, a, b, -6.0, 6.0, 1e-8)
    # EAPsum: the sum-score table from the recursion, then one EAP per score.
    table = korvane.lord_wingersky_recursion(nodes, a, b)
    scores = responses.sum(axis=1).astype(np.int32)
    eapsum, eapsum_se = korvane.eapsum_from_distribution(table, np.log(weights), scores, nodes)
    expected = np.exp(table) @ weights * len(responses)  # examinees expected per score

    print("\nPerson scores at the published estimates, by sum score")
    print("  score    n  expected   EAPsum (se)      EAP range        mean EAP   mean WLE (se)")
    for s in range(table.shape[0]):
        at = scores == s
        if not at.any():
            continue
        k = np.flatnonzero(at)[0]
        print(f"  {s:5d} {at.sum():4d} {expected[s]:9.1f}  {eapsum[k]:6.3f} ({eapsum_se[k]:.3f})"
              f"  {eap[at].min():6.3f} .. {eap[at].max():6.3f}  {eap[at].mean():8.3f}"
              f"  {wle[at].mean():8.3f} ({wle_se[at].mean():.3f})")
    print(f"  EAP and EAPsum differ by at most {np.max(np.abs(eap - eapsum)):.3f} "
          f"(EAP also weighs which items were right); WLE, with no prior, is not pulled towards the mean.")


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
    section_em_loop(responses)
    section_scoring(responses)
    section_standard_errors(responses)
    section_diagnostics(responses)
    section_whole_model_fits(responses)
    section_simulation(responses)


if __name__ == "__main__":
    main()
