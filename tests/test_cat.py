"""Adaptive testing: item information, selection, EAP update and simulated tests.

The references below are plain Python loops in the stated operation order;
Python floats and math.exp/log/log1p give the same bits as the C++ kernels.
The simulated tests are replayed with a pure-Python copy of korvane's
generator (PCG64 seeded through SplitMix64), so every administered item,
every response and the final estimate can be checked to the bit.
"""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, layouts, run_with_threads, same_bits
from pcg64_reference import Pcg64
from reference import eap_summary, log_sigmoid, logistic

INF = math.inf
NAN = math.nan


# ---- references -------------------------------------------------------------


def clog(x):
    """C's log: -inf at 0, NaN below."""
    if x == 0:
        return -INF
    if not x > 0:
        return NAN
    return math.log(x)


def info(theta, a, b):
    p = logistic((theta - b) * a)
    return (1.0 - p) * (a * a * p)


def ref_select(theta, a, b, mask):
    best, choice = -INF, -1
    for j in range(len(a)):
        if mask[j]:
            value = info(theta, a[j], b[j])
            if value > best:
                best, choice = value, j
    return choice


def ref_loglik(items, responses, a, b, theta_q):
    s = 0.0
    for j, x in zip(items, responses):
        if x < 0:
            continue
        z = (theta_q - b[j]) * a[j]
        s += log_sigmoid(z) if x == 1 else log_sigmoid(-z)
    return s


def ref_eap_update(items, responses, a, b, points, weights):
    if len(points) == 0:
        return 0.0, 0.0
    lp = [
        clog(w) + (-0.5 * t * t - 0.9189385332046727 + ref_loglik(items, responses, a, b, t))
        for t, w in zip(points, weights)
    ]
    return eap_summary(points, lp)


def ref_simulate(a, b, points, weights, se_threshold, max_items, min_items, generator, theta_true):
    """One adaptive test as stated, the posterior recomputed from scratch at every step.
    Returns (items, responses, estimates after each item, SEs after each item, final)."""
    max_u, min_u = max_items % 2**64, min_items % 2**64
    n_pool = min(len(a), len(b))
    available = [True] * len(a)
    items, responses, path_est, path_se = [], [], [], []
    theta_hat, se = 0.0, INF
    if max_u == 0:
        return items, responses, path_est, path_se, (theta_hat, se, 0)
    while True:
        j = ref_select(theta_hat, a[:n_pool], b[:n_pool], available)
        if j < 0:
            break
        available[j] = False
        p = logistic((theta_true - b[j]) * a[j])
        items.append(j)
        responses.append(1 if p > generator.uniform() else 0)
        if len(points) == 0:
            theta_hat, se = 0.0, 0.0
        else:
            lp = [
                clog(w) + (-0.5 * t * t + ref_loglik(items, responses, a, b, t))
                for t, w in zip(points, weights)
            ]
            theta_hat, se = eap_summary(points, lp)
        path_est.append(theta_hat)
        path_se.append(se)
        if len(items) >= min_u and se <= se_threshold:
            break
        if len(items) == max_u:
            break
    return items, responses, path_est, path_se, (theta_hat, se, len(items))


# ---- fixtures ---------------------------------------------------------------


def bank(rng, n, duplicates=True):
    a = rng.uniform(0.4, 2.2, n)
    b = rng.normal(0.0, 1.2, n)
    if duplicates and n >= 6:
        a[5], b[5] = a[2], b[2]  # an exact tie: the lower index must win
    return a, b


def grid(n=21, normal=False):
    points = np.linspace(-4.0, 4.0, n)
    weights = np.exp(-0.5 * points**2) if normal else np.ones(n)
    return points, weights / weights.sum()


SIM_ARGS = ("se_threshold", "max_items", "min_items")


# ---- item information and selection -------------------------------------------


def test_item_info_bits_and_length(rng):
    a = np.concatenate([rng.uniform(0.2, 3.0, 5), [40.0, 1e200, NAN, 1.0, INF]])
    b = np.concatenate([rng.normal(0, 2, 5), [0.1, 0.0, 0.0, NAN, 2.0]])
    for theta in (0.0, -1.7, 3.2, 1e300):
        got = korvane.cat_compute_item_info(theta, a, b)
        assert same_bits(got, [info(theta, x, y) for x, y in zip(a.tolist(), b.tolist())])
    # Items beyond the shorter array are dropped.
    assert korvane.cat_compute_item_info(0.5, a[:5], b[:3]).shape == (3,)
    assert korvane.cat_compute_item_info(0.5, a[:2], b).shape == (2,)


@pytest.mark.parametrize(
    "a, b, mask, expected",
    [
        ([1.0, 1.3, 1.3], [0.0, 0.2, 0.2], [True, True, True], 1),  # identical items: lower index
        ([1.0, 1.3, 1.3], [0.0, 0.2, 0.2], [True, False, True], 2),
        ([1.5, 1.5, 0.3], [1.0, -1.0, 0.0], [True, True, True], 0),  # equal information, other items
        ([1.5, 1.5, 0.3], [-1.0, 1.0, 0.0], [True, True, True], 0),
        ([1.0, 2.0], [0.0, 0.0], [False, False], -1),  # nothing available
        ([], [], [], -1),  # empty bank
        ([NAN, 0.5], [0.0, 0.0], [True, True], 1),  # NaN information never chosen
        ([NAN, 1.0], [0.0, NAN], [True, True], -1),
        ([1.0, 2.0], [0.0, 0.0], [True, False, True, True], 0),  # extra mask entries ignored
        ([0.5, 2.0, 1.0], [0.0, 0.0], [True, False, False], 0),  # unavailable item needs no difficulty
    ],
)
def test_select_max_info_cases(a, b, mask, expected):
    got = korvane.cat_select_max_info(0.0, np.array(a, float), np.array(b, float), np.array(mask, bool))
    assert type(got) is int and got == expected


def test_select_max_info_matches_scan(rng):
    a, b = bank(rng, 40)
    for theta in (-2.5, 0.0, 0.7, 4.0):
        mask = rng.random(40) < 0.6
        for _, m in layouts(mask):
            assert korvane.cat_select_max_info(theta, a, b, m) == ref_select(theta, a, b, mask)


@pytest.mark.parametrize(
    "a, b, mask",
    [
        ([1.0, 2.0, 0.5], [0.0, 0.0, 0.0], [True, True]),  # mask shorter than the bank
        ([1.0, 2.0, 0.5], [0.0, 0.0], [False, False, True]),  # available item without difficulty
    ],
)
def test_select_max_info_failures(a, b, mask):
    with pytest.raises(KernelFailure):
        korvane.cat_select_max_info(0.0, np.array(a, float), np.array(b, float), np.array(mask, bool))


# ---- EAP update -------------------------------------------------------------------


@pytest.mark.parametrize("normal", [False, True])
def test_eap_update_bits(rng, normal):
    a, b = bank(rng, 30)
    points, weights = grid(31, normal)
    items = rng.choice(30, 12, replace=False).astype(np.int32)
    responses = rng.choice(np.array([0, 1, 2, -1], np.int32), 12)
    responses[3] = -1
    items[3] = 99  # an out-of-range index with a missing response is never examined
    expected = ref_eap_update(items, responses, a, b, points, weights)
    for _, it in layouts(items):
        eap, se = korvane.cat_eap_update(it, responses, a, b, points, weights)
        assert eap.shape == se.shape == (1,)
        assert same_bits(eap, [expected[0]]) and same_bits(se, [expected[1]])
    # Extra responses and weights are ignored.
    longer = korvane.cat_eap_update(items, np.append(responses, 1).astype(np.int32), a, b, points,
                                    np.append(weights, 5.0))
    assert same_bits(longer[0], [expected[0]]) and same_bits(longer[1], [expected[1]])


def test_eap_update_edge_cases():
    a, b = np.array([1.2, 0.8]), np.array([0.0, 1.0])
    points, weights = grid(41)
    none = np.array([], np.int32)
    # No responses, equal weights on a symmetric grid: the grid under the standard normal.
    eap, se = korvane.cat_eap_update(none, none, a, b, points, weights)
    density = np.exp(-0.5 * points**2) / np.exp(-0.5 * points**2).sum()
    assert abs(eap[0]) < 1e-15
    assert se[0] == pytest.approx(math.sqrt(np.sum(density * points**2)), rel=1e-14)
    # A missing response to an out-of-range item is skipped entirely.
    skipped = korvane.cat_eap_update(np.array([7], np.int32), np.array([-1], np.int32), a, b, points, weights)
    assert same_bits(skipped[0], eap) and same_bits(skipped[1], se)
    # All weights zero: every log posterior is -inf, so both results are NaN.
    zero = korvane.cat_eap_update(np.array([0], np.int32), np.array([1], np.int32), a, b, points, 0 * weights)
    assert np.isnan(zero[0][0]) and np.isnan(zero[1][0])
    # An empty grid gives (0, 0) and examines nothing.
    empty = korvane.cat_eap_update(np.array([7], np.int32), none, a, b, np.array([]), np.array([]))
    assert same_bits(empty[0], [0.0]) and same_bits(empty[1], [0.0])


@pytest.mark.parametrize(
    "items, responses, n_weights",
    [
        ([0, 1], [1], 41),  # responses shorter than the items
        ([2], [0], 41),  # index not below min(len(a), len(b)) = 2
        ([-1], [1], 41),  # negative index
        ([0], [1], 40),  # weights shorter than the grid
    ],
)
def test_eap_update_failures(items, responses, n_weights):
    a, b = np.array([1.2, 0.8, 1.0]), np.array([0.0, 1.0])
    points, weights = grid(41)
    with pytest.raises(KernelFailure):
        korvane.cat_eap_update(np.array(items, np.int32), np.array(responses, np.int32), a, b, points,
                               weights[:n_weights])


# ---- simulated adaptive tests ----------------------------------------------------------


SIM_CONFIGS = [
    # (n_items, n_quad, normal weights, se_threshold, max_items, min_items)
    (12, 21, False, 0.45, 8, 2),
    (10, 15, True, 0.6, 10, 0),
    (6, 11, False, 0.0, 50, 1),  # the bank runs out
    (8, 9, False, 10.0, 5, -1),  # negative min_items: the SE rule never stops
    (80, 21, True, 0.35, 30, 3),  # a larger bank with many equal slopes
]


@pytest.mark.parametrize("config", SIM_CONFIGS)
def test_simulate_batch_replays_the_rules(rng, config):
    n_items, n_quad, normal, threshold, max_items, min_items = config
    a, b = bank(rng, n_items)
    a = np.round(a, 1)  # equal slopes with different locations
    a = np.append(a, 1.5)  # an extra slope without a location is never selected
    points, weights = grid(n_quad, normal)
    thetas = np.array([-1.3, 0.4, 2.1])
    n_rep, seed = 3, 2**64 - 2  # seeds wrap around
    got = korvane.cat_simulate_batch(thetas, a, b, points, weights, threshold, max_items, min_items, n_rep, seed)
    assert [x.dtype for x in got] == [np.float64, np.float64, np.int32, np.float64]
    for p, theta in enumerate(thetas):
        for r in range(n_rep):
            t = p * n_rep + r
            *_, (est, se, k) = ref_simulate(a, b, points, weights, threshold, max_items, min_items,
                                            Pcg64(seed + 1000 * p + r), theta)
            assert same_bits(got[0][t], est) and same_bits(got[1][t], se)
            assert got[2][t] == k and same_bits(got[3][t], theta)


@pytest.mark.parametrize("b", [[1.0, -1.0, 0.0, 0.4], [-1.0, 1.0, 0.0, 0.4]])
def test_simulation_ties_go_to_lowest_index(b):
    # Items 0 and 1 have bit-equal information at the start (theta 0) but
    # different difficulties, so the first response shows which one was given.
    a, b = np.array([1.5, 1.5, 0.3, 0.2]), np.array(b)
    assert info(0.0, 1.5, 1.0) == info(0.0, 1.5, -1.0)
    points, weights = grid(21)
    got = korvane.cat_simulate_batch(np.zeros(1), a, b, points, weights, 0.1, 1, 1, 8, 3)
    for r in range(8):
        *_, (est, se, _) = ref_simulate(a, b, points, weights, 0.1, 1, 1, Pcg64(3 + r), 0.0)
        assert same_bits(got[0][r], est) and same_bits(got[1][r], se)


def test_simulated_path_matches_every_step(rng):
    # Capping the test at m items shows the state after item m: estimate and
    # SE after every step agree to the bit, and the items administered by the
    # reference (checked through cat_eap_update) give the same posterior.
    a, b = bank(rng, 15)
    points, weights = grid(25, normal=True)
    theta, seed = 0.8, 77
    items, responses, path_est, path_se, _ = ref_simulate(a, b, points, weights, -1.0, 12, 0, Pcg64(seed), theta)
    assert len(items) == 12
    for m in range(1, 13):
        est, se, k, _ = korvane.cat_simulate_batch(np.array([theta]), a, b, points, weights, -1.0, m, 0, 1, seed)
        assert k[0] == m and same_bits(est, [path_est[m - 1]]) and same_bits(se, [path_se[m - 1]])
        step = korvane.cat_eap_update(np.array(items[:m], np.int32), np.array(responses[:m], np.int32), a, b,
                                      points, weights)
        assert step[0][0] == pytest.approx(est[0], abs=1e-12) and step[1][0] == pytest.approx(se[0], abs=1e-12)


def test_conditional_mse_replays_the_rules(rng):
    a, b = bank(rng, 10)
    points, weights = grid(17)
    thetas = np.array([-1.0, 0.0, 1.5])
    n_rep, seed = 4, 12345
    got = korvane.cat_conditional_mse(thetas, a, b, points, weights, 0.5, 6, 1, n_rep, seed)
    for i, theta in enumerate(thetas):
        s_hat = s_sq = s_k = 0.0
        for r in range(n_rep):
            *_, (est, _, k) = ref_simulate(a, b, points, weights, 0.5, 6, 1, Pcg64(seed + 10000 * i + r), theta)
            d = est - theta
            s_hat += est
            s_sq += d * d
            s_k += float(k)
        assert same_bits(got[0][i], theta)
        assert same_bits(got[1][i], s_hat / n_rep - theta)
        assert same_bits(got[2][i], s_sq / n_rep)
        assert same_bits(got[3][i], s_k / n_rep)


@pytest.mark.parametrize(
    "n_items, n_quad, threshold, max_items, min_items, est, se, k",
    [
        (8, 21, 0.3, 0, 1, 0.0, INF, 0),  # max_items 0
        (0, 21, 0.3, 5, 1, 0.0, INF, 0),  # empty bank
        (4, 21, -1.0, 9, 1, None, None, 4),  # max_items beyond the bank: the bank runs out
        (4, 21, -1.0, 2**31 - 1, 1, None, None, 4),  # ... and buffers are sized by the bank, not the cap
        (8, 21, INF, 9, -1, None, None, 8),  # negative min_items: only the bank or the cap stops
        (8, 21, INF, 9, 3, None, None, 3),  # SE rule from item 3 on
        (8, 21, INF, 2, 3, None, None, 2),  # the cap comes first
        (8, 0, 0.0, 9, 4, 0.0, 0.0, 4),  # empty grid: estimate 0, SE 0 after every item
        (8, 0, 0.0, 9, 0, 0.0, 0.0, 1),  # ... but never before the first item
        (8, 21, NAN, 3, 0, None, None, 3),  # a NaN threshold never stops
    ],
)
def test_simulation_edge_cases(rng, n_items, n_quad, threshold, max_items, min_items, est, se, k):
    a, b = bank(rng, n_items, duplicates=False)
    points, weights = grid(n_quad) if n_quad else (np.array([]), np.array([]))
    thetas = np.array([-0.5, 1.2])
    got = korvane.cat_simulate_batch(thetas, a, b, points, weights, threshold, max_items, min_items, 2, 5)
    assert np.all(got[2] == k)
    if est is not None:
        assert same_bits(got[0], np.full(4, est)) and same_bits(got[1], np.full(4, se))
    assert same_bits(got[3], np.repeat(thetas, 2))
    if max_items == 0:
        theta, bias, mse, mean_items = korvane.cat_conditional_mse(thetas, a, b, points, weights, threshold,
                                                                   max_items, min_items, 3, 5)
        assert same_bits(bias, -thetas) and same_bits(mean_items, [0.0, 0.0])
        assert same_bits(mse, [(t * t + t * t + t * t) / 3 for t in thetas.tolist()])


def test_zero_replications(rng):
    a, b = bank(rng, 8)
    points, weights = grid()
    thetas = np.array([0.0, 1.0])
    batch = korvane.cat_simulate_batch(thetas, a, b, points, weights, 0.3, 5, 1, 0, 1)
    assert [x.shape for x in batch] == [(0,)] * 4 and batch[2].dtype == np.int32
    theta, bias, mse, mean_items = korvane.cat_conditional_mse(thetas, a, b, points, weights, 0.3, 5, 1, 0, 1)
    assert same_bits(theta, thetas)
    assert np.isnan(bias).all() and np.isnan(mse).all() and np.isnan(mean_items).all()


def test_seed_offsets_and_collisions(rng):
    a, b = bank(rng, 20)
    points, weights = grid(15)
    args = (a, b, points, weights, 0.4, 10, 1)
    twice = np.array([0.3, 0.3])
    # Batch task (p, r) uses seed + 1000 p + r: (0, 1000) and (1, 0) share a seed.
    est, se, k, _ = korvane.cat_simulate_batch(twice, *args, 1001, 9)
    assert same_bits(est[1000], est[1001]) and se[1000] == se[1001] and k[1000] == k[1001]
    assert not same_bits(est[:1000], est[1001:2001])  # but the streams are otherwise unrelated
    # Wrap-around: seed 2^64 - 1 plus replication 1 is seed 0.
    wrapped = korvane.cat_simulate_batch(twice[:1], *args, 2, 2**64 - 1)
    zero = korvane.cat_simulate_batch(twice[:1], *args, 1, 0)
    assert same_bits(wrapped[0][1], zero[0][0]) and same_bits(wrapped[1][1], zero[1][0])
    # Conditional MSE: ability i, replication r uses seed + 10000 i + r, so with
    # 10001 replications ability 0 ends with the first run of ability 1.
    mse_two = korvane.cat_conditional_mse(np.array([0.3, -0.6]), *args, 3, 2**64 - 5000)
    mse_one = korvane.cat_conditional_mse(np.array([-0.6]), *args, 3, 5000)
    assert all(same_bits(x[1], y[0]) for x, y in zip(mse_two, mse_one))
    long = korvane.cat_conditional_mse(twice, *args, 10001, 4)
    head = korvane.cat_conditional_mse(twice[:1], *args, 10000, 4)
    shared = korvane.cat_simulate_batch(twice[:1], *args, 1, 4 + 10000)[2][0]
    assert round(long[3][0] * 10001) - round(head[3][0] * 10000) == shared
    tail = korvane.cat_conditional_mse(twice[:1], *args, 10001, 4 + 10000)
    assert all(same_bits(x[1], y[0]) for x, y in zip(long, tail))


def test_same_results_with_one_and_two_threads():
    code = """
        import hashlib, numpy as np, korvane
        rng = np.random.default_rng(3)
        a, b = rng.uniform(0.5, 2.0, 120), rng.normal(0, 1, 120)
        q = np.linspace(-4, 4, 31); w = np.ones(31) / 31
        out = korvane.cat_simulate_batch(rng.normal(0, 1, 64), a, b, q, w, 0.35, 25, 2, 7, 11)
        out += korvane.cat_conditional_mse(np.linspace(-2, 2, 9), a, b, q, w, 0.35, 25, 2, 30, 11)
        print(hashlib.sha256(b"".join(x.tobytes() for x in out)).hexdigest())
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)


@pytest.mark.parametrize("fn", [korvane.cat_simulate_batch, korvane.cat_conditional_mse])
def test_simulation_failures_and_tolerated_counts(rng, fn):
    a, b = bank(rng, 8)
    points, weights = grid()
    one, none = np.array([0.5]), np.array([])

    def call(thetas, w=weights, max_items=5, n_rep=2, bank_a=a):
        return fn(thetas, bank_a, b, points, w, 0.3, max_items, 1, n_rep, 1)

    for bad in (lambda: call(one, n_rep=-1), lambda: call(one, max_items=-1), lambda: call(one, w=weights[:-1])):
        with pytest.raises(KernelFailure):
            bad()
    # No ability, no run, no update: nothing to fail.
    runs = 2 if fn is korvane.cat_simulate_batch else 1  # entries of each result
    assert call(none, n_rep=-1)[0].shape == (0,)
    assert call(one, max_items=-1, n_rep=0)[0].shape == (0 if runs == 2 else 1,)
    assert call(one, w=weights[:-1], max_items=0)[0].shape == (runs,)
    assert call(one, w=weights[:-1], bank_a=np.array([]))[0].shape == (runs,)  # empty bank: no update
    with pytest.raises(OverflowError):
        fn(one, a, b, points, weights, 0.3, 2**31, 1, 2, 1)


def test_same_arguments_same_outputs(rng):
    a, b = bank(rng, 30)
    points, weights = grid(21, normal=True)
    thetas = rng.normal(0, 1, 10)
    first = korvane.cat_simulate_batch(thetas, a, b, points, weights, 0.4, 15, 1, 3, 8)
    for _, a_view in layouts(a):
        again = korvane.cat_simulate_batch(thetas, a_view, b, points, weights, 0.4, 15, 1, 3, 8)
        assert all(same_bits(x, y) for x, y in zip(first, again))
