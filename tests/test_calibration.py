"""Fixed-item calibration EM and the Stocking-Lord criterion, against
plain-Python references in the stated order."""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, random_responses, run_with_threads, same_bits
from reference import log_sigmoid, log_sum_exp, logistic

INF = float("inf")
DEFAULTS = {"disc_bounds": (0.2, 5.0), "diff_bounds": (-5.0, 5.0), "prob_clamp": (0.01, 0.99),
            "init_disc": 1.0, "init_diff": 0.0, "min_count": 1.0, "min_valid_points": 3}


def log_prob(x, z):
    return log_sigmoid(z) if x == 1 else log_sigmoid(-z)


def clamp(x, pair):
    lo, hi = pair
    assert lo <= hi
    x = lo if x < lo else x
    return hi if x > hi else x


def reference_calib(resp, anchors, new, ad, bd, grid, w, max_iter, tol, disc_bounds, diff_bounds, prob_clamp,
                    init_disc, init_diff, min_count, min_valid_points):
    n_p, n_g, n_a, n_n = resp.shape[0], len(grid), len(ad), len(new)
    grid = [float(t) for t in grid]
    lam = [math.log(float(w[k]) + 1e-10) for k in range(n_g)]
    anchor_ll = []
    for i in range(n_p):
        row = []
        for k in range(n_g):
            s = 0.0
            for m in range(n_a):
                x = int(resp[i, anchors[m]])
                if x >= 0:
                    s += log_prob(x, float(ad[m]) * (grid[k] - float(bd[m])))
            row.append(s)
        anchor_ll.append(row)
    a, b = [float(init_disc)] * n_n, [float(init_diff)] * n_n
    post = [[0.0] * n_g for _ in range(n_p)]
    ll, prev, it, conv = -INF, -INF, 0, False
    for c in range(1, max_iter + 1):
        it = c
        post, ll = [], 0.0
        for i in range(n_p):
            l = []
            for k in range(n_g):
                s = 0.0
                for t in range(n_n):
                    x = int(resp[i, new[t]])
                    if x >= 0:
                        s += log_prob(x, a[t] * (grid[k] - b[t]))
                l.append(s + anchor_ll[i][k] + lam[k])
            lse = log_sum_exp(l)
            post.append([math.exp(v - lse) for v in l])
            ll += lse
        if tol > abs(ll - prev):
            conv = True
            break
        a_new, b_new = a[:], b[:]
        for t in range(n_n):
            r, n = [0.0] * n_g, [0.0] * n_g
            for i in range(n_p):
                x = int(resp[i, new[t]])
                if x < 0:
                    continue
                for k in range(n_g):
                    n[k] += post[i][k]
                    if x == 1:
                        r[k] += post[i][k]
            pts = []
            for k in range(n_g):
                if n[k] > min_count:
                    p = clamp(r[k] / n[k], prob_clamp)
                    pts.append((grid[k], math.log(p / (1.0 - p)), n[k]))
            if len(pts) < min_valid_points:
                continue
            s = sx = sy = 0.0
            for _, _, wk in pts:
                s += wk
            for xk, _, wk in pts:
                sx += wk * xk
            for _, yk, wk in pts:
                sy += wk * yk
            xbar, ybar = sx / s, sy / s
            sxx = sxy = 0.0
            for xk, _, wk in pts:
                sxx += wk * ((xk - xbar) * (xk - xbar))
            for xk, yk, wk in pts:
                sxy += wk * (xk - xbar) * (yk - ybar)
            if sxx / s < 1e-10:
                continue
            a_new[t] = clamp((sxy / s) / (sxx / s), disc_bounds)
            b_new[t] = clamp(xbar - ybar / a_new[t], diff_bounds)
        da = db = 0.0
        for t in range(n_n):
            if abs(a_new[t] - a[t]) > da:
                da = abs(a_new[t] - a[t])
            if abs(b_new[t] - b[t]) > db:
                db = abs(b_new[t] - b[t])
        a, b = a_new, b_new
        if tol > da + db:
            conv = True
            break
        prev = ll
    eap = []
    for i in range(n_p):
        s = 0.0
        for k in range(n_g):
            s += post[i][k] * grid[k]
        eap.append(s)
    return np.array(a), np.array(b), np.array(eap), ll, it, conv


def assert_same_result(got, want):
    assert len(got) == 6
    for g, w in zip(got[:3], want[:3]):
        assert same_bits(g, w)
    assert same_bits(got[3], want[3])
    assert got[4] == want[4] and type(got[4]) is int
    assert got[5] is want[5]


@pytest.fixture
def design(rng):
    """140 persons (more than two blocks), 7 columns: anchors 5, 0, 3 (in that order) and new items 6, 2, 1; column 1
    is answered correctly by everyone (its logits all hit the clamp), column 4 is unused."""
    resp = random_responses(rng, 140, 7, missing=0.15)
    resp[:, 1] = 1
    grid = np.linspace(-3, 3, 7)
    w = np.exp(-0.5 * grid**2)
    return {
        "responses": resp, "anchor_items": [5, 0, 3], "new_items": [6, 2, 1],
        "anchor_disc": np.array([1.2, 0.8, 1.5]), "anchor_diff": np.array([-0.5, 0.3, 1.0]),
        "theta_grid": grid, "quad_weights": w / w.sum(),
    }


@pytest.mark.parametrize("max_iter, tol, settings", [
    (40, 1e-7, {}),
    (25, 1e-5, {"disc_bounds": (0.2, 0.9), "diff_bounds": (-1.0, 1.5), "prob_clamp": (0.1, 0.8),
                "init_disc": 0.5, "init_diff": 0.7, "min_count": 3.0, "min_valid_points": 4}),
    (3, 0.0, {}),  # stops at the cap, not converged
    (1, 1e-9, {}),
    (2, 100.0, {}),  # the parameter test passes in the first iteration
    (0, 1e-3, {}),  # start values, zero EAPs, -inf, 0 iterations
    (10, 1e-6, {"min_valid_points": 7, "min_count": 0.0}),  # items keep their start values
])
def test_fixed_calib_em_matches_reference(design, max_iter, tol, settings):
    kw = dict(DEFAULTS, **settings)
    got = korvane.fixed_calib_em(**design, max_iter=max_iter, tol=tol, **settings)
    want = reference_calib(*design.values(), max_iter, tol, *kw.values())
    assert_same_result(got, want)


def test_fixed_calib_em_edge_results(design):
    d = dict(design)
    a, b, eap, ll, it, conv = korvane.fixed_calib_em(**d, max_iter=0, tol=1e-3, init_disc=0.7, init_diff=-0.2)
    assert list(a) == [0.7] * 3 and list(b) == [-0.2] * 3 and not eap.any()
    assert (ll, it, conv) == (-INF, 0, False)
    _, _, _, _, it, conv = korvane.fixed_calib_em(**d, max_iter=5, tol=100.0)
    assert (it, conv) == (1, True)
    # The all-correct item sits on the clamps: every logit is ln 99, so the slope is the lower bound.
    a, b, *_ = korvane.fixed_calib_em(**d, max_iter=5, tol=1e-6)
    assert a[2] == 0.2 and b[2] == -5.0
    # No new items: one iteration, converged, the anchors alone shape the posterior.
    d["new_items"] = []
    a, b, eap, ll, it, conv = korvane.fixed_calib_em(**d, max_iter=5, tol=1e-9)
    assert a.shape == b.shape == (0,) and (it, conv) == (1, True)
    want = reference_calib(*d.values(), 5, 1e-9, *DEFAULTS.values())
    assert same_bits(eap, want[2]) and same_bits(ll, want[3])


def test_person_without_responses_gets_prior_mean(design):
    d = dict(design)
    d["responses"] = d["responses"].copy()
    d["responses"][4] = -1
    d["quad_weights"] = np.exp(-0.5 * (d["theta_grid"] - 0.6) ** 2)  # not normalised
    eap = korvane.fixed_calib_em(**d, max_iter=8, tol=1e-6)[2]
    w = d["quad_weights"] + 1e-10
    assert eap[4] == pytest.approx(np.sum(d["theta_grid"] * w / w.sum()), abs=1e-14)


def test_defaults_and_binding(design):
    args = list(design.values()) + [20, 1e-6]
    assert_same_result(korvane.fixed_calib_em(*args), korvane.fixed_calib_em(*args, *DEFAULTS.values()))
    assert korvane.fixed_calib_em.__text_signature__ == (
        "(responses, anchor_items, new_items, anchor_disc, anchor_diff, theta_grid, quad_weights, max_iter, "
        "tol, disc_bounds=..., diff_bounds=..., prob_clamp=..., init_disc=1.0, init_diff=0.0, min_count=1.0, "
        "min_valid_points=3)")
    assert korvane.fixed_calib_em.__doc__ == ("Fixed-item calibration EM algorithm.\n\nCalibrates new items to "
                                              "an existing scale defined by anchor items\nwith fixed parameters.")
    with pytest.raises(TypeError, match="^argument 'disc_bounds': "):
        korvane.fixed_calib_em(*args, disc_bounds=[0.2, 5.0])
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        korvane.fixed_calib_em(*args, prob_clamp=(0.1, 0.5, 0.9))
    with pytest.raises(TypeError, match="from 9 to 16 positional arguments but 17 were given"):
        korvane.fixed_calib_em(*args, *DEFAULTS.values(), 1)
    # Any sequence of column numbers will do.
    d = dict(design, anchor_items=tuple(design["anchor_items"]), new_items=np.array(design["new_items"]))
    assert_same_result(korvane.fixed_calib_em(**d, max_iter=20, tol=1e-6), korvane.fixed_calib_em(*args))


@pytest.mark.parametrize("change", [
    {"anchor_items": [5, 0, 7]},
    {"new_items": [6, 2, 99]},
    {"anchor_disc": np.array([1.2, 0.8, 1.5, 1.0])},  # more slopes than anchors
    {"anchor_diff": np.array([-0.5, 0.3])},
    {"quad_weights": np.full(6, 1 / 6)},
    {"disc_bounds": (5.0, 0.2)},
    {"diff_bounds": (1.0, float("nan"))},
    {"prob_clamp": (0.9, 0.1)},
])
def test_bad_input_fails(design, change):
    d = dict(design, **change)
    with pytest.raises(KernelFailure):
        korvane.fixed_calib_em(**d, max_iter=10, tol=1e-6)


def test_bounds_checked_only_when_applied(design):
    d = dict(design)
    # No node is valid: neither the clamp of the proportions nor the boxes are applied.
    got = korvane.fixed_calib_em(**d, max_iter=4, tol=1e-6, min_count=1e9, prob_clamp=(0.9, 0.1),
                                 disc_bounds=(5.0, 0.2), diff_bounds=(float("nan"), 0.0))
    assert list(got[0]) == [1.0] * 3 and list(got[1]) == [0.0] * 3
    # Valid nodes but too few of them: the proportions are clamped, the boxes never.
    got = korvane.fixed_calib_em(**d, max_iter=4, tol=1e-6, min_valid_points=99, disc_bounds=(5.0, 0.2))
    assert list(got[0]) == [1.0] * 3
    # A longer anchor list is fine (extra entries ignored); shorter slopes are fine without persons.
    extra = dict(d, anchor_items=d["anchor_items"] + [4])
    assert_same_result(korvane.fixed_calib_em(**extra, max_iter=6, tol=1e-6),
                       korvane.fixed_calib_em(**d, max_iter=6, tol=1e-6))
    empty = dict(d, responses=d["responses"][:0], anchor_diff=d["anchor_diff"][:1])
    a, b, eap, ll, it, conv = korvane.fixed_calib_em(**empty, max_iter=6, tol=1e-6)
    assert eap.shape == (0,) and (ll, it, conv) == (0.0, 1, True)  # nothing moves: parameter test


def test_same_bits_with_one_and_two_threads():
    code = """
        import numpy as np, korvane
        rng = np.random.default_rng(2)
        r = (rng.random((2500, 30)) < 0.6).astype(np.int32)
        r[rng.random(r.shape) < 0.1] = -1
        g = np.linspace(-4, 4, 31); w = np.exp(-g * g / 2)
        out = korvane.fixed_calib_em(r, range(0, 30, 2), range(1, 30, 2), rng.uniform(0.5, 2, 15),
                                     rng.normal(size=15), g, w, 15, 1e-9)
        print([x.tobytes().hex() if hasattr(x, "tobytes") else repr(x) for x in out])
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)


def test_new_items_recovered_on_anchor_scale():
    # Linking design: 20 anchors with parameters from an earlier calibration and 10 new
    # items generated on the same scale, anchors and new items interleaved.
    rng = np.random.default_rng(11)
    n_persons, n_anchor, n_new = 20000, 20, 10
    a_anchor, b_anchor = rng.uniform(0.7, 2.0, n_anchor), rng.uniform(-2, 2, n_anchor)
    a_new, b_new = rng.uniform(0.7, 2.0, n_new), rng.uniform(-1.5, 1.5, n_new)
    theta = rng.normal(0.0, 1.0, n_persons)
    a_all, b_all = np.concatenate([a_anchor, a_new]), np.concatenate([b_anchor, b_new])
    prob = 1 / (1 + np.exp(-a_all * (theta[:, None] - b_all)))
    responses = (rng.random(prob.shape) < prob).astype(np.int32)
    order = rng.permutation(n_anchor + n_new)
    responses = np.ascontiguousarray(responses[:, np.argsort(order)])
    anchor_cols, new_cols = order[:n_anchor], order[n_anchor:]
    grid = np.linspace(-4, 4, 41)
    w = np.exp(-0.5 * grid**2)
    w /= w.sum()
    a_hat, b_hat, eap, ll, it, conv = korvane.fixed_calib_em(
        responses, anchor_cols, new_cols, a_anchor, b_anchor, grid, w, 300, 1e-6)
    assert conv and np.isfinite(ll)
    assert np.max(np.abs(b_hat - b_new)) < 0.12
    assert np.all(np.abs(a_hat / a_new - 1) < 0.15)
    assert np.corrcoef(eap, theta)[0, 1] > 0.9
    # The same responses with the anchors reported on another scale, theta' = 1.5 theta + 0.7
    # (and the grid with them): the new items follow the anchors onto that scale.
    s, t = 1.5, 0.7
    a2, b2, eap2, *_ = korvane.fixed_calib_em(
        responses, anchor_cols, new_cols, a_anchor / s, s * b_anchor + t, s * grid + t, w, 300, 1e-6)
    np.testing.assert_allclose(a2, a_hat / s, rtol=1e-6)
    np.testing.assert_allclose(b2, s * b_hat + t, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(eap2, s * eap + t, rtol=1e-6, atol=1e-6)


STOCKING_LORD_CASES = [
    # (disc_old, diff_old, disc_new, diff_new, A, B, grid)
    ([1.0], [0.0], [1.0], [0.0], 1.0, 1.0, [0.0]),
    ([1.2, 0.7, 2.0], [-0.5, 0.3, 1.1], [1.0, 0.9, 1.6], [-0.2, 0.1, 0.8], 1.1, -0.3, np.linspace(-4, 4, 9)),
    ([1.2, 0.7], [-0.5, 0.3], [1.2, 0.7], [-0.5, 0.3], 1.0, 0.0, [-1.0, 2.0]),
    ([800.0], [0.0], [-800.0], [0.0], 1.0, 0.0, [-1.0, 0.0, 1.0]),  # saturated curves, no overflow
]


def reference_stocking_lord_terms(disc_old, diff_old, disc_new, diff_new, a, b, grid):
    terms = []
    for j in range(len(disc_old)):
        s = 0.0
        for t in grid:
            t = float(t)
            d = logistic(disc_old[j] * (t - diff_old[j])) - logistic(disc_new[j] * ((t * a + b) - diff_new[j]))
            s += d * d
        terms.append(s)
    return terms


@pytest.mark.parametrize("case", STOCKING_LORD_CASES)
def test_stocking_lord_criterion(case):
    arrays = [np.array(v, dtype=float) for v in case[:4]]
    got = korvane.stocking_lord_criterion(*arrays, case[4], case[5], np.array(case[6], dtype=float))
    terms = reference_stocking_lord_terms(*case)
    if len(terms) == 1:
        assert same_bits(got, terms[0])
    assert got == pytest.approx(math.fsum(terms), rel=1e-14, abs=0)


def test_stocking_lord_edges(rng):
    assert korvane.stocking_lord_criterion(*[np.ones(1)] * 4, 1.0, 1.0, np.array([0.0])) == \
        (0.5 - logistic(1.0)) ** 2
    # The curves of a linearly transformed calibration coincide at the true constants.
    a_old, b_old = rng.uniform(0.5, 2, 12), rng.normal(size=12)
    big_a, big_b = 1.3, -0.4
    grid = np.linspace(-4, 4, 31)
    q = korvane.stocking_lord_criterion(a_old, b_old, a_old / big_a, big_a * b_old + big_b, big_a, big_b, grid)
    assert 0.0 <= q < 1e-25
    assert korvane.stocking_lord_criterion(a_old, b_old, a_old, b_old, 1.0, 0.0, grid) == 0.0
    empty = np.zeros(0)
    assert korvane.stocking_lord_criterion(empty, empty, empty, empty, 1.0, 0.0, grid) == 0.0
    # Short companions fail unless the grid is empty; longer ones are read up to len(disc_old).
    assert korvane.stocking_lord_criterion(a_old, b_old[:3], a_old, b_old, 1.0, 0.0, empty) == 0.0
    for k in range(1, 4):
        args = [a_old, b_old, a_old, b_old]
        args[k] = args[k][:-1]
        with pytest.raises(KernelFailure):
            korvane.stocking_lord_criterion(*args, 1.0, 0.0, grid)
    longer = korvane.stocking_lord_criterion(a_old[:5], b_old, a_old * 2, b_old, 1.0, 0.0, grid)
    assert longer == pytest.approx(
        korvane.stocking_lord_criterion(a_old[:5], b_old[:5], a_old[:5] * 2, b_old[:5], 1.0, 0.0, grid), rel=1e-14)
    assert math.isnan(korvane.stocking_lord_criterion(a_old, b_old, a_old, b_old, float("nan"), 0.0, grid))


@pytest.mark.impossible_size
def test_sizes_that_cannot_be_allocated_fail_cleanly():
    grid = np.linspace(-1, 1, 41)
    with pytest.raises(BaseException) as info:
        korvane.fixed_calib_em(np.zeros((2**40, 0), np.int32), [], [], np.zeros(0), np.zeros(0), grid,
                               np.ones(41), 5, 1e-6)
    assert isinstance(info.value, MemoryError) or type(info.value).__name__ == "KernelFailure"
