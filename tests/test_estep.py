"""E-step kernels and the expected counts of one item, against plain Python
references that follow the documented operation order to the bit."""

import math

import numpy as np
import pytest

import korvane
from helpers import layouts, random_responses, run_with_threads, same_bits
from reference import log_sum_exp, loglik_2pl

INF = math.inf
NAN = math.nan


# ---- scalar references ----------------------------------------------------


def exp(x):
    return math.exp(x) if x == x else NAN


def ref_e_step_complete(r, q, w, a, b, mean, var):
    sigma = math.sqrt(var)
    C = math.log(var) + 1.8378770664093453
    lp = [(((t - mean) / sigma) * ((t - mean) / sigma) + C) * (-0.5) for t in q]
    lw = [math.log(w[k] + 1e-10) for k in range(len(q))]
    post, marg = [], []
    for row in r:
        v = [(loglik_2pl(row, t, a, b) + lp[k]) + lw[k] for k, t in enumerate(q)]
        L = log_sum_exp(v)
        post.append([exp(x - L) for x in v])
        marg.append(math.exp(L))
    return np.array(post).reshape(len(r), len(q)), np.array(marg)


def ref_weighted_e_step(r, sw, q, w, a, b):
    lw = [math.log(w[k] + 1e-10) for k in range(len(q))]
    post, total = [], 0.0
    for i, row in enumerate(r):
        v = [loglik_2pl(row, t, a, b) + lw[k] for k, t in enumerate(q)]
        L = log_sum_exp(v)
        post.append([exp(x - L) for x in v])
        total = total + sw[i] * L
    return np.array(post).reshape(len(r), len(q)), total


def ref_mcem(r, samples, a, b):
    n_s = samples.shape[1]
    weights, marg = [], []
    for i, row in enumerate(r):
        ll = [loglik_2pl(row, samples[i, s, 0], a, b) for s in range(n_s)]
        m = -INF
        for x in ll:
            if x > m:
                m = x
        e = [exp(x - m) for x in ll]
        E = 0.0
        for x in e:
            E += x
        weights.append([x / E for x in e])
        with np.errstate(invalid="ignore"):  # 0 / 0 with the hardware's NaN
            mean = float(np.float64(E) / np.float64(n_s))
        marg.append(mean * math.exp(m))
    return np.array(weights).reshape(len(r), n_s), np.array(marg)


def ref_counts(x, post, sw=None):
    n_q = post.shape[1]
    r, n = [0.0] * n_q, [0.0] * n_q
    for i, code in enumerate(x):
        if code < 0:
            continue
        for k in range(n_q):
            p = post[i, k] if sw is None else post[i, k] * sw[i]
            n[k] += p
            if code == 1:
                r[k] += p
    return np.array(r), np.array(n)


def ref_poly(x, post, K):
    R = np.zeros((post.shape[1], K))
    for i, code in enumerate(x):
        if 0 <= code < K:
            for k in range(post.shape[1]):
                R[k, code] += post[i, k]
    return R


# ---- fixtures -------------------------------------------------------------


def small_problem(rng, n_persons=7, n_items=5, n_quad=6):
    """Responses with codes 0, 1, 2 and missing -1/-9, an all-missing row and
    column, nodes on [-4, 4] and positive weights."""
    r = random_responses(rng, n_persons, n_items, missing=0.2)
    r[2, :] = -1
    r[:, 3] = -9
    q = np.sort(rng.uniform(-4, 4, n_quad))
    w = rng.uniform(0.01, 1.0, n_quad)
    a = rng.uniform(0.3, 2.5, n_items)
    b = rng.normal(0, 1.2, n_items)
    return r, q, w, a, b


def posterior(rng, n_persons, n_quad):
    p = rng.random((n_persons, n_quad))
    return p / p.sum(axis=1, keepdims=True)


# ---- e_step_complete and weighted_e_step ----------------------------------


@pytest.mark.parametrize("mean,var", [(0.0, 1.0), (0.3, 2.5), (-1.0, 0.25)])
def test_e_step_complete_bits(rng, mean, var):
    r, q, w, a, b = small_problem(rng)
    post, marg = korvane.e_step_complete(r, q, w, a, b, mean, var)
    ref_post, ref_marg = ref_e_step_complete(r, q, w, a, b, mean, var)
    assert same_bits(post, ref_post) and same_bits(marg, ref_marg)
    assert np.allclose(post.sum(axis=1), 1.0)


def test_e_steps_accept_any_layout(rng):
    r, q, w, a, b = small_problem(rng)
    sw = rng.uniform(0.5, 2.0, r.shape[0])
    want_c = korvane.e_step_complete(r, q, w, a, b, 0.0, 1.0)
    want_w = korvane.weighted_e_step(r, sw, q, w, a, b)
    for (_, rl), (_, ql), (_, al) in zip(layouts(r), layouts(q), layouts(a)):
        got_c = korvane.e_step_complete(rl, ql, w, al, b, 0.0, 1.0)
        got_w = korvane.weighted_e_step(rl, sw, ql, w, al, b)
        assert all(same_bits(x, y) for x, y in zip(got_c, want_c))
        assert same_bits(got_w[0], want_w[0]) and got_w[1] == want_w[1]


def test_weighted_e_step_bits(rng):
    r, q, w, a, b = small_problem(rng)
    sw = np.append(rng.uniform(0.0, 3.0, r.shape[0]), 99.0)  # an extra weight is ignored
    post, total = korvane.weighted_e_step(r, sw, q, w, a, b)
    ref_post, ref_total = ref_weighted_e_step(r, sw, q, w, a, b)
    assert same_bits(post, ref_post) and same_bits(total, ref_total)
    # The survey weights scale only the total, never the posterior rows.
    post1, _ = korvane.weighted_e_step(r, np.ones(r.shape[0]), q, w, a, b)
    assert same_bits(post, post1)


def test_e_step_prior_is_added_to_the_weights():
    # No responses: the posterior is the normalised prior times the weights.
    r = np.full((1, 2), -1, dtype=np.int32)
    q = np.array([-1.0, 0.0, 1.0])
    w = np.full(3, 1 / 3)
    post, marg = korvane.e_step_complete(r, q, w, np.ones(2), np.zeros(2), 0.0, 1.0)
    dens = np.exp(-q**2 / 2) / math.sqrt(2 * math.pi) * (w + 1e-10)
    assert np.allclose(post[0], dens / dens.sum(), rtol=1e-14)
    assert np.isclose(marg[0], dens.sum(), rtol=1e-14)


@pytest.mark.parametrize("var", [0.0, -1.0, NAN])
def test_non_positive_prior_variance_gives_nan(rng, var):
    r, q, w, a, b = small_problem(rng)
    post, marg = korvane.e_step_complete(r, q, w, a, b, 0.0, var)
    assert np.isnan(post).all() and (marg == 0.0).all()


def test_marginal_underflows_while_posterior_stays_finite(rng):
    r = np.ones((3, 2000), dtype=np.int32)
    q = np.linspace(-3, 3, 7)
    a, b = np.ones(2000), np.full(2000, 3.0)
    post, marg = korvane.e_step_complete(r, q, np.full(7, 1 / 7), a, b, 0.0, 1.0)
    assert (marg == 0.0).all() and np.isfinite(post).all()
    _, total = korvane.weighted_e_step(r, np.ones(3), q, np.full(7, 1 / 7), a, b)
    assert np.isfinite(total) and total < -1000


@pytest.mark.parametrize("n_persons,n_items,n_quad", [(0, 3, 4), (3, 0, 4), (3, 2, 0), (0, 0, 0)])
def test_e_steps_empty_sizes(rng, n_persons, n_items, n_quad):
    r = random_responses(rng, n_persons, n_items)
    q, w = np.linspace(-2, 2, n_quad), np.full(n_quad, 0.25)
    a, b = np.ones(n_items), np.zeros(n_items)
    post, marg = korvane.e_step_complete(r, q, w, a, b, 0.0, 1.0)
    ref_post, ref_marg = ref_e_step_complete(r, q, w, a, b, 0.0, 1.0)
    assert same_bits(post, ref_post) and same_bits(marg, ref_marg)
    wpost, total = korvane.weighted_e_step(r, np.ones(n_persons), q, w, a, b)
    ref_wpost, ref_total = ref_weighted_e_step(r, np.ones(n_persons), q, w, a, b)
    assert same_bits(wpost, ref_wpost) and same_bits(total, ref_total)


def test_e_steps_parameter_lengths(rng):
    r, q, w, a, b = small_problem(rng)
    sw = np.ones(r.shape[0])
    # Item 3 is never answered: its parameters are never needed.
    keep = np.array([0, 1, 2, 4, 3])
    r2, a2, b2 = r[:, keep], a[keep][:4], b[keep][:4]
    korvane.e_step_complete(r2, q, w, a2, b2, 0.0, 1.0)
    korvane.weighted_e_step(r2, sw, q, w, a2, b2)
    cases = [
        ("discrimination", lambda: korvane.e_step_complete(r, q, w, a[:2], b, 0.0, 1.0)),
        ("difficulty", lambda: korvane.e_step_complete(r, q, w, a, b[:2], 0.0, 1.0)),
        ("quad_weights", lambda: korvane.e_step_complete(r, q, w[:-1], a, b, 0.0, 1.0)),
        ("discrimination", lambda: korvane.weighted_e_step(r, sw, q, w, a[:2], b)),
        ("quad_weights", lambda: korvane.weighted_e_step(r, sw, q, w[:-1], a, b)),
        ("weights", lambda: korvane.weighted_e_step(r, sw[:-1], q, w, a, b)),
    ]
    for name, call in cases:
        with pytest.raises(BaseException, match=name) as info:
            call()
        assert type(info.value).__name__ == "KernelFailure"
    # Extra quadrature weights are ignored.
    got = korvane.e_step_complete(r, q, np.append(w, 5.0), a, b, 0.0, 1.0)
    want = korvane.e_step_complete(r, q, w, a, b, 0.0, 1.0)
    assert all(same_bits(x, y) for x, y in zip(got, want))


# ---- mcem_e_step ----------------------------------------------------------


@pytest.mark.parametrize("n_samples,k", [(9, 1), (4, 3), (0, 2)])
def test_mcem_bits(rng, n_samples, k):
    r, _, _, a, b = small_problem(rng)
    samples = rng.normal(0, 1.5, (r.shape[0] + 1, n_samples, k))  # an extra person is ignored
    wts, marg = korvane.mcem_e_step(r, samples, a, b)
    ref_w, ref_m = ref_mcem(r, samples, a, b)
    assert same_bits(wts, ref_w) and same_bits(marg, ref_m)
    for _, sl in layouts(samples):
        assert all(same_bits(x, y) for x, y in zip(korvane.mcem_e_step(r, sl, a, b), (wts, marg)))


def test_mcem_identical_samples(rng):
    r, _, _, a, b = small_problem(rng)
    samples = np.repeat(rng.normal(size=(r.shape[0], 1, 1)), 5, axis=1)
    wts, marg = korvane.mcem_e_step(r, samples, a, b)
    assert (wts == 0.2).all()
    like = [math.exp(loglik_2pl(row, samples[i, 0, 0], a, b)) for i, row in enumerate(r)]
    assert np.allclose(marg, like, rtol=1e-15)


def test_mcem_failures(rng):
    r, _, _, a, b = small_problem(rng)
    n = r.shape[0]
    cases = [
        ("theta_samples", rng.normal(size=(n - 1, 3, 1)), a, b),
        ("theta_samples", np.zeros((n, 3, 0)), a, b),
        ("discrimination", rng.normal(size=(n, 3, 1)), a[:1], b),
        ("difficulty", rng.normal(size=(n, 3, 1)), a, b[:1]),
    ]
    for name, samples, aa, bb in cases:
        with pytest.raises(BaseException, match=name):
            korvane.mcem_e_step(r, samples, aa, bb)
    # Without samples no log-likelihood is evaluated, so short parameters pass.
    korvane.mcem_e_step(r, np.zeros((n, 0, 1)), a[:1], b[:1])


# ---- expected counts of one item ------------------------------------------


def test_expected_counts_bits(rng):
    x = np.array([1, 0, 3, -1, 1, 2, -9, 1, 0], dtype=np.int32)
    post = posterior(rng, len(x) + 2, 6)  # extra rows are ignored
    sw = rng.uniform(0, 2, len(x))
    r, n = korvane.compute_expected_counts(x, post)
    assert all(same_bits(g, w) for g, w in zip((r, n), ref_counts(x, post)))
    assert (r <= n).all() and np.isclose(n.sum(), np.sum(x >= 0))
    wr, wn = korvane.weighted_expected_counts(x, post, sw)
    assert all(same_bits(g, w) for g, w in zip((wr, wn), ref_counts(x, post, sw)))
    ones = korvane.weighted_expected_counts(x, post, np.ones(len(x)))
    assert same_bits(ones[0], r) and same_bits(ones[1], n)
    for K in (0, 3, 5):
        assert same_bits(korvane.compute_expected_counts_polytomous(x, post, K), ref_poly(x, post, K))
    for (_, xl), (_, pl) in zip(layouts(x), layouts(post)):
        assert all(same_bits(g, w) for g, w in zip(korvane.compute_expected_counts(xl, pl), (r, n)))


def test_expected_counts_codes():
    # Codes 1, 0, 3, -1 with one-hot posteriors: the 3 counts as incorrect,
    # the -1 nowhere.
    x = np.array([1, 0, 3, -1], dtype=np.int32)
    post = np.eye(4)
    r, n = korvane.compute_expected_counts(x, post)
    assert list(r) == [1, 0, 0, 0] and list(n) == [1, 1, 1, 0]
    R = korvane.compute_expected_counts_polytomous(x, post, 3)
    assert R.shape == (4, 3) and R[0, 1] == 1 and R[1, 0] == 1 and R.sum() == 2  # the 3 is outside [0, 3)
    wr, wn = korvane.weighted_expected_counts(x, post, np.array([2.0, 0.0, 1.0, 7.0]))
    assert list(wr) == [2, 0, 0, 0] and list(wn) == [2, 0, 1, 0]


@pytest.mark.parametrize("n_persons,n_quad", [(0, 4), (4, 0)])
def test_expected_counts_empty(rng, n_persons, n_quad):
    x = np.ones(n_persons, dtype=np.int32)
    post = np.ones((n_persons, n_quad))
    r, n = korvane.compute_expected_counts(x, post)
    assert r.shape == n.shape == (n_quad,) and not r.any() and not n.any()
    assert korvane.compute_expected_counts_polytomous(x, post, 2).shape == (n_quad, 2)
    assert korvane.weighted_expected_counts(x, post, np.ones(n_persons))[1].shape == (n_quad,)


def test_expected_counts_short_arguments(rng):
    x = np.array([1, 0, -1, 7], dtype=np.int32)
    post = posterior(rng, 2, 3)
    # Persons beyond the posterior rows whose codes are skipped never touch it.
    korvane.compute_expected_counts(x[:3], post)
    korvane.weighted_expected_counts(x[:3], post, np.ones(2))
    korvane.compute_expected_counts_polytomous(x, post, 2)
    cases = [
        ("posterior_weights", lambda: korvane.compute_expected_counts(x, post)),
        ("posterior_weights", lambda: korvane.weighted_expected_counts(x, post, np.ones(4))),
        ("posterior_weights", lambda: korvane.compute_expected_counts_polytomous(x, post, 8)),
        ("survey_weights", lambda: korvane.weighted_expected_counts(x[:2], post, np.ones(1))),
    ]
    for name, call in cases:
        with pytest.raises(BaseException, match=name) as info:
            call()
        assert type(info.value).__name__ == "KernelFailure"


# ---- thread independence --------------------------------------------------


def test_estep_results_do_not_depend_on_threads():
    code = """
        import hashlib, numpy as np, korvane
        rng = np.random.default_rng(5)
        r = rng.choice(np.array([-1, 0, 1, 2], dtype=np.int32), size=(500, 23))
        q = np.linspace(-4, 4, 21); w = rng.random(21)
        a = rng.uniform(0.5, 2, 23); b = rng.normal(size=23)
        out = list(korvane.e_step_complete(r, q, w, a, b, 0.1, 1.3))
        out += list(korvane.weighted_e_step(r, rng.random(500), q, w, a, b))
        out += list(korvane.mcem_e_step(r, rng.normal(size=(500, 17, 1)), a, b))
        print(hashlib.sha256(b"".join(np.asarray(x).tobytes() for x in out)).hexdigest())
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)
