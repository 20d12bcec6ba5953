"""EAP and WLE person scores, against scalar references in the stated operation order."""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, layouts, random_responses, run_with_threads, same_bits
from reference import eap_summary, loglik_2pl, logistic

INF = math.inf
PHI = 1.618033988749895


# ---- scalar references ----------------------------------------------------------


def eap_reference(responses, nodes, weights, a, b):
    out = []
    for row in responses.tolist():
        lp = [loglik_2pl(row, t, a, b) + math.log(w + 1e-10) for t, w in zip(nodes, weights)]
        out.append(eap_summary(nodes, lp))
    return np.array(out).reshape(-1, 2).T


def information(theta, a, b):
    info = 0.0
    for j in range(min(len(a), len(b))):
        p = logistic((theta - b[j]) * a[j])
        info += (1.0 - p) * (a[j] * a[j] * p)
    return info


def wl(row, theta, a, b):
    info = information(theta, a, b)
    ll = loglik_2pl(row, theta, a, b)
    return ll + 0.5 * math.log(info) if info > 1e-10 else ll


def wle_reference(responses, a, b, lo0, hi0, tol):
    tol = max(tol, 0.0) if tol == tol else tol
    out = []
    for row in responses.tolist():
        if all(x < 0 for x in row):
            out.append((0.0, INF))
            continue
        lo, hi = lo0, hi0
        width = hi - lo
        while width > tol:
            d = width / PHI
            x1, x2 = hi - d, lo + d
            f1, f2 = wl(row, x1, a, b), wl(row, x2, a, b)
            new = (lo, x2) if f1 > f2 else (x1, hi)
            if new == (lo, hi):  # the bracket no longer shrinks
                break
            lo, hi = new
            width = hi - lo
        est = (lo + hi) * 0.5
        info = information(est, a, b)
        out.append((est, 1.0 / math.sqrt(info) if info > 1e-10 else INF))
    return np.array(out).reshape(-1, 2).T


@pytest.fixture
def items(rng):
    n = 7
    r = random_responses(rng, 12, n)
    r[3] = -1  # a person with nothing answered
    r[5] = 1   # all correct
    r[6] = 0   # all incorrect
    return r, rng.uniform(0.4, 2.2, n), rng.normal(0, 1.2, n)


# ---- EAP ---------------------------------------------------------------------------


def grid(kind, rng):
    if kind == "normal":
        q = np.linspace(-4, 4, 15)
        w = np.exp(-q * q / 2)
        return q, w / w.sum()
    if kind == "random with zero weights and extra weights":
        q = np.sort(rng.normal(0, 2, 9))
        w = rng.random(12)
        w[[1, 4]] = 0.0
        return q, w
    if kind == "one node":
        return np.array([0.3]), np.array([1.0])
    return np.array([]), np.array([])


@pytest.mark.parametrize("kind", ["normal", "random with zero weights and extra weights", "one node", "empty"])
def test_eap_matches_reference_bits(items, rng, kind):
    r, a, b = items
    q, w = grid(kind, rng)
    eap, se = korvane.compute_eap_scores(r, q, w, a, b)
    ref_eap, ref_se = eap_reference(r, q, w[: len(q)], a, b)
    assert same_bits(eap, ref_eap) and same_bits(se, ref_se)
    if kind == "empty":
        assert same_bits(eap, np.zeros(len(r))) and same_bits(se, np.zeros(len(r)))


def test_eap_layouts_and_scoring_rules(items, rng):
    r, a, b = items
    q, w = grid("normal", rng)
    want = korvane.compute_eap_scores(r, q, w, a, b)
    for _, rr in layouts(r):
        got = korvane.compute_eap_scores(rr, q[::-1].copy()[::-1], w, a, b)
        assert all(same_bits(x, y) for x, y in zip(got, want))
    # Code 2 is scored like 0; a person with nothing answered gets the prior's
    # mean and standard deviation (weights + 1e-10, normalised).
    r2 = np.where(r == 0, 2, r).astype(np.int32)
    assert all(same_bits(x, y) for x, y in zip(korvane.compute_eap_scores(r2, q, w, a, b), want))
    p = (w + 1e-10) / (w + 1e-10).sum()
    mean = p @ q
    assert want[0][3] == pytest.approx(mean, abs=1e-15)
    assert want[1][3] == pytest.approx(math.sqrt(p @ (q - mean) ** 2), rel=1e-13)


def test_eap_failures(items):
    r, a, b = items
    q = np.linspace(-3, 3, 5)
    w = np.full(5, 0.2)
    with pytest.raises(KernelFailure, match="quad_weights"):
        korvane.compute_eap_scores(r, q, w[:4], a, b)
    with pytest.raises(KernelFailure, match="discrimination"):
        korvane.compute_eap_scores(r, q, w, a[:-1], b)
    with pytest.raises(KernelFailure, match="difficulty"):
        korvane.compute_eap_scores(r, q, w, a, b[:-1])
    # A missing last column needs no parameters; an empty grid evaluates nothing.
    r2 = r.copy()
    r2[:, -1] = -1
    korvane.compute_eap_scores(r2, q, w, a[:-1], b[:-1])
    korvane.compute_eap_scores(r, q[:0], w[:0], a[:2], b[:1])


# ---- WLE ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "lo, hi, tol",
    [
        (-4.0, 4.0, 1e-6),
        (-6.0, 5.0, 1e-3),
        (-4.0, 4.0, 0.0),   # the bracket shrinks to adjacent doubles, then stops
        (-4.0, 4.0, -1.0),  # a negative tolerance counts as 0
        (-2.0, 3.0, 5.0),   # tol >= width: the midpoint, no step
        (3.0, -2.0, 1e-6),  # reversed: no step
        (3.0, -2.0, -10.0),  # reversed with a negative tolerance: no step either
        (math.nan, 4.0, 1e-6),
        (-4.0, 4.0, math.nan),
        (0.0, 5e-324, 0.0),  # a subnormal width
        (1.0, 1.0 + 4 * 2.0**-52, 0.0),
    ],
)
def test_wle_matches_reference_bits(items, lo, hi, tol):
    r, a, b = items
    wle, se = korvane.compute_wle_scores(r, a, b, lo, hi, tol)
    ref_wle, ref_se = wle_reference(r, a, b, lo, hi, tol)
    assert same_bits(wle, ref_wle) and same_bits(se, ref_se)
    assert wle[3] == 0.0 and se[3] == INF


def test_wle_tol_zero_is_the_full_precision_maximum(items):
    r, a, b = items
    wle0, _ = korvane.compute_wle_scores(r, a, b, -4.0, 4.0, 0.0)
    wle6, _ = korvane.compute_wle_scores(r, a, b, -4.0, 4.0, 1e-6)
    answered = np.arange(len(r)) != 3
    assert np.all(np.abs(wle0 - wle6)[answered] < 1e-6)
    for row, t in zip(r.tolist(), wle0):
        if any(x >= 0 for x in row) and abs(t) < 4.0 - 1e-5:
            assert wl(row, t, a, b) >= max(wl(row, t - 1e-6, a, b), wl(row, t + 1e-6, a, b))


@pytest.mark.parametrize("lo, hi, name", [(-INF, 4.0, "theta_min"), (-4.0, INF, "theta_max"), (-INF, INF, "theta_min")])
def test_wle_rejects_infinite_bounds(items, lo, hi, name):
    r, a, b = items
    with pytest.raises(KernelFailure, match=name):
        korvane.compute_wle_scores(r, a, b, lo, hi, 1e-3)


def test_wle_information_counts_every_item():
    rng = np.random.default_rng(3)
    a, b = rng.uniform(0.5, 2, 10), rng.normal(0, 1, 10)
    r = np.full((1, 10), -1, dtype=np.int32)
    r[0, 0] = 1
    wle, se = korvane.compute_wle_scores(r, a, b, -1.0, 2.0, 10.0)
    assert wle[0] == 0.5
    assert se[0] == 1.0 / math.sqrt(information(0.5, a, b))
    # Parameters beyond the response row count too.
    wle5, se5 = korvane.compute_wle_scores(r[:, :5], a, b, -1.0, 2.0, 10.0)
    assert same_bits(se5, se)


def test_wle_parameter_checks_only_when_searching(items):
    r, a, b = items
    with pytest.raises(KernelFailure, match="discrimination"):
        korvane.compute_wle_scores(r, a[:-1], b, -3.0, 3.0, 1e-3)
    with pytest.raises(KernelFailure, match="difficulty"):
        korvane.compute_wle_scores(r, a, b[:-2], -3.0, 3.0, 1e-3)
    # No step, no likelihood: the midpoint with the information of the items
    # that have parameters.
    wle, se = korvane.compute_wle_scores(r, a[:-1], b, -3.0, 3.0, 7.0)
    assert np.all(wle[np.arange(len(r)) != 3] == 0.0)
    assert se[0] == 1.0 / math.sqrt(information(0.0, a[:-1], b))
    # Missing responses are never compared.
    r2 = r.copy()
    r2[:, -1] = -9
    ref = wle_reference(r2, a[:-1], b[:-1], -3.0, 3.0, 1e-3)
    got = korvane.compute_wle_scores(r2, a[:-1], b[:-1], -3.0, 3.0, 1e-3)
    assert all(same_bits(x, y) for x, y in zip(got, ref))


def test_scores_do_not_depend_on_threads():
    code = """
        import numpy as np, korvane, sys
        rng = np.random.default_rng(5)
        r = rng.integers(-1, 2, (3000, 30)).astype(np.int32)
        a, b = rng.uniform(0.5, 2, 30), rng.normal(0, 1, 30)
        q = np.linspace(-4, 4, 31); w = np.exp(-q * q / 2)
        out = korvane.compute_eap_scores(r, q, w, a, b) + korvane.compute_wle_scores(r, a, b, -4, 4, 1e-7)
        sys.stdout.buffer.write(np.concatenate(out).tobytes())
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)
