"""Batch probabilities, residuals, infit/outfit, Q3, LD chi-square and margins.

Each kernel is compared bit for bit with a plain Python evaluation in the
documented operation order (math.exp and IEEE doubles give the same bits).
"""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, layouts, random_responses, run_with_threads, same_bits
from reference import logistic

NAN = float("nan")


def sqrt(x):
    return math.sqrt(x) if x >= 0 else NAN


def prob(t, a, b):
    return logistic((float(t) - float(b)) * float(a))


# ---- references, in the documented order ----


def ref_batch(theta, a, b, c=None):
    out = np.zeros((len(theta), len(a)))
    for p, t in enumerate(theta):
        for j in range(len(a)):
            pr = prob(t, a[j], b[j])
            out[p, j] = pr if c is None else pr * (1.0 - c[j]) + c[j]
    return out


def ref_expected_variance(theta, a, b):
    e = ref_batch(theta, a, b)
    v = np.zeros_like(e)
    for p in range(e.shape[0]):
        for j in range(e.shape[1]):
            v[p, j] = (1.0 - e[p, j]) * e[p, j]
    return e, v


def ref_residuals(r, theta, a, b):
    out = np.zeros(r.shape)
    for p in range(r.shape[0]):
        for j in range(r.shape[1]):
            x = int(r[p, j])
            if x < 0:
                out[p, j] = NAN
                continue
            pr = prob(theta[p], a[j], b[j])
            out[p, j] = (float(x) - pr) / math.sqrt((1.0 - pr) * pr + 1e-10)
    return out


def fit_cells(r, theta, a, b):
    cells = [[(NAN, NAN)] * r.shape[1] for _ in range(r.shape[0])]
    for p in range(r.shape[0]):
        for j in range(r.shape[1]):
            x = int(r[p, j])
            if x >= 0:
                pr = prob(theta[p], a[j], b[j])
                v = (1.0 - pr) * pr
                cells[p][j] = ((x - pr) * (x - pr) / (v + 1e-10), v)
    return cells


def fit_of(cells):
    n, s_sum, w_sum, v_sum = 0, 0.0, 0.0, 0.0
    for s, v in cells:
        if math.isnan(s):
            continue
        n += 1
        s_sum += s
        w_sum += s * v
        v_sum += v
    return (s_sum / n if n > 0 else NAN), (w_sum / v_sum if v_sum > 1e-10 else NAN)


def ref_fit(r, theta, a, b):
    cells = fit_cells(r, theta, a, b)
    items = [fit_of([row[j] for row in cells]) for j in range(r.shape[1])]
    persons = [fit_of(row) for row in cells]
    return (np.array([i[0] for i in items]), np.array([i[1] for i in items]),
            np.array([q[0] for q in persons]), np.array([q[1] for q in persons]))


def pair_matrix(m, value):
    out = np.zeros((m, m))
    for j in range(m):
        for k in range(j + 1, m):
            out[j, k] = out[k, j] = value(j, k)
    return out


def ref_q3(r, theta, a, b):
    res = ref_residuals(r, theta, a, b)

    def q3(j, k):
        n, sj, sk, sjk, sjj, skk = 0, 0.0, 0.0, 0.0, 0.0, 0.0
        for p in range(r.shape[0]):
            rj, rk = res[p, j], res[p, k]
            if math.isnan(rj) or math.isnan(rk):
                continue
            n += 1
            sj += rj
            sk += rk
            sjk += rj * rk
            sjj += rj * rj
            skk += rk * rk
        if n < 3:
            return NAN
        mj, mk = sj / n, sk / n
        vj, vk = sjj / n - mj * mj, skk / n - mk * mk
        d = sqrt(vj * vk)
        return (sjk / n - mk * mj) / d if d > 1e-10 else 0.0

    return pair_matrix(r.shape[1], q3)


def ref_ld(r, theta, a, b):
    def ld(j, k):
        o = [[0, 0], [0, 0]]
        e00 = e01 = e10 = e11 = 0.0
        for p in range(r.shape[0]):
            xj, xk = int(r[p, j]), int(r[p, k])
            if xj < 0 or xk < 0:
                continue
            pj, pk = prob(theta[p], a[j], b[j]), prob(theta[p], a[k], b[k])
            o[xj][xk] += 1
            e00 += (1 - pj) * (1 - pk)
            e01 += (1 - pj) * pk
            e10 += pj * (1 - pk)
            e11 += pj * pk
        value = 0.0
        for obs, e in ((o[0][0], e00), (o[0][1], e01), (o[1][0], e10), (o[1][1], e11)):
            e = e if e > 0.5 else 0.5
            value += (obs - e) * (obs - e) / e
        return value

    return pair_matrix(r.shape[1], ld)


def ref_observed_margins(r):
    uni = np.zeros(r.shape[1])
    for j in range(r.shape[1]):
        vals = [float(x) for x in r[:, j] if x >= 0]
        s = 0.0
        for v in vals:
            s += v
        uni[j] = s / len(vals) if vals else 0.0

    def bi(j, k):
        s, n = 0.0, 0
        for p in range(r.shape[0]):
            xj, xk = int(r[p, j]), int(r[p, k])
            if xj < 0 or xk < 0:
                continue
            s += float(xj * xk)  # the exact integer product, converted once
            n += 1
        return s / n if n else 0.0

    return uni, pair_matrix(r.shape[1], bi)


def ref_expected_margins(x, w, a, b):
    probs = [[prob(xq, a[i], b[i]) for xq in x] for i in range(len(a))]
    uni = np.zeros(len(a))
    for i in range(len(a)):
        s = -0.0
        for q in range(min(len(x), len(w))):
            s += probs[i][q] * w[q]
        uni[i] = s

    def bi(j, k):
        s = -0.0
        for q in range(len(x)):
            s += (probs[k][q] * probs[j][q]) * w[q]
        return s

    return uni, pair_matrix(len(a), bi)


# ---- random inputs against the references ----

SIZES = [(0, 3), (4, 0), (1, 1), (6, 1), (2, 4), (40, 6), (150, 11)]


def person_item_inputs(rng, n, m, codes=(0, 1, 2)):
    r = random_responses(rng, n, m, missing=0.2, codes=codes)
    if m > 2:
        r[:, 1] = -1  # an item nobody answered
    if n > 2:
        r[2, :] = -9  # a person without answers
    theta = rng.normal(0, 1.5, n)
    a = rng.uniform(0.3, 2.5, m)
    b = rng.normal(0, 1, m)
    if m > 3:
        a[3], b[3] = 40.0, -3.0  # probabilities of exactly 1.0 for most persons
    return r, theta, a, b


@pytest.mark.parametrize("n,m", SIZES)
def test_person_item_kernels_match_reference(rng, n, m):
    r, theta, a, b = person_item_inputs(rng, n, m)
    c = rng.uniform(0, 0.4, m)
    assert same_bits(korvane.compute_probabilities_batch(theta, a, b), ref_batch(theta, a, b))
    assert same_bits(korvane.compute_probabilities_batch_3pl(theta, a, b, c), ref_batch(theta, a, b, c))
    e, v = korvane.compute_expected_variance_batch(theta, a, b)
    re, rv = ref_expected_variance(theta, a, b)
    assert same_bits(e, re) and same_bits(v, rv)
    assert same_bits(korvane.compute_standardized_residuals(r, theta, a, b), ref_residuals(r, theta, a, b))
    for got, want in zip(korvane.compute_fit_statistics(r, theta, a, b), ref_fit(r, theta, a, b)):
        assert same_bits(got, want)
    assert same_bits(korvane.compute_q3_matrix(r, theta, a, b), ref_q3(r, theta, a, b))
    uni, bi = korvane.compute_observed_margins(r)
    runi, rbi = ref_observed_margins(r)
    assert same_bits(uni, runi) and same_bits(bi, rbi)
    r01 = np.where(r > 1, 1, r).astype(np.int32)
    assert same_bits(korvane.compute_ld_chi2_matrix(r01, theta, a, b), ref_ld(r01, theta, a, b))


@pytest.mark.parametrize("n_quad,n_items", [(0, 3), (1, 0), (1, 1), (7, 2), (21, 6)])
def test_expected_margins_match_reference(rng, n_quad, n_items):
    x, w = rng.normal(0, 2, n_quad), rng.uniform(0, 1, n_quad)
    a, b = rng.uniform(0.3, 2, n_items), rng.normal(0, 1, n_items)
    uni, bi = korvane.compute_expected_margins(x, w, a, b)
    runi, rbi = ref_expected_margins(x, w, a, b)
    assert same_bits(uni, runi) and same_bits(bi, rbi)
    # longer item and weight vectors: the extra entries are ignored
    more = korvane.compute_expected_margins(x, np.append(w, 9.0), a, np.append(b, 1.0))
    assert same_bits(more[0], runi) and same_bits(more[1], rbi)


def test_nan_abilities_propagate_and_are_skipped(rng):
    r, theta, a, b = person_item_inputs(rng, 30, 5, codes=(0, 1))
    theta[[4, 9]] = NAN
    a[0] = np.inf  # (theta - b) * inf is NaN where theta == b, infinite elsewhere
    b[0] = theta[5]
    for fn, ref in ((korvane.compute_q3_matrix, ref_q3), (korvane.compute_ld_chi2_matrix, ref_ld)):
        assert same_bits(fn(r, theta, a, b), ref(r, theta, a, b))
    for got, want in zip(korvane.compute_fit_statistics(r, theta, a, b), ref_fit(r, theta, a, b)):
        assert same_bits(got, want)


def test_strided_layouts_give_the_same_bits(rng):
    r, theta, a, b = person_item_inputs(rng, 12, 5, codes=(0, 1))
    want = [korvane.compute_q3_matrix(r, theta, a, b), korvane.compute_ld_chi2_matrix(r, theta, a, b),
            *korvane.compute_fit_statistics(r, theta, a, b), *korvane.compute_observed_margins(r),
            korvane.compute_standardized_residuals(r, theta, a, b)]
    for (_, rl), (_, tl), (_, al) in zip(layouts(r), layouts(theta), layouts(a)):
        got = [korvane.compute_q3_matrix(rl, tl, al, b), korvane.compute_ld_chi2_matrix(rl, tl, al, b),
               *korvane.compute_fit_statistics(rl, tl, al, b), *korvane.compute_observed_margins(rl),
               korvane.compute_standardized_residuals(rl, tl, al, b)]
        assert all(same_bits(g, w) for g, w in zip(got, want))
    assert same_bits(korvane.compute_probabilities_batch(theta[::-2], a[::2], b[::2]),
                     ref_batch(theta[::-2], a[::2], b[::2]))


def test_one_and_two_threads_agree():
    code = """
        import numpy as np, korvane, sys
        rng = np.random.default_rng(5)
        n, m = 700, 23
        r = rng.integers(0, 2, (n, m)).astype(np.int32); r[rng.random((n, m)) < 0.15] = -1
        t, a, b = rng.normal(size=n), rng.uniform(0.5, 2, m), rng.normal(size=m)
        out = [korvane.compute_q3_matrix(r, t, a, b), korvane.compute_ld_chi2_matrix(r, t, a, b),
               *korvane.compute_fit_statistics(r, t, a, b), *korvane.compute_observed_margins(r),
               *korvane.compute_expected_margins(np.linspace(-4, 4, 31), np.ones(31), a, b),
               korvane.compute_standardized_residuals(r, t, a, b),
               *korvane.compute_expected_variance_batch(t, a, b)]
        sys.stdout.buffer.write(b"".join(x.tobytes() for x in out))
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)


# ---- documented values ----


def test_batch_values_at_the_boundaries():
    theta = np.array([0.0, 1000.0])
    a, b = np.array([1.0, 1.0]), np.array([0.0, 0.0])
    p = korvane.compute_probabilities_batch(theta, a, b)
    assert p.tolist() == [[0.5, 0.5], [1.0, 1.0]]
    e, v = korvane.compute_expected_variance_batch(theta, a, b)
    assert v.tolist() == [[0.25, 0.25], [0.0, 0.0]] and e.tolist() == p.tolist()
    assert korvane.compute_probabilities_batch_3pl(theta, a, b, np.array([1.0, 0.2])).tolist() == \
        [[1.0, 0.5 * 0.8 + 0.2], [1.0, 1.0]]
    r = np.array([[2, -3], [1, 0]], dtype=np.int32)
    res = korvane.compute_standardized_residuals(r, theta, a, b)
    assert res[0, 0] == 1.5 / math.sqrt(0.25 + 1e-10) and math.isnan(res[0, 1])
    assert res[1, 0] == 0.0 and res[1, 1] == -1.0 / math.sqrt(1e-10)
    assert korvane.compute_probabilities_batch(np.zeros(0), a, b).shape == (0, 2)
    assert korvane.compute_probabilities_batch(theta, np.zeros(0), b).shape == (2, 0)


def test_fit_documented_values():
    half = korvane.compute_fit_statistics(np.ones((3, 2), np.int32), np.zeros(3), np.ones(2), np.zeros(2))
    for stat in half:
        assert np.all(stat == 0.25 / (0.25 + 1e-10))
    # one answered cell with P = 1.0 and x = 1: outfit 0.0, infit NaN
    io, ii, po, pi = korvane.compute_fit_statistics(np.array([[1, -1]], np.int32), np.array([1000.0]),
                                                   np.ones(2), np.zeros(2))
    assert io[0] == 0.0 and po[0] == 0.0 and math.isnan(ii[0]) and math.isnan(pi[0])
    assert math.isnan(io[1]) and math.isnan(ii[1])
    empty_p = korvane.compute_fit_statistics(np.zeros((0, 3), np.int32), np.zeros(0), np.ones(3), np.zeros(3))
    assert [s.shape for s in empty_p] == [(3,), (3,), (0,), (0,)] and np.isnan(empty_p[0]).all()
    empty_i = korvane.compute_fit_statistics(np.zeros((2, 0), np.int32), np.zeros(2), np.ones(0), np.zeros(0))
    assert [s.shape for s in empty_i] == [(0,), (0,), (2,), (2,)] and np.isnan(empty_i[3]).all()


def test_local_dependence_documented_values():
    fn_q3, fn_ld = korvane.compute_q3_matrix, korvane.compute_ld_chi2_matrix
    none = np.zeros(0)
    assert fn_q3(np.zeros((3, 0), np.int32), np.zeros(3), none, none).shape == (0, 0)
    assert fn_ld(np.ones((3, 1), np.int32), np.zeros(3), np.ones(1), np.zeros(1)).tolist() == [[0.0]]
    r = np.array([[1, 0, -1], [0, 1, -1], [1, -1, 0], [0, 1, 1]], np.int32)
    t = np.array([0.3, -0.2, 1.0, 0.1])
    q3 = fn_q3(r, t, np.ones(3), np.zeros(3))
    assert math.isnan(q3[0, 2]) and math.isnan(q3[2, 0]) and np.isfinite(q3[0, 1])  # two common persons
    assert np.array_equal(q3, q3.T, equal_nan=True) and np.all(np.diag(q3) == 0.0)
    # an item with P = 1.0 for everyone and all responses 1: zero residual variance
    r = np.array([[1, 0], [1, 1], [1, 0], [1, 1]], np.int32)
    assert fn_q3(r, t, np.array([1e6, 1.0]), np.array([-1.0, 0.0]))[0, 1] == 0.0
    # no person answers both: every expected count floored to 0.5
    r = np.array([[1, -1], [-1, 0]], np.int32)
    assert fn_ld(r, np.zeros(2), np.ones(2), np.zeros(2))[0, 1] == 2.0
    # code 2 enters Q3 with its value and fails the LD chi-square
    r = np.array([[2, 1], [0, 1], [1, 0]], np.int32)
    assert np.isfinite(fn_q3(r, np.zeros(3), np.ones(2), np.zeros(2))[0, 1])
    with pytest.raises(KernelFailure) as err:
        fn_ld(r, np.zeros(3), np.ones(2), np.zeros(2))
    assert type(err.value).__name__ == "KernelFailure"


def test_margins_documented_values():
    r = np.array([[2, 2, -1], [1, 0, -1], [0, 2, -1]], np.int32)
    uni, bi = korvane.compute_observed_margins(r)
    assert uni.tolist() == [1.0, 4 / 3, 0.0]
    assert bi[0, 1] == 4 / 3 and bi[0, 2] == 0.0 and bi[2, 1] == 0.0 and np.all(np.diag(bi) == 0)
    uni, bi = korvane.compute_observed_margins(np.zeros((2, 0), np.int32))
    assert uni.shape == (0,) and bi.shape == (0, 0)
    uni, bi = korvane.compute_expected_margins(np.array([0.7]), np.array([1.0]), np.ones(3), np.full(3, 0.7))
    assert uni.tolist() == [0.5] * 3 and bi[0, 1] == 0.25 and bi[1, 2] == 0.25 and bi[1, 1] == 0.0
    uni, bi = korvane.compute_expected_margins(np.zeros(0), np.zeros(0), np.ones(2), np.zeros(1))
    assert same_bits(uni, [-0.0, -0.0]) and same_bits(bi, [[0.0, -0.0], [-0.0, 0.0]])


def test_products_of_codes_near_2_pow_31_do_not_overflow():
    big = 2**31 - 1
    r = np.array([[big, big], [big - 2, 3], [-1, 5]], np.int32)
    uni, bi = korvane.compute_observed_margins(r)
    assert bi[0, 1] == (float(big * big) + float((big - 2) * 3)) / 2
    assert uni[0] == (float(big) + float(big - 2)) / 2
    runi, rbi = ref_observed_margins(r)
    assert same_bits(uni, runi) and same_bits(bi, rbi)


# ---- index failures ----

ONE = np.ones(3)
R3 = np.array([[1, 0, -1], [0, 1, -1]], np.int32)  # item 2 never answered

FAILURES = [
    ("residuals: theta shorter than the rows", korvane.compute_standardized_residuals,
     (np.array([[-1], [-1]], np.int32), np.zeros(1), ONE, ONE)),
    ("fit: theta shorter than the rows", korvane.compute_fit_statistics,
     (np.array([[-1], [-1]], np.int32), np.zeros(1), ONE, ONE)),
    ("q3: theta shorter than the rows", korvane.compute_q3_matrix,
     (np.array([[-1], [-1]], np.int32), np.zeros(1), ONE, ONE)),
    ("residuals: difficulty short at an answer", korvane.compute_standardized_residuals,
     (R3, np.zeros(2), ONE, np.ones(1))),
    ("fit: discrimination short at an answer", korvane.compute_fit_statistics,
     (R3, np.zeros(2), np.ones(1), ONE)),
    ("q3: difficulty short at an answer", korvane.compute_q3_matrix, (R3, np.zeros(2), ONE, np.ones(1))),
    ("ld: theta short for a person with two answers", korvane.compute_ld_chi2_matrix,
     (R3, np.zeros(1), ONE, ONE)),
    ("ld: difficulty short for an answered pair", korvane.compute_ld_chi2_matrix,
     (R3, np.zeros(2), ONE, np.ones(1))),
    ("batch: difficulty shorter than discrimination", korvane.compute_probabilities_batch,
     (np.zeros(2), ONE, np.ones(2))),
    ("variance: difficulty shorter than discrimination", korvane.compute_expected_variance_batch,
     (np.zeros(2), ONE, np.ones(2))),
    ("3pl: guessing shorter than discrimination", korvane.compute_probabilities_batch_3pl,
     (np.zeros(2), ONE, ONE, np.ones(2))),
    ("expected margins: difficulty short", korvane.compute_expected_margins,
     (np.zeros(2), np.ones(2), ONE, np.ones(2))),
    ("expected margins: weights shorter than nodes", korvane.compute_expected_margins,
     (np.zeros(3), np.ones(2), ONE, ONE)),
]


@pytest.mark.parametrize("label,fn,args", FAILURES, ids=[f[0] for f in FAILURES])
def test_index_mismatches_fail(label, fn, args):
    with pytest.raises(KernelFailure) as err:
        fn(*args)
    assert type(err.value).__name__ == "KernelFailure"


TOLERATED = [
    # parameters beyond an unanswered item are never read
    (korvane.compute_standardized_residuals, (R3, np.zeros(2), np.ones(2), np.ones(2))),
    (korvane.compute_fit_statistics, (R3, np.zeros(2), np.ones(2), np.ones(2))),
    (korvane.compute_q3_matrix, (R3, np.zeros(2), np.ones(2), np.ones(2))),
    # LD reads theta and parameters only for persons who answered both items
    (korvane.compute_ld_chi2_matrix, (np.array([[1, -1], [-1, 2]], np.int32), np.zeros(0), np.ones(0), ONE)),
    # no cell, nothing read
    (korvane.compute_probabilities_batch, (np.zeros(0), ONE, np.ones(1))),
    (korvane.compute_expected_margins, (np.zeros(0), np.zeros(0), ONE, np.ones(1))),
    # one item: univariate only, so a short weight vector just ends the sum early
    (korvane.compute_expected_margins, (np.zeros(3), np.ones(2), np.ones(1), np.ones(1))),
]


@pytest.mark.parametrize("fn,args", TOLERATED)
def test_tolerated_mismatches(fn, args):
    fn(*args)
