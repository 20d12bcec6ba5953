"""Response simulation under the 2PL/3PL, graded-response and partial-credit models."""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, layouts, run_with_threads
from pcg64_reference import Pcg64
from reference import logistic


# ---- plain references: one generator per person (seed + i), one uniform per item


def ref_category(p, u):
    cumulative = 0.0
    for k, pk in enumerate(p):
        cumulative += pk
        if cumulative > u:
            return k
    return len(p) - 1


def grm_probs(theta, a, deltas):
    cum = [1.0] + [logistic((theta - d) * a) for d in deltas] + [0.0]
    p = [cum[k] - cum[k + 1] for k in range(len(deltas) + 1)]
    p = [pk if pk > 0 else 0.0 for pk in p]
    s = 0.0
    for pk in p:
        s += pk
    return [pk / s for pk in p] if s > 1e-10 else p


def gpcm_probs(theta, a, deltas):
    e, s = [], -0.0
    for k in range(len(deltas) + 1):
        if k > 0:
            s += (theta - deltas[k - 1]) * a
        try:
            e.append(math.exp(s))
        except OverflowError:
            e.append(math.inf)
    total = 0.0
    for ek in e:
        total += ek
    return [ek / total if total != 0 else math.nan for ek in e]


def ref_polytomous(model, theta, a, thresholds, seed):
    probs = {"grm": grm_probs, "gpcm": gpcm_probs}[model]
    out = np.zeros((theta.shape[0], a.size), dtype=np.int32)
    for i in range(theta.shape[0]):
        g = Pcg64(seed + i)
        for j in range(a.size):
            p = probs(theta[i, 0], a[j], list(thresholds[j]))
            out[i, j] = ref_category(p, g.uniform())
    return out


def ref_dichotomous(theta, a, b, c, seed):
    out = np.zeros((theta.size, a.size), dtype=np.int32)
    for i in range(theta.size):
        g = Pcg64(seed + i)
        for j in range(a.size):
            cj = 0.0 if c is None else c[j]
            P = logistic((theta[i] - b[j]) * a[j]) * (1.0 - cj) + cj
            out[i, j] = 1 if P > g.uniform() else 0
    return out


SIMULATE = {"grm": korvane.simulate_grm, "gpcm": korvane.simulate_gpcm}


def polytomous_inputs(rng, n_persons=300, n_items=8, n_cat=4):
    theta = rng.normal(0, 1.5, (n_persons, 2))  # column 1 is ignored
    a = rng.uniform(0.3, 2.5, n_items)
    thr = np.sort(rng.normal(0, 1, (n_items + 1, n_cat - 1)), axis=1)  # an extra row
    thr[1] = thr[1, ::-1]  # unordered thresholds
    thr[4] = 0.3  # equal thresholds
    a[2] = np.nan
    a[3] = 1e6  # GPCM overflow for persons above the thresholds
    a[5] = -0.8  # decreasing in theta
    a[6] = 12.0  # near-certain steps
    theta[5, 0] = np.nan
    theta[6:8, 0] = [30.0, -30.0]
    return theta, a, thr


@pytest.mark.parametrize("model", ["grm", "gpcm"])
@pytest.mark.parametrize("n_cat", [1, 2, 4])
def test_polytomous_draws_follow_category_rule(rng, model, n_cat):
    theta, a, thr = polytomous_inputs(rng, n_cat=n_cat)
    seed = 2**64 - 7  # seed + i wraps
    got = SIMULATE[model](theta, a, thr, seed)
    assert got.dtype == np.int32 and got.shape == (theta.shape[0], a.size)
    assert np.array_equal(got, ref_polytomous(model, theta, a, thr, seed))
    if n_cat == 1:
        assert not got.any()
    for _, t in layouts(theta):
        assert np.array_equal(SIMULATE[model](t, a, thr, seed), got)


@pytest.mark.parametrize("with_guessing", [False, True])
def logit(p):
    return math.log(p / (1.0 - p))


@pytest.mark.parametrize("model, n_cat, step", [("grm", 2, 0), ("grm", 4, 1), ("grm", 4, 2), ("dich", 2, 0)])
def test_draws_at_a_boundary(model, n_cat, step):
    # Person i's ability puts a cumulative probability of item 0 (nearly)
    # exactly at the uniform that person draws first: the strict comparison
    # of the exact probabilities decides.
    seed, a = 123, 1.3
    deltas = np.linspace(-1.0, 1.0, n_cat - 1)
    us = [Pcg64(seed + i).uniform() for i in range(400)]
    if model == "grm":
        # cumulative of categories 0 .. step is 1 - P*_{step+1}
        theta = np.array([[deltas[step] + logit(1.0 - u) / a] for u in us])
        thr = np.vstack([deltas, deltas + 0.5])
        got = korvane.simulate_grm(theta, np.array([a, 0.9]), thr, seed)
        assert np.array_equal(got, ref_polytomous("grm", theta, np.array([a, 0.9]), thr, seed))
        assert len(np.unique(got[:, 0])) == 2  # both sides of the boundary occur
    else:
        theta = np.array([0.2 + logit(u) / a for u in us])
        got = korvane.simulate_dichotomous(theta, np.array([a]), np.array([0.2]), None, seed)
        assert np.array_equal(got, ref_dichotomous(theta, np.array([a]), np.array([0.2]), None, seed))


@pytest.mark.parametrize("with_guessing", [False, True])
def test_dichotomous_draws(rng, with_guessing):
    theta = rng.normal(0, 1, 60)
    a, b = rng.uniform(0.3, 2.5, 9), rng.normal(0, 1, 12)  # longer difficulty: extra ignored
    c = rng.uniform(0, 0.3, 9) if with_guessing else None
    b[4] = np.nan  # NaN probability gives 0
    got = korvane.simulate_dichotomous(theta, a, b, c, 99)
    assert np.array_equal(got, ref_dichotomous(theta, a, b, c, 99))
    assert not got[:, 4].any()


def test_dichotomous_guessing_extremes(rng):
    theta, a, b = rng.normal(0, 1, 200), rng.uniform(0.5, 2, 6), rng.normal(0, 1, 6)
    ones = korvane.simulate_dichotomous(theta, a, b, np.ones(6), 3)
    assert (ones == 1).all()
    assert np.array_equal(korvane.simulate_dichotomous(theta, a, b, None, 3),
                          korvane.simulate_dichotomous(theta, a, b, np.zeros(6), 3))


def test_unordered_grm_never_draws_middle_category(rng):
    theta = rng.normal(0, 2, (3000, 1))
    got = korvane.simulate_grm(theta, np.array([1.5]), np.array([[1.0, -1.0]]), 5)
    assert set(np.unique(got)) <= {0, 2}


def test_gpcm_overflow_gives_top_category():
    got = korvane.simulate_gpcm(np.full((20, 1), 5.0), np.array([1e6]), np.array([[-1.0, 0.0, 1.0]]), 8)
    assert (got == 3).all()


# Observed category shares at one theta against the model probabilities.
@pytest.mark.parametrize("model", ["grm", "gpcm", "2pl", "3pl"])
def test_category_frequencies(model):
    n, theta0, a = 40000, 0.4, 1.3
    deltas = [-0.8, 0.1, 1.2]
    if model in ("grm", "gpcm"):
        got = SIMULATE[model](np.full((n, 1), theta0), np.array([a]), np.array([deltas]), 11)[:, 0]
        p = (grm_probs if model == "grm" else gpcm_probs)(theta0, a, deltas)
    else:
        c = np.array([0.2]) if model == "3pl" else None
        got = korvane.simulate_dichotomous(np.full(n, theta0), np.array([a]), np.array([0.5]), c, 11)[:, 0]
        P = logistic((theta0 - 0.5) * a) * (0.8 if c is not None else 1.0) + (0.2 if c is not None else 0.0)
        p = [1 - P, P]
    share = np.bincount(got, minlength=len(p)) / n
    assert np.all(np.abs(share - p) < 4 * np.sqrt(np.array(p) * (1 - np.array(p)) / n) + 1e-12)


CALLS = {
    "grm": "korvane.simulate_grm(np.full((n, 2), 0.3), a, thr, seed)",
    "gpcm": "korvane.simulate_gpcm(np.full((n, 1), 0.3), a, thr, seed)",
    "dich": "korvane.simulate_dichotomous(np.full(n, 0.3), a, thr[:, 0], thr[:, 1] / 10 + 0.1, seed)",
}


@pytest.mark.parametrize("model", list(CALLS))
def test_seed_shifts_identical_rows_and_threads_agree(model):
    code = f"""
        import numpy as np, korvane
        a = np.linspace(0.5, 2.0, 12); thr = np.sort(np.linspace(-2, 2, 36).reshape(12, 3), axis=1)
        n = 3000
        for seed in (41, 42):
            r = eval({CALLS[model]!r})
            print(r.tobytes().hex())
    """
    one = run_with_threads(code, 1)
    assert one == run_with_threads(code, 2)
    first, second = (bytes.fromhex(line) for line in one.decode().split())
    n_items = 12
    r41 = np.frombuffer(first, dtype=np.int32).reshape(-1, n_items)
    r42 = np.frombuffer(second, dtype=np.int32).reshape(-1, n_items)
    assert np.array_equal(r42[:-1], r41[1:])
    assert not np.array_equal(r42, r41)


@pytest.mark.parametrize("n_persons, n_items", [(0, 4), (5, 0), (0, 0)])
def test_empty_shapes(n_persons, n_items):
    a, thr = np.ones(n_items), np.zeros((n_items, 2))
    for fn in SIMULATE.values():
        assert fn(np.zeros((n_persons, 1)), a, thr, 1).shape == (n_persons, n_items)
    got = korvane.simulate_dichotomous(np.zeros(n_persons), a, np.zeros(n_items), None, 1)
    assert got.shape == (n_persons, n_items) and got.dtype == np.int32


@pytest.mark.parametrize("model", ["grm", "gpcm"])
def test_polytomous_failures(model):
    fn = SIMULATE[model]
    with pytest.raises(KernelFailure):  # too few threshold rows
        fn(np.zeros((3, 1)), np.ones(4), np.zeros((3, 2)), 1)
    with pytest.raises(KernelFailure):  # theta without columns
        fn(np.zeros((3, 0)), np.ones(4), np.zeros((4, 2)), 1)
    with pytest.raises(KernelFailure):  # rows fail before the loop
        fn(np.zeros((0, 1)), np.ones(4), np.zeros((3, 2)), 1)
    assert fn(np.zeros((0, 0)), np.ones(4), np.zeros((4, 2)), 1).shape == (0, 4)


@pytest.mark.parametrize("b_len, c_len", [(3, None), (4, 3), (3, 4)])
def test_dichotomous_short_parameters_fail(b_len, c_len):
    c = None if c_len is None else np.zeros(c_len)
    with pytest.raises(KernelFailure):
        korvane.simulate_dichotomous(np.zeros(2), np.ones(4), np.zeros(b_len), c, 1)


@pytest.mark.skipif(not hasattr(korvane, "em_fit_2pl"), reason="em_fit_2pl is not in this build")
def test_em_fit_recovers_generating_parameters():
    rng = np.random.default_rng(8)
    a = np.linspace(0.7, 2.0, 10)
    b = np.linspace(-1.5, 1.5, 10)[rng.permutation(10)]
    responses = korvane.simulate_dichotomous(rng.normal(0, 1, 10000), a, b, None, 2026)
    # 41 nodes: the equally spaced standard-normal grid on [-4, 4].
    a_hat, b_hat, _, _, converged = korvane.em_fit_2pl(responses, 41, 500, 1e-4)
    assert converged
    assert np.max(np.abs(a_hat - a)) < 0.2 and np.max(np.abs(b_hat - b)) < 0.2
    assert np.corrcoef(a_hat, a)[0, 1] > 0.9 and np.corrcoef(b_hat, b)[0, 1] > 0.99
