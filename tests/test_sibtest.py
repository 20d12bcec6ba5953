"""SIBTEST: level statistics, weighted beta, its sampling standard error, screens."""

import math

import numpy as np
import pytest

import korvane
from helpers import layouts, run_with_threads, same_bits

NAN = float("nan")
I32 = np.int32


# ---- reference, in the documented order ----


def moments(y):
    s = -0.0
    for v in y:
        s += v
    mean = s / len(y)
    ss = 0.0
    for v in y:
        ss += (v - mean) * (v - mean)
    return s, (ss / (len(y) - 1) if len(y) > 1 else 0.0)


def level_stats(ref_scores, focal_scores, studied_ref, studied_focal):
    """(d, w, var) of every usable level in increasing score order."""
    out = []
    for s in sorted(set(ref_scores) | set(focal_scores)):
        yr = [studied_ref(i) for i, v in enumerate(ref_scores) if v == s]
        yf = [studied_focal(i) for i, v in enumerate(focal_scores) if v == s]
        if not yr or not yf:
            continue
        (sr, vr), (sf, vf) = moments(yr), moments(yf)
        nr, nf = len(yr), len(yf)
        out.append((sr / nr - sf / nf, float(nr + nr) * float(nf) / float(nr + nf), vr / nr + vf / nf))
    return out


def aggregate(levels):
    if not levels:
        return NAN, NAN
    w_sum = 0.0
    for _, w, _ in levels:
        w_sum += w
    num = 0.0
    for d, w, _ in levels:
        num += d * w
    var = 0.0
    for _, w, v in levels:
        share = w / w_sum
        var += share * share * v
    return num / w_sum, math.sqrt(var)


def ref_compute_beta(ref_data, focal_data, ref_scores, focal_scores, suspect):
    def studied(data):
        return lambda i: float(sum(int(data[i, k]) for k in suspect))

    levels = level_stats([int(v) for v in ref_scores], [int(v) for v in focal_scores],
                         studied(ref_data), studied(focal_data))
    beta, se = aggregate(levels)
    return beta, se, np.array([l[0] for l in levels]), np.array([l[1] for l in levels])


def ref_all_items(data, groups, anchors):
    codes = sorted(set(int(g) for g in groups))
    ref = [p for p, g in enumerate(groups) if g == codes[0]]
    focal = [p for p, g in enumerate(groups) if g == codes[1]]
    m = data.shape[1]
    beta, z, pv = np.full(m, NAN), np.full(m, NAN), np.full(m, NAN)
    for j in range(m):
        matching = [k for k in range(m) if k != j] if anchors is None else [int(k) for k in anchors if k != j]
        if not matching:
            continue

        def score(p):
            return sum(int(data[p, k]) for k in matching)  # exact integers

        levels = level_stats([score(p) for p in ref], [score(p) for p in focal],
                             lambda i: float(data[ref[i], j]), lambda i: float(data[focal[i], j]))
        if not levels:
            continue
        beta[j], se = aggregate(levels)
        if se > 1e-10:
            z[j] = beta[j] / se
            pv[j] = ((math.erf(abs(z[j]) / 1.4142135623730951) + 1) * (-0.5) + 1) * 2
    return beta, z, pv


def same_tuple(got, want):
    return len(got) == len(want) and all(same_bits(g, w) for g, w in zip(got, want))


# ---- random inputs ----


@pytest.mark.parametrize("n_ref,n_focal,suspect", [
    (0, 0, [0]), (5, 0, [1]), (1, 1, [0]), (30, 25, [2]), (40, 33, [3, 0, 3]), (12, 9, []),
])
def test_compute_beta_matches_reference(rng, n_ref, n_focal, suspect):
    ref_data = rng.integers(-1, 3, (n_ref, 5)).astype(I32)
    focal_data = rng.integers(-1, 3, (n_focal, 5)).astype(I32)
    ref_scores = rng.integers(0, 6, n_ref).astype(I32)
    focal_scores = rng.integers(2, 8, n_focal).astype(I32)  # levels 0, 1 and 6, 7 in one group only
    got = korvane.sibtest_compute_beta(ref_data, focal_data, ref_scores, focal_scores, np.array(suspect, I32))
    want = ref_compute_beta(ref_data, focal_data, ref_scores, focal_scores, suspect)
    assert same_tuple(got, want)
    for (_, rd), (_, rs) in zip(layouts(ref_data), layouts(ref_scores)):
        again = korvane.sibtest_compute_beta(rd, focal_data, rs, focal_scores, np.array(suspect, I32))
        assert same_tuple(again, want)


@pytest.mark.parametrize("n,m,codes,anchors", [
    (40, 1, (0, 1), None),
    (60, 4, (0, 1), None),
    (80, 6, (1, 2, 3), None),
    (80, 6, (5, -2), [0, 2, 2, 5]),
    (50, 5, (0, 1), [3]),
    (50, 3, (0, 1), []),
])
def test_all_items_matches_reference(rng, n, m, codes, anchors):
    data = rng.integers(-1, 3, (n + 7, m)).astype(I32)  # rows beyond groups are ignored
    groups = rng.choice(np.array(codes, I32), n)
    groups[:2] = sorted(codes)[:2]
    anchor_arr = None if anchors is None else np.array(anchors, I32)
    got = korvane.sibtest_all_items(data, groups, anchor_arr)
    assert same_tuple(got, ref_all_items(data, groups, anchors))
    for _, dl in layouts(data):
        assert same_tuple(korvane.sibtest_all_items(dl, groups, anchor_arr), got)


def test_scores_near_2_pow_31_accumulate_in_64_bits(rng):
    big = 2**31 - 1
    data = rng.choice(np.array([big, big - 1, -big, 0], I32), (60, 4))
    groups = np.tile(np.array([0, 1], I32), 30)
    got = korvane.sibtest_all_items(data, groups, None)
    assert same_tuple(got, ref_all_items(data, groups, None))
    assert np.isfinite(got[0]).all()
    ref_scores = np.array([big, big, -big, -big], I32)
    suspect = np.array([0, 0, 1, 1], I32)  # studied scores near 2^33
    args = (data[:4], data[4:8], ref_scores, ref_scores[::-1].copy(), suspect)
    assert same_tuple(korvane.sibtest_compute_beta(*args), ref_compute_beta(*args[:4], [0, 0, 1, 1]))


# ---- documented values ----


def test_group_codes_and_degenerate_results():
    data = np.array([[1, 0], [0, 1], [1, 1], [0, 0], [1, 0], [1, 1]], I32)
    # code 3 is ignored entirely: the same result as leaving those persons out
    with_third = korvane.sibtest_all_items(data, np.array([1, 2, 1, 2, 3, 3], I32), np.array([1], I32))
    without = korvane.sibtest_all_items(data[:4], np.array([1, 2, 1, 2], I32), np.array([1], I32))
    assert same_tuple(with_third, without)
    # one item without anchors, or an anchor list of the item itself: NaN triple
    one = korvane.sibtest_all_items(data[:, :1], np.array([0, 1] * 3, I32), None)
    assert all(math.isnan(v[0]) for v in one)
    own = korvane.sibtest_all_items(data, np.array([0, 1] * 3, I32), np.array([0], I32))
    assert all(math.isnan(v[0]) for v in own) and not math.isnan(own[0][1])
    # responses constant within every level and group: se 0, so z and p NaN, beta kept
    flat = np.array([[1, 0], [0, 0], [1, 1], [0, 1]], I32)
    beta, z, p = korvane.sibtest_all_items(flat, np.array([0, 1, 0, 1], I32), np.array([1], I32))
    assert beta[0] == 1.0 and math.isnan(z[0]) and math.isnan(p[0])
    b, se, d, w = korvane.sibtest_compute_beta(flat[[0, 2]], flat[[1, 3]], np.array([0, 1], I32),
                                                np.array([0, 1], I32), np.array([0], I32))
    assert (b, se, d.tolist(), w.tolist()) == (1.0, 0.0, [1.0, 1.0], [1.0, 1.0])
    empty = korvane.sibtest_compute_beta(flat, flat, np.zeros(0, I32), np.zeros(0, I32), np.array([0], I32))
    assert math.isnan(empty[0]) and math.isnan(empty[1]) and empty[2].shape == (0,) == empty[3].shape
    # a response coded -1 is added as -1
    b, _, d, _ = korvane.sibtest_compute_beta(np.array([[-1]], I32), np.array([[1]], I32), np.zeros(1, I32),
                                              np.zeros(1, I32), np.array([0], I32))
    assert b == -2.0 and d.tolist() == [-2.0]


def test_p_value_goes_through_erf():
    # a large z: erf(|z| / sqrt 2) is 1.0 in doubles and the p-value exactly 0.0
    rng = np.random.default_rng(3)
    n = 2000
    groups = np.repeat(np.array([0, 1], I32), n // 2)
    anchor = rng.integers(0, 2, (n, 3)).astype(I32)
    studied = np.where(groups == 0, rng.random(n) < 0.95, rng.random(n) < 0.05).astype(I32)
    data = np.column_stack([studied, anchor]).astype(I32)
    beta, z, p = korvane.sibtest_all_items(data, groups, np.array([1, 2, 3], I32))
    assert abs(z[0]) > 9 and p[0] == 0.0 and beta[0] > 0.8


# ---- failures ----

D = np.array([[1, 0], [0, 1]], I32)
FAILURES = [
    ("one group code", korvane.sibtest_all_items, (D, np.array([4, 4], I32), None)),
    ("empty groups", korvane.sibtest_all_items, (D, np.zeros(0, I32), None)),
    ("anchor beyond the columns", korvane.sibtest_all_items, (D, np.array([0, 1], I32), np.array([2], I32))),
    ("negative anchor", korvane.sibtest_all_items, (D, np.array([0, 1], I32), np.array([-1], I32))),
    ("group member beyond the rows", korvane.sibtest_all_items, (D, np.array([0, 1, 1], I32), None)),
    ("suspect item beyond the columns at a usable level", korvane.sibtest_compute_beta,
     (D, D, np.zeros(2, I32), np.zeros(2, I32), np.array([2], I32))),
    ("reference person beyond the rows at a usable level", korvane.sibtest_compute_beta,
     (D, D, np.zeros(3, I32), np.zeros(2, I32), np.array([0], I32))),
]


@pytest.mark.parametrize("label,fn,args", FAILURES, ids=[f[0] for f in FAILURES])
def test_index_errors_fail(label, fn, args):
    with pytest.raises(BaseException) as err:
        fn(*args)
    assert type(err.value).__name__ == "KernelFailure"


def test_indices_are_checked_only_where_used():
    # no usable level: the suspect index and the extra person are never read
    out = korvane.sibtest_compute_beta(D, D, np.array([0, 1, 2], I32), np.array([5, 6], I32), np.array([9], I32))
    assert math.isnan(out[0])
    # no matching items and no items at all: nothing is read
    korvane.sibtest_all_items(D[:, :1], np.array([0, 1, 1], I32), None)
    korvane.sibtest_all_items(np.zeros((2, 0), I32), np.array([0, 1], I32), np.array([7], I32))


def test_one_and_two_threads_agree():
    code = """
        import numpy as np, korvane, sys
        rng = np.random.default_rng(8)
        data = rng.integers(0, 2, (900, 17)).astype(np.int32)
        groups = rng.integers(0, 3, 900).astype(np.int32)
        out = [*korvane.sibtest_all_items(data, groups, None),
               *korvane.sibtest_all_items(data, groups, np.array([1, 3, 3, 8], np.int32)),
               np.array(korvane.sibtest_compute_beta(data[:400], data[400:], data[:400, 1:].sum(1).astype(np.int32),
                        data[400:, 1:].sum(1).astype(np.int32), np.array([0], np.int32))[:2])]
        sys.stdout.buffer.write(b"".join(x.tobytes() for x in out))
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)


# ---- the standard error is a sampling standard error ----


def simulate(rng, n, n_items, shift=None, n_focal=None):
    """2PL responses; a random split into groups unless n_focal is given (then the
    last n_focal persons are focal and `shift` is added to their difficulties)."""
    theta = rng.normal(0, 1, n)
    a, b = rng.uniform(0.7, 2.0, n_items), rng.normal(0, 1, n_items)
    groups = rng.integers(0, 2, n).astype(I32)
    bb = np.tile(b, (n, 1))
    if n_focal is not None:
        groups = np.zeros(n, I32)
        groups[n - n_focal:] = 1
        bb[groups == 1] += shift
    p = 1 / (1 + np.exp(-a * (theta[:, None] - bb)))
    return (rng.random((n, n_items)) < p).astype(I32), groups


def test_no_dif_flags_about_five_percent():
    rng = np.random.default_rng(2026)
    pvals = []
    for _ in range(24):  # 24 replications x 15 items = 360 items
        data, groups = simulate(rng, 1000, 15)
        pvals.extend(korvane.sibtest_all_items(data, groups, None)[2])
    share = np.mean(np.array(pvals) < 0.05)
    assert 0.02 <= share <= 0.09, share


def test_item_with_dif_is_flagged():
    rng = np.random.default_rng(77)
    data, groups = simulate(rng, 2000, 15, shift=np.r_[0.6, np.zeros(14)], n_focal=1000)
    beta, z, p = korvane.sibtest_all_items(data, groups, None)
    assert p[0] < 0.05 and beta[0] > 0  # harder for the focal group: reference minus focal is positive
