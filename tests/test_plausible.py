"""Plausible values: posterior-grid draws with jitter and random-walk Metropolis chains.

The module's generator (PCG64 seeded through SplitMix64, polar normal draws
with an IEEE-only logarithm) is replayed with its plain-Python copy in
pcg64_reference, so the draws are checked to the bit against a scalar
reference in the stated draw order.
"""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, random_responses, run_with_threads, same_bits
from pcg64_reference import Pcg64
from reference import loglik_2pl

INF = math.inf


# ---- references ---------------------------------------------------------------------


def posterior_reference(responses, nodes, weights, a, b, n_plausible, jitter_sd, seed):
    n = min(len(nodes), len(weights))
    out = []
    for i, row in enumerate(responses.tolist()):
        g = Pcg64(seed + i)
        lp = [loglik_2pl(row, nodes[q], a, b) + math.log(weights[q] + 1e-10) for q in range(n)]
        top = -INF
        for v in lp:
            if v > top:
                top = v
        e = [math.exp(v - top) for v in lp]
        total = 0.0
        for v in e:
            total += v
        pi = [v / total for v in e]
        draws = []
        for _ in range(n_plausible):
            u = g.uniform()
            c, node = 0.0, len(nodes) - 1
            for q in range(n):
                c += pi[q]
                if u < c:
                    node = q
                    break
            draws.append(jitter_sd * g.normal() + nodes[node])
        out.append(draws)
    return np.array(out, dtype=np.float64).reshape(len(responses), n_plausible)


def mcmc_reference(responses, a, b, n_plausible, n_iter, proposal_sd, seed):
    out = []
    for i, row in enumerate(responses.tolist()):
        g = Pcg64(seed + i)
        theta, draws = 0.0, []
        for _ in range(n_plausible):
            for _ in range(n_iter):
                cand = (g.normal() * proposal_sd + 0.0) + theta
                diff = (loglik_2pl(row, cand, a, b) - 0.5 * cand * cand) - (
                    loglik_2pl(row, theta, a, b) - 0.5 * theta * theta)
                u = g.uniform()
                if (math.log(u) if u > 0 else -INF) < diff:
                    theta = cand
            draws.append(theta)
        out.append(draws)
    return np.array(out, dtype=np.float64).reshape(len(responses), n_plausible)


@pytest.fixture
def data(rng):
    r = random_responses(rng, 6, 5)
    r[2] = -1
    a, b = rng.uniform(0.5, 2.0, 5), rng.normal(0, 1, 5)
    q = np.linspace(-4, 4, 17)
    w = np.exp(-q * q / 2)
    return r, a, b, q, w / w.sum()


def test_generator_reference_matches_numpy_pcg64():
    # The Python generator's raw stream is NumPy's PCG64 at the same state.
    g = Pcg64(12345)
    bg = np.random.PCG64()
    st = bg.state
    st["state"] = {"state": g.state, "inc": g.inc}
    bg.state = st
    assert [g.next() for _ in range(5)] == list(bg.random_raw(5))


# ---- posterior draws ------------------------------------------------------------------


@pytest.mark.parametrize(
    "grid, n_plausible, jitter_sd, seed",
    [
        ("normal", 5, 0.2, 7),
        ("normal", 3, 0.0, 2**64 - 2),  # seeds wrap around
        ("normal", 4, -0.5, 11),        # a negative jitter scales the draw
        ("short weights", 4, 0.1, 3),
        ("one node", 3, 0.3, 5),
    ],
)
def test_posterior_matches_reference_bits(data, grid, n_plausible, jitter_sd, seed):
    r, a, b, q, w = data
    if grid == "short weights":
        w = w[:10]
    if grid == "one node":
        q, w = q[8:9], w[8:9]
    got = korvane.generate_plausible_values_posterior(r, q, w, a, b, n_plausible, jitter_sd, seed)
    assert same_bits(got, posterior_reference(r, q, w, a, b, n_plausible, jitter_sd, seed))
    if jitter_sd == 0.0:
        assert np.isin(got, q).all()


def test_posterior_nan_weight_takes_last_node(data):
    r, a, b, q, w = data
    w = w.copy()
    w[3] = math.nan
    got = korvane.generate_plausible_values_posterior(r, q, w, a, b, 6, 0.0, 1)
    assert np.all(got == q[-1])


def test_posterior_frequencies_follow_the_posterior(data):
    r, a, b, q, w = data
    r = r[[0, 2]]  # one answering person, one with nothing answered
    got = korvane.generate_plausible_values_posterior(r, q, w, a, b, 20000, 0.0, 99)
    for row, draws in zip(r.tolist(), got):
        lp = np.array([loglik_2pl(row, t, a, b) for t in q]) + np.log(w + 1e-10)
        pi = np.exp(lp - lp.max())
        pi /= pi.sum()
        freq = (draws[:, None] == q[None, :]).mean(axis=0)
        assert np.all(np.abs(freq - pi) < 5 * np.sqrt(pi * (1 - pi) / 20000) + 1e-9)


# ---- Metropolis chains -------------------------------------------------------------------


@pytest.mark.parametrize(
    "n_plausible, n_iter, proposal_sd, seed",
    [(4, 3, 0.8, 21), (5, 1, 0.5, 0), (3, 2, -1.5, 2**64 - 1), (3, 0, 0.5, 4)],
)
def test_mcmc_matches_reference_bits(data, n_plausible, n_iter, proposal_sd, seed):
    r, a, b, _, _ = data
    got = korvane.generate_plausible_values_mcmc(r, a, b, n_plausible, n_iter, proposal_sd, seed)
    assert same_bits(got, mcmc_reference(r, a, b, n_plausible, n_iter, proposal_sd, seed))
    if n_iter == 0:
        assert same_bits(got, np.zeros_like(got))


def test_mcmc_with_nothing_answered_samples_the_standard_normal():
    r = np.full((1, 4), -1, dtype=np.int32)
    draws = korvane.generate_plausible_values_mcmc(r, np.ones(4), np.zeros(4), 20000, 3, 1.5, 8)[0]
    assert abs(draws.mean()) < 0.08 and abs(draws.std() - 1.0) < 0.05


def test_long_test_draws_centre_on_the_eap():
    rng = np.random.default_rng(4)
    n_items = 80
    a, b = rng.uniform(0.8, 2.0, n_items), rng.normal(0, 1, n_items)
    r = (rng.random((1, n_items)) < 1 / (1 + np.exp(-a * (0.7 - b)))).astype(np.int32)
    q = np.linspace(-5, 5, 201)
    w = np.exp(-q * q / 2)
    eap, se = korvane.compute_eap_scores(r, q, w / w.sum(), a, b)
    post = korvane.generate_plausible_values_posterior(r, q, w, a, b, 4000, 0.01, 5)[0]
    chain = korvane.generate_plausible_values_mcmc(r, a, b, 4000, 5, 0.3, 5)[0]
    for draws in (post, chain):
        assert abs(draws.mean() - eap[0]) < 0.2 * se[0]
        assert abs(draws.std() / se[0] - 1.0) < 0.1


# ---- reproducibility and independence ----------------------------------------------------


def test_draws_do_not_depend_on_threads():
    code = """
        import numpy as np, korvane, sys
        rng = np.random.default_rng(6)
        r = rng.integers(-1, 2, (2000, 20)).astype(np.int32)
        a, b = rng.uniform(0.5, 2, 20), rng.normal(0, 1, 20)
        q = np.linspace(-4, 4, 31); w = np.exp(-q * q / 2)
        x = korvane.generate_plausible_values_posterior(r, q, w, a, b, 5, 0.3, 17)
        y = korvane.generate_plausible_values_mcmc(r, a, b, 5, 4, 0.7, 17)
        sys.stdout.buffer.write(x.tobytes() + y.tobytes())
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)


def test_person_draws_depend_only_on_seed_and_row(data, rng):
    r, a, b, q, w = data
    other = random_responses(rng, *r.shape)
    other[3] = r[3]
    for call in (
        lambda x: korvane.generate_plausible_values_posterior(x, q, w, a, b, 4, 0.3, 40),
        lambda x: korvane.generate_plausible_values_mcmc(x, a, b, 4, 3, 0.7, 40),
    ):
        assert same_bits(call(r)[3], call(other)[3])
        assert not same_bits(call(r)[3], call(r)[4])


# ---- shapes and failures -------------------------------------------------------------------


def test_shapes_of_empty_results(data):
    r, a, b, q, w = data
    assert korvane.generate_plausible_values_posterior(r, q, w, a, b, 0, 0.1, 1).shape == (6, 0)
    assert korvane.generate_plausible_values_mcmc(r, a, b, 0, 5, 0.1, 1).shape == (6, 0)
    assert korvane.generate_plausible_values_posterior(r[:0], q, w, a, b, 3, 0.1, 1).shape == (0, 3)
    assert korvane.generate_plausible_values_mcmc(r[:0], a, b, 3, 5, 0.1, 1).shape == (0, 3)
    # No node to draw from is fine while nothing is drawn.
    assert korvane.generate_plausible_values_posterior(r, q[:0], w[:0], a, b, 0, 0.1, 1).shape == (6, 0)


def test_failures(data):
    r, a, b, q, w = data
    post = korvane.generate_plausible_values_posterior
    mcmc = korvane.generate_plausible_values_mcmc
    with pytest.raises(KernelFailure, match="quad_points"):
        post(r, q[:0], w[:0], a, b, 1, 0.1, 1)
    for bad in (INF, math.nan):
        with pytest.raises(KernelFailure, match="standard deviation"):
            post(r, q, w, a, b, 2, bad, 1)
        with pytest.raises(KernelFailure, match="standard deviation"):
            mcmc(r, a, b, 2, 0, bad, 1)
        post(r[:0], q, w, a, b, 2, bad, 1)  # no person, no check
        mcmc(r[:0], a, b, 2, 1, bad, 1)
    with pytest.raises(KernelFailure, match="discrimination"):
        post(r, q, w, a[:-1], b, 2, 0.1, 1)
    with pytest.raises(KernelFailure, match="difficulty"):
        mcmc(r, a, b[:-1], 2, 1, 0.1, 1)
    # A chain that takes no step evaluates no likelihood.
    assert np.all(mcmc(r, a[:1], b[:0], 3, 0, 0.1, 1) == 0.0)
    mcmc(r, a[:1], b[:0], 0, 5, 0.1, 1)
