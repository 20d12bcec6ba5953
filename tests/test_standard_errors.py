"""Observed-information standard errors: finite-difference Hessian blocks,
per-item standard errors, the block inverse and the complete-data
log-likelihood, against plain-Python references in the stated order."""

import math

import numpy as np
import pytest

import korvane
from helpers import layouts, random_responses, run_with_threads, same_bits
from reference import log_sigmoid, logistic

NAN = float("nan")


def counts(responses, post, n_quad):
    """r_jk and n_jk, persons in order."""
    n_persons, n_items = responses.shape
    r = [[0.0] * n_quad for _ in range(n_items)]
    n = [[0.0] * n_quad for _ in range(n_items)]
    for j in range(n_items):
        for i in range(n_persons):
            x = int(responses[i, j])
            if x < 0:
                continue
            for k in range(n_quad):
                n[j][k] += float(post[i, k])
                if x == 1:
                    r[j][k] += float(post[i, k])
    return r, n


def item_ll(r, n, theta, a, b):
    s = 0.0
    for k, t in enumerate(theta):
        if n[k] < 1e-10:
            continue
        p = logistic(a * (float(t) - b))
        p = 1e-10 if p < 1e-10 else p
        p = 0.9999999999 if p > 0.9999999999 else p
        s += r[k] * math.log(p) + (n[k] - r[k]) * math.log(1.0 - p)
    return s


def reference_se_and_hessian(responses, post, theta, a, b, h):
    r, n = counts(responses, post, len(theta))
    n_items = responses.shape[1]
    se_a, se_b, hess = [], [], np.zeros((2 * n_items, 2 * n_items))
    for j in range(n_items):
        def l(aa, bb):
            return item_ll(r[j], n[j], theta, aa, bb)
        aj, bj = float(a[j]), float(b[j])
        l0 = l(aj, bj)
        d_a = (l(aj - h, bj) + (l(aj + h, bj) - 2.0 * l0)) / (h * h)
        d_b = (l(aj, bj - h) + (l(aj, bj + h) - 2.0 * l0)) / (h * h)
        se_a.append(math.sqrt(-1.0 / d_a) if d_a < -1e-10 else NAN)
        se_b.append(math.sqrt(-1.0 / d_b) if d_b < -1e-10 else NAN)
        h_bb = ((l(aj, bj + h) - 2.0 * l0) + l(aj, bj - h)) / (h * h)
        h_ab = (((l(aj + h, bj + h) - l(aj + h, bj - h)) - l(aj - h, bj + h)) + l(aj - h, bj - h)) / (4.0 * h * h)
        hess[2 * j, 2 * j] = d_a
        hess[2 * j, 2 * j + 1] = hess[2 * j + 1, 2 * j] = h_ab
        hess[2 * j + 1, 2 * j + 1] = h_bb
    return np.array(se_a), np.array(se_b), hess


def reference_se_from_hessian(hm):
    n = hm.shape[0]
    out = [0.0] * n
    for i in range(n // 2):
        h00, h01, h11 = float(hm[2 * i, 2 * i]), float(hm[2 * i, 2 * i + 1]), float(hm[2 * i + 1, 2 * i + 1])
        det = h00 * h11 - h01 * h01
        if det > 1e-10:
            va, vb = -h11 / det, -h00 / det
            out[2 * i] = math.sqrt(va) if va > 0 else NAN
            out[2 * i + 1] = math.sqrt(vb) if vb > 0 else NAN
        else:
            out[2 * i] = out[2 * i + 1] = NAN
    return np.array(out)


def person_complete_ll(row, post_row, theta, a, b):
    s = 0.0
    for k, t in enumerate(theta):
        w = float(post_row[k])
        if not w >= 1e-10:
            continue
        inner = 0.0
        for j, x in enumerate(row):
            if x < 0:
                continue
            z = float(a[j]) * (float(t) - float(b[j]))
            inner += log_sigmoid(z) if x == 1 else log_sigmoid(-z)
        s += w * inner
    return s


def posterior(rng, n_persons, n_quad):
    p = rng.random((n_persons, n_quad)) ** 3
    return p / p.sum(axis=1, keepdims=True)


@pytest.fixture
def problem(rng):
    n_persons, n_items, n_quad = 150, 5, 9  # more than two blocks of persons
    responses = random_responses(rng, n_persons, n_items, missing=0.15)
    responses[:, 3] = -1  # an item nobody answered
    return {
        "responses": responses,
        "post": posterior(rng, n_persons, n_quad),
        "theta": np.linspace(-3, 3, n_quad),
        "a": rng.uniform(0.5, 2.0, n_items),
        "b": rng.normal(0, 1, n_items),
    }


@pytest.mark.parametrize("h", [1e-4, 0.01, 0.3])
def test_item_se_and_hessian_match_reference_bits(problem, h):
    p = problem
    args = (p["responses"], p["post"], p["theta"], p["a"], p["b"], h)
    se_a, se_b, hess = reference_se_and_hessian(*args)
    got_a, got_b = korvane.compute_item_se_parallel(*args)
    got_h = korvane.compute_hessian_block_diagonal(*args)
    assert same_bits(got_a, se_a) and same_bits(got_b, se_b)
    assert same_bits(got_h, hess)
    # The unanswered item: a zero block and NaN standard errors.
    assert np.isnan(got_a[3]) and np.isnan(got_b[3])
    assert not got_h[6:8, :].any() and not got_h[:, 6:8].any()
    assert np.all(np.isfinite(got_a[[0, 1, 2, 4]]))
    # The block inverse in matrix order (a_0, b_0, a_1, ...).
    assert same_bits(korvane.compute_se_from_hessian(got_h), reference_se_from_hessian(got_h))


def test_counts_treat_codes_and_layouts(problem):
    p = problem
    base = korvane.compute_hessian_block_diagonal(p["responses"], p["post"], p["theta"], p["a"], p["b"], 0.01)
    # Code 2 is incorrect like 0, every negative code is missing.
    recoded = np.where(p["responses"] == 0, 7, np.where(p["responses"] < 0, -5, p["responses"])).astype(np.int32)
    assert same_bits(
        korvane.compute_hessian_block_diagonal(recoded, p["post"], p["theta"], p["a"], p["b"], 0.01), base)
    for label, post in layouts(p["post"]):
        for _, resp in layouts(p["responses"]):
            got = korvane.compute_hessian_block_diagonal(resp, post, p["theta"], p["a"], p["b"], 0.01)
            assert same_bits(got, base), label


def test_step_zero_gives_nan_everywhere(problem):
    p = problem
    se_a, se_b = korvane.compute_item_se_parallel(p["responses"], p["post"], p["theta"], p["a"], p["b"], 0.0)
    assert np.isnan(se_a).all() and np.isnan(se_b).all()
    hess = korvane.compute_hessian_block_diagonal(p["responses"], p["post"], p["theta"], p["a"], p["b"], 0.0)
    assert np.isnan(korvane.compute_se_from_hessian(hess)).all()


def test_se_near_maximum_match_hessian_inverse(rng):
    # At parameters near the maximum of each item's expected log-likelihood
    # the blocks are negative definite; without the cross term the per-item
    # SE is never larger than the one from the block inverse.
    n_persons, n_items = 400, 4
    theta = np.linspace(-3, 3, 13)
    true_a, true_b = rng.uniform(0.8, 1.6, n_items), rng.uniform(-1, 1, n_items)
    person = rng.normal(size=n_persons)
    prob = 1 / (1 + np.exp(-true_a * (person[:, None] - true_b)))
    responses = (rng.random(prob.shape) < prob).astype(np.int32)
    post = np.exp(-0.5 * (theta[None, :] - person[:, None]) ** 2 / 0.2)
    post /= post.sum(axis=1, keepdims=True)
    se_a, se_b = korvane.compute_item_se_parallel(responses, post, theta, true_a, true_b, 1e-4)
    block = korvane.compute_se_from_hessian(
        korvane.compute_hessian_block_diagonal(responses, post, theta, true_a, true_b, 1e-4))
    assert np.all(se_a <= block[0::2] * (1 + 1e-6)) and np.all(se_b <= block[1::2] * (1 + 1e-6))
    assert np.all(se_a > 0.3 * block[0::2]) and np.all(se_b > 0.3 * block[1::2])


@pytest.mark.parametrize("hessian, expected", [
    (np.zeros((0, 0)), []),
    (np.array([[-3.0]]), [0.0]),
    (np.array([[-4.0, 1.0], [1.0, -2.0]]), [math.sqrt(2 / 7), math.sqrt(4 / 7)]),
    # the entry below the diagonal is never read
    (np.array([[-4.0, 1.0], [99.0, -2.0]]), [math.sqrt(2 / 7), math.sqrt(4 / 7)]),
    (np.array([[4.0, 0.0], [0.0, 2.0]]), [NAN, NAN]),  # positive definite: det > 0, variances < 0
    (np.array([[-1.0, 1.0], [1.0, -1.0]]), [NAN, NAN]),  # singular
    (np.array([[-1.0, 0.0], [0.0, NAN]]), [NAN, NAN]),
    (np.array([[-4.0, 0.0, 5.0], [0.0, -1.0, 5.0], [5.0, 5.0, 5.0]]), [0.5, 1.0, 0.0]),  # odd size
    (np.array([[-4.0, 0.0], [0.0, -1.0], [7.0, 7.0]]), [0.5, 1.0, 0.0]),  # 3 rows, 2 columns
])
def test_se_from_hessian_cases(hessian, expected):
    got = korvane.compute_se_from_hessian(hessian)
    assert same_bits(got, reference_se_from_hessian(hessian))
    np.testing.assert_array_equal(got, np.array(expected, dtype=float))


def assert_kernel_failure(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "KernelFailure"
    assert not isinstance(info.value, Exception)


@pytest.mark.parametrize("fn", [korvane.compute_item_se_parallel, korvane.compute_hessian_block_diagonal])
@pytest.mark.parametrize("change", ["few posterior rows", "few posterior columns", "short discrimination",
                                    "short difficulty"])
def test_index_mismatches_fail(problem, fn, change):
    p = dict(problem)
    if change == "few posterior rows":
        p["post"] = p["post"][:-1]
    elif change == "few posterior columns":
        p["post"] = p["post"][:, :-1]
    elif change == "short discrimination":
        p["a"] = p["a"][:-1]
    else:
        p["b"] = p["b"][:-1]
    assert_kernel_failure(lambda: fn(p["responses"], p["post"], p["theta"], p["a"], p["b"], 0.01))


def test_se_from_hessian_too_few_columns_fails():
    assert_kernel_failure(lambda: korvane.compute_se_from_hessian(np.zeros((4, 3))))


def test_extra_posterior_and_parameters_are_ignored(problem):
    p = problem
    base = korvane.compute_item_se_parallel(p["responses"], p["post"], p["theta"], p["a"], p["b"], 0.01)
    wide = np.hstack([p["post"], np.full((p["post"].shape[0], 2), 5.0)])
    tall = np.vstack([wide, np.ones((3, wide.shape[1]))])
    got = korvane.compute_item_se_parallel(p["responses"], tall, p["theta"], np.append(p["a"], 9.0),
                                           np.append(p["b"], 9.0), 0.01)
    assert same_bits(got[0], base[0]) and same_bits(got[1], base[1])
    # Rows beyond the posterior are fine for persons with no response at all.
    resp = np.vstack([p["responses"], np.full((2, p["responses"].shape[1]), -1, np.int32)])
    got = korvane.compute_item_se_parallel(resp, p["post"], p["theta"], p["a"], p["b"], 0.01)
    assert same_bits(got[0], base[0])


def test_complete_data_ll(problem):
    p = problem
    resp, post, theta, a, b = p["responses"], p["post"].copy(), p["theta"], p["a"], p["b"]
    post[0, 0] = 5e-11  # below 1e-10: contributes nothing
    terms = [person_complete_ll(resp[i], post[i], theta, a, b) for i in range(resp.shape[0])]
    got = korvane.compute_complete_data_ll(resp, post, theta, a, b)
    # A parallel sum: every term has the stated bits, only their grouping may vary.
    assert got == pytest.approx(math.fsum(terms), rel=1e-13, abs=0)
    one = korvane.compute_complete_data_ll(resp[:1], post[:1], theta, a, b)
    assert same_bits(one, terms[0])
    zeroed = post[:1].copy()
    zeroed[0, 0] = 0.0
    assert same_bits(korvane.compute_complete_data_ll(resp[:1], zeroed, theta, a, b), one)
    assert korvane.compute_complete_data_ll(resp[:0], post[:0], theta, a, b) == 0.0
    assert_kernel_failure(lambda: korvane.compute_complete_data_ll(resp, post[:-1], theta, a, b))
    assert_kernel_failure(lambda: korvane.compute_complete_data_ll(resp, post[:, :-1], theta, a, b))


def test_same_bits_with_one_and_two_threads():
    code = """
        import numpy as np, korvane
        rng = np.random.default_rng(5)
        r = (rng.random((3000, 30)) < 0.6).astype(np.int32)
        r[rng.random(r.shape) < 0.1] = -1
        post = rng.random((3000, 21)); post /= post.sum(axis=1, keepdims=True)
        q = np.linspace(-4, 4, 21); a = rng.uniform(0.5, 2, 30); b = rng.normal(size=30)
        se = korvane.compute_item_se_parallel(r, post, q, a, b, 1e-3)
        h = korvane.compute_hessian_block_diagonal(r, post, q, a, b, 1e-3)
        print(se[0].tobytes().hex(), se[1].tobytes().hex(), h.tobytes().hex())
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)


@pytest.mark.skipif(not (hasattr(korvane, "bootstrap_fit_2pl") and hasattr(korvane, "em_fit_2pl")),
                    reason="needs em_fit_2pl and bootstrap_fit_2pl")
def test_item_se_agrees_with_bootstrap_spread():
    rng = np.random.default_rng(8)
    n_persons, n_items = 2000, 20
    a_true = rng.uniform(0.8, 1.8, n_items)
    b_true = rng.uniform(-1.2, 1.2, n_items)
    person = rng.normal(size=n_persons)
    prob = 1 / (1 + np.exp(-a_true * (person[:, None] - b_true)))
    responses = (rng.random(prob.shape) < prob).astype(np.int32)
    # 41 nodes: the drivers' equally spaced grid on [-4, 4] with normal weights.
    a_hat, b_hat, _, _, _ = korvane.em_fit_2pl(responses, 41, 500, 1e-6)
    nodes = np.linspace(-4.0, 4.0, 41)
    weights = np.exp(-0.5 * nodes**2)
    weights /= weights.sum()
    ll = korvane.compute_log_likelihoods_2pl(responses, nodes, a_hat, b_hat) + np.log(weights + 1e-10)
    post = np.exp(ll - ll.max(axis=1, keepdims=True))
    post /= post.sum(axis=1, keepdims=True)
    se_a, se_b = korvane.compute_item_se_parallel(responses, post, nodes, a_hat, b_hat, 1e-4)
    block = korvane.compute_se_from_hessian(
        korvane.compute_hessian_block_diagonal(responses, post, nodes, a_hat, b_hat, 1e-4))
    boot_a, boot_b = korvane.bootstrap_fit_2pl(responses, 100, 41, 500, 1e-6, 3)
    # Both hold the posterior fixed (complete-data information), so they run somewhat
    # below the bootstrap spread; the per-item SE also drops the cross derivative.
    for diagonal, inverse, boot in ((se_a, block[0::2], boot_a), (se_b, block[1::2], boot_b)):
        spread = boot.std(axis=0, ddof=1)
        ratio, block_ratio = diagonal / spread, inverse / spread
        assert 0.7 < np.median(ratio) < 1.4 and np.all((ratio > 0.5) & (ratio < 1.4)), ratio
        assert 0.7 < np.median(block_ratio) < 1.4 and np.all((block_ratio > 0.6) & (block_ratio < 1.4)), block_ratio


def assert_clean_size_error(call):
    with pytest.raises(BaseException) as info:
        call()
    assert isinstance(info.value, MemoryError) or type(info.value).__name__ == "KernelFailure"


@pytest.mark.impossible_size
def test_sizes_that_cannot_be_allocated_fail_cleanly():
    q = np.linspace(-1, 1, 5)
    wide = np.zeros((0, 2**40), np.int32)  # no persons, 2^40 items: counts cannot exist
    for fn in (korvane.compute_item_se_parallel, korvane.compute_hessian_block_diagonal):
        assert_clean_size_error(lambda: fn(wide, np.zeros((0, 5)), q, np.ones(1), np.ones(1), 0.01))
    tall = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**58, 2), strides=(0, 0))
    assert_clean_size_error(lambda: korvane.compute_se_from_hessian(tall))
