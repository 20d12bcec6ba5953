"""Newton M-steps (2PL and 3PL) and the per-item expected counts, against plain
Python references that follow the documented operation order to the bit."""

import numpy as np
import pytest

import korvane
from helpers import layouts, random_responses, run_with_threads, same_bits
from reference import logistic

FLOOR, CEIL = 1e-10, 0.9999999999


class BadBounds(Exception):
    pass


def clamp_prob(p):  # a NaN stays NaN
    if p < FLOOR:
        p = FLOOR
    if p > CEIL:
        p = CEIL
    return p


def clamp(x, lo, hi):
    if x < lo:
        x = lo
    if x > hi:
        x = hi
    return x


def check(bounds):
    if not bounds[0] <= bounds[1]:
        raise BadBounds


def ref_counts(resp, post, n_quad):
    r = np.zeros((resp.shape[1], n_quad))
    n = np.zeros((resp.shape[1], n_quad))
    for j in range(resp.shape[1]):
        rj, nj = [0.0] * n_quad, [0.0] * n_quad
        for i in range(resp.shape[0]):
            x = resp[i, j]
            if x < 0:
                continue
            for k in range(n_quad):
                nj[k] += post[i, k]
                if x == 1:
                    rj[k] += post[i, k]
        r[j], n[j] = rj, nj
    return r, n


def ref_newton_2pl(r, n, theta, a, b, max_iter, tol, db, fb, damping, lam):
    for _ in range(max_iter):
        ga = gb = haa = hbb = hab = 0.0
        for k in range(len(theta)):
            if n[k] < 1e-10:
                continue
            d = theta[k] - b
            P = clamp_prob(logistic(a * d))
            D = r[k] - n[k] * P
            W = (1.0 - P) * (n[k] * P)
            gb = gb - a * D
            ga = ga + D * d
            haa = haa - W * d * d
            hbb = hbb - W * a * a
            hab = hab + a * W * d
        haa -= lam
        hbb -= lam
        det = haa * hbb - hab * hab
        if abs(det) < 1e-10:
            break
        check(db)
        check(fb)
        sa = (hbb * ga - hab * gb) / det
        sb = (haa * gb - hab * ga) / det
        a = clamp(a - damping * sa, *db)
        b = clamp(b - damping * sb, *fb)
        if abs(sa) < tol and abs(sb) < tol:
            break
    return a, b


def ref_newton_3pl(r, n, theta, a, b, c, max_iter, tol, db, fb, cb, dab, dc, lam, lamc):
    for _ in range(max_iter):
        F = 1.0 - c
        ga = gb = ha = hb = 0.0
        for k in range(len(theta)):
            if not n[k] >= 1e-10:
                continue
            d = theta[k] - b
            ps = logistic(a * d)
            dpa = d * ((1.0 - ps) * (ps * F))
            dpb = a * ((1.0 - ps) * (-ps * F))
            P = clamp_prob(ps * F + c)
            V = P * (1.0 - P) + 1e-10
            ga += (r[k] - n[k] * P) * dpa / V
            gb += (r[k] - n[k] * P) * dpb / V
            ha -= ((1.0 - P) * (n[k] * P)) * dpa * dpa / V
            hb -= ((1.0 - P) * (n[k] * P)) * dpb * dpb / V
        if abs(ha - lam) > 1e-10:
            check(db)
            a = clamp(a - (ga / (ha - lam)) * dab, *db)
        if abs(hb - lam) > 1e-10:
            check(fb)
            b = clamp(b - (gb / (hb - lam)) * dab, *fb)
        gc = hc = 0.0
        for k in range(len(theta)):
            if not n[k] >= 1e-10:
                continue
            ps = logistic(a * (theta[k] - b))
            P = clamp_prob(ps * F + c)
            V = (1.0 - P) * P + 1e-10
            hc -= (1.0 - ps) * (n[k] * (1.0 - ps)) / V
            gc += (1.0 - ps) * (r[k] - n[k] * P) / V
        if abs(hc - lamc) > 1e-10:
            check(cb)
            c = clamp(c - (gc / (hc - lamc)) * dc, *cb)
        if abs(ga) < tol and abs(gb) < tol and abs(gc) < tol:
            break
    return a, b, c


def ref_m_step_2pl(resp, post, q, a, b, max_iter, tol, db, fb, damping, lam):
    r, n = ref_counts(resp, post, len(q))
    out = [ref_newton_2pl(r[j], n[j], q, a[j], b[j], max_iter, tol, db, fb, damping, lam)
           for j in range(resp.shape[1])]
    return np.array([o[0] for o in out]), np.array([o[1] for o in out])


def ref_m_step_3pl(resp, post, q, a, b, c, *settings):
    r, n = ref_counts(resp, post, len(q))
    out = [ref_newton_3pl(r[j], n[j], q, a[j], b[j], c[j], *settings) for j in range(resp.shape[1])]
    return tuple(np.array([o[k] for o in out]) for k in range(3))


@pytest.fixture
def problem(rng):
    """30 persons x 11 items (more than one block of items), 7 nodes, posterior
    weights from an E-step; item 4 is never answered, code 2 and missing codes occur."""
    resp = random_responses(rng, 30, 11, missing=0.15)
    resp[:, 4] = -1
    q = np.linspace(-3, 3, 7)
    a0 = rng.uniform(0.5, 2.0, 11)
    b0 = rng.normal(0, 1, 11)
    post, _ = korvane.e_step_complete(resp, q, np.full(7, 1 / 7), a0, b0, 0.0, 1.0)
    return resp, post, q, rng.uniform(0.6, 1.6, 11), rng.normal(0, 0.5, 11)


SETTINGS_2PL = [
    # max_iter, tol, disc_bounds, diff_bounds, damping, regularization
    (10, 1e-6, (0.2, 5.0), (-6.0, 6.0), 1.0, 0.0),
    (25, 0.0, (0.2, 5.0), (-6.0, 6.0), 0.5, 1e-3),
    (4, 1e-3, (0.9, 1.1), (-0.2, 0.2), 1.0, 0.1),
    (1, 1e-6, (0.1, 5.0), (-4.0, 4.0), 1.3, 0.0),
]


@pytest.mark.parametrize("settings", SETTINGS_2PL)
def test_m_step_2pl_bits(problem, settings):
    resp, post, q, a, b = problem
    got = korvane.m_step_dichotomous_parallel(resp, post, q, a, b, *settings)
    want = ref_m_step_2pl(resp, post, q, a, b, *settings)
    assert same_bits(got[0], want[0]) and same_bits(got[1], want[1])


SETTINGS_3PL = [
    # max_iter, tol, disc, diff, guess bounds, damping_ab, damping_c, regularization, regularization_c
    (10, 1e-6, (0.2, 5.0), (-6.0, 6.0), (0.0, 0.5), 1.0, 1.0, 0.0, 0.0),
    (20, 0.0, (0.2, 5.0), (-6.0, 6.0), (0.0, 0.4), 0.5, 0.3, 1e-3, 1e-2),
    (3, 1e-4, (0.5, 1.5), (-1.0, 1.0), (0.0, 0.0), 1.0, 1.0, 0.1, 0.0),
]


@pytest.mark.parametrize("settings", SETTINGS_3PL)
def test_m_step_3pl_bits(problem, rng, settings):
    resp, post, q, a, b = problem
    c = rng.uniform(0.0, 0.3, len(a))
    got = korvane.m_step_3pl_parallel(resp, post, q, a, b, c, *settings)
    want = ref_m_step_3pl(resp, post, q, a, b, c, *settings)
    assert all(same_bits(g, w) for g, w in zip(got, want))


def test_nan_count_is_used_by_2pl_and_skipped_by_3pl(problem):
    resp, post, q, a, b = problem
    post = post.copy()
    post[0, 3] = np.nan
    s2 = SETTINGS_2PL[0]
    got = korvane.m_step_dichotomous_parallel(resp, post, q, a, b, *s2)
    want = ref_m_step_2pl(resp, post, q, a, b, *s2)
    assert same_bits(got[0], want[0]) and same_bits(got[1], want[1])
    answered = resp[0] >= 0
    assert np.isnan(got[0][answered]).all() and not np.isnan(got[0][~answered]).any()
    c = np.full(len(a), 0.1)
    got3 = korvane.m_step_3pl_parallel(resp, post, q, a, b, c, *SETTINGS_3PL[0])
    want3 = ref_m_step_3pl(resp, post, q, a, b, c, *SETTINGS_3PL[0])
    assert all(same_bits(g, w) for g, w in zip(got3, want3))
    assert not any(np.isnan(x).any() for x in got3)


def test_m_steps_accept_any_layout(problem):
    resp, post, q, a, b = problem
    c = np.full(len(a), 0.2)
    want2 = korvane.m_step_dichotomous_parallel(resp, post, q, a, b, *SETTINGS_2PL[0])
    want3 = korvane.m_step_3pl_parallel(resp, post, q, a, b, c, *SETTINGS_3PL[0])
    for (_, rl), (_, pl), (_, al) in zip(layouts(resp), layouts(post), layouts(a)):
        got2 = korvane.m_step_dichotomous_parallel(rl, pl, q, al, b, *SETTINGS_2PL[0])
        got3 = korvane.m_step_3pl_parallel(rl, pl, q, al, b, c, *SETTINGS_3PL[0])
        assert all(same_bits(g, w) for g, w in zip(got2 + got3, want2 + want3))
    # Extra posterior columns beyond len(quad_points) are ignored.
    wide = np.hstack([post, np.full((post.shape[0], 2), 9.0)])
    got2 = korvane.m_step_dichotomous_parallel(resp, wide, q, a, b, *SETTINGS_2PL[0])
    assert all(same_bits(g, w) for g, w in zip(got2, want2))


def test_max_iter_zero_returns_start_values_untested(problem):
    resp, post, q, _, _ = problem
    a = np.full(11, 9.0)  # outside the bounds
    b = np.full(11, -8.0)
    c = np.full(11, 0.9)
    rev = (5.0, 0.2)
    got = korvane.m_step_dichotomous_parallel(resp, post, q, a, b, 0, 1e-6, rev, rev, 1.0, 0.0)
    assert same_bits(got[0], a) and same_bits(got[1], b)
    got = korvane.m_step_3pl_parallel(resp, post, q, a, b, c, 0, 1e-6, rev, rev, rev, 1.0, 1.0, 0.0, 0.0)
    assert all(same_bits(g, w) for g, w in zip(got, (a, b, c)))


def test_unanswered_item(problem):
    resp, post, q, a, b = problem
    resp = np.full((resp.shape[0], 1), -1, dtype=np.int32)
    start = (np.array([7.0]), np.array([-9.0]))
    # No information: with no ridge det = 0 and the start values stay (bounds never tested).
    got = korvane.m_step_dichotomous_parallel(resp, post, q, *start, 10, 1e-6, (5.0, 0.2), (-6.0, 6.0), 1.0, 0.0)
    assert list(got[0]) == [7.0] and list(got[1]) == [-9.0]
    # With a ridge det = 1e-6, the step is 0 and the values are clamped into the bounds.
    got = korvane.m_step_dichotomous_parallel(resp, post, q, *start, 10, 1e-6, (0.2, 5.0), (-6.0, 6.0), 1.0, 1e-3)
    assert list(got[0]) == [5.0] and list(got[1]) == [-6.0]
    # 3PL: every gradient is 0 < tol, nothing moves, bounds are never tested.
    rev = (1.0, 0.0)
    got = korvane.m_step_3pl_parallel(resp, post, q, *start, np.array([0.7]), 10, 1e-6, rev, rev, rev,
                                      1.0, 1.0, 0.0, 0.0)
    assert [x[0] for x in got] == [7.0, -9.0, 0.7]


def test_guessing_bounds_and_damping(problem):
    resp, post, q, a, b = problem
    c = np.full(len(a), 0.25)
    s = dict(max_iter=5, tol=1e-8, disc_bounds=(0.2, 5.0), diff_bounds=(-6.0, 6.0), damping_ab=1.0,
             regularization=0.0, regularization_c=0.0)
    ga, gb, gc = korvane.m_step_3pl_parallel(resp, post, q, a, b, c, guess_bounds=(0.0, 0.0), damping_c=1.0, **s)
    answered = (resp >= 0).any(axis=0)
    assert (gc[answered] == 0.0).all() and not np.array_equal(ga[answered], a[answered])
    # damping_c = 0 keeps c but still clamps it into the bounds, which must be valid.
    _, _, gc = korvane.m_step_3pl_parallel(resp, post, q, a, b, c, guess_bounds=(0.0, 0.2), damping_c=0.0, **s)
    assert (gc[answered] == 0.2).all() and (gc[~answered] == 0.25).all()
    with pytest.raises(BaseException, match="guess_bounds"):
        korvane.m_step_3pl_parallel(resp, post, q, a, b, c, guess_bounds=(0.3, 0.2), damping_c=0.0, **s)


NAN = float("nan")


@pytest.mark.parametrize("which,bounds", [
    ("disc_bounds", (5.0, 0.2)), ("disc_bounds", (NAN, 5.0)), ("diff_bounds", (-6.0, NAN)),
    ("diff_bounds", (6.0, -6.0)),
])
def test_bad_bounds_fail_at_first_update(problem, which, bounds):
    resp, post, q, a, b = problem
    s2 = dict(disc_bounds=(0.2, 5.0), diff_bounds=(-6.0, 6.0))
    s2[which] = bounds
    with pytest.raises(BaseException, match=which) as info:
        korvane.m_step_dichotomous_parallel(resp, post, q, a, b, 3, 1e-6, damping=1.0, regularization=0.0, **s2)
    assert type(info.value).__name__ == "KernelFailure"
    s3 = dict(s2, guess_bounds=(0.0, 0.5))
    with pytest.raises(BaseException, match=which):
        korvane.m_step_3pl_parallel(resp, post, q, a, b, np.full(11, 0.1), 3, 1e-6, damping_ab=1.0,
                                    damping_c=1.0, regularization=0.0, regularization_c=0.0, **s3)


def test_m_step_short_arguments(problem):
    resp, post, q, a, b = problem
    c = np.full(11, 0.1)
    s2 = (5, 1e-6, (0.2, 5.0), (-6.0, 6.0), 1.0, 0.0)
    s3 = (5, 1e-6, (0.2, 5.0), (-6.0, 6.0), (0.0, 0.5), 1.0, 1.0, 0.0, 0.0)
    short = resp.copy()
    short[-2:, :] = -1  # persons without a posterior row answer nothing
    korvane.m_step_dichotomous_parallel(short, post[:-2], q, a, b, *s2)
    korvane.m_step_3pl_parallel(short, post[:-2], q, a, b, c, *s3)
    korvane.compute_expected_counts_parallel(short, post[:-2])
    cases = [
        ("discrimination", lambda: korvane.m_step_dichotomous_parallel(resp, post, q, a[:10], b, *s2)),
        ("difficulty", lambda: korvane.m_step_dichotomous_parallel(resp, post, q, a, b[:10], *s2)),
        ("posterior_weights", lambda: korvane.m_step_dichotomous_parallel(resp, post[:-1], q, a, b, *s2)),
        ("posterior_weights", lambda: korvane.m_step_dichotomous_parallel(resp, post[:, :-1], q, a, b, *s2)),
        ("guessing", lambda: korvane.m_step_3pl_parallel(resp, post, q, a, b, c[:10], *s3)),
        ("posterior_weights", lambda: korvane.m_step_3pl_parallel(resp, post[:, :-1], q, a, b, c, *s3)),
        ("posterior_weights", lambda: korvane.compute_expected_counts_parallel(resp, post[:-1])),
    ]
    for name, call in cases:
        with pytest.raises(BaseException, match=name) as info:
            call()
        assert type(info.value).__name__ == "KernelFailure"


def test_expected_counts_parallel(problem):
    resp, post, _, _, _ = problem
    r, n = korvane.compute_expected_counts_parallel(resp, post)
    want_r, want_n = ref_counts(resp, post, post.shape[1])
    assert same_bits(r, want_r) and same_bits(n, want_n)
    assert (r <= n).all() and not n[4].any()
    # Row j equals the one-item kernel on column j.
    for j in range(resp.shape[1]):
        rj, nj = korvane.compute_expected_counts(np.ascontiguousarray(resp[:, j]), post)
        assert same_bits(rj, r[j]) and same_bits(nj, n[j])
    for (_, rl), (_, pl) in zip(layouts(resp), layouts(post)):
        got = korvane.compute_expected_counts_parallel(rl, pl)
        assert same_bits(got[0], r) and same_bits(got[1], n)


def test_expected_counts_parallel_codes_and_empty():
    resp = np.array([[1], [0], [2], [-1]], dtype=np.int32)
    r, n = korvane.compute_expected_counts_parallel(resp, np.eye(4))
    assert r.tolist() == [[1, 0, 0, 0]] and n.tolist() == [[1, 1, 1, 0]]
    r, n = korvane.compute_expected_counts_parallel(np.ones((3, 5), dtype=np.int32), np.ones((0, 0)))
    assert r.shape == n.shape == (5, 0)
    r, n = korvane.compute_expected_counts_parallel(np.ones((0, 5), dtype=np.int32), np.ones((0, 3)))
    assert r.shape == (5, 3) and not r.any() and not n.any()


def test_mstep_results_do_not_depend_on_threads():
    code = """
        import hashlib, numpy as np, korvane
        rng = np.random.default_rng(7)
        r = rng.choice(np.array([-1, 0, 1, 2], dtype=np.int32), size=(400, 37))
        q = np.linspace(-4, 4, 15)
        p = rng.random((400, 15)); p /= p.sum(axis=1, keepdims=True)
        a = rng.uniform(0.5, 2, 37); b = rng.normal(size=37); c = rng.uniform(0, 0.3, 37)
        out = list(korvane.m_step_dichotomous_parallel(r, p, q, a, b, 10, 1e-6, (0.2, 5.0), (-6.0, 6.0), 1.0, 0.0))
        out += list(korvane.m_step_3pl_parallel(r, p, q, a, b, c, 10, 1e-6, (0.2, 5.0), (-6.0, 6.0), (0.0, 0.5),
                                                1.0, 1.0, 0.0, 0.0))
        out += list(korvane.compute_expected_counts_parallel(r, p))
        print(hashlib.sha256(b"".join(np.asarray(x).tobytes() for x in out)).hexdigest())
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)
