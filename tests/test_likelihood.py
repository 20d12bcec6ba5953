"""Person-by-node log-likelihoods: exact agreement with a per-person
evaluation in the stated order, layouts, edge cases and failures."""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, layouts, random_responses, run_with_threads, same_bits
from reference import log_one_minus_sigmoid, log_sigmoid, loglik_2pl, logistic


def ref_2pl(r, q, a, b):
    out = np.zeros((r.shape[0], len(q)))
    for i in range(r.shape[0]):
        for k, theta in enumerate(q):
            out[i, k] = loglik_2pl(r[i], theta, a, b)
    return out


def ref_3pl(r, q, a, b, c):
    out = np.zeros((r.shape[0], len(q)))
    for i in range(r.shape[0]):
        for k, theta in enumerate(q):
            s = 0.0
            for j, x in enumerate(r[i]):
                if x < 0:
                    continue
                z = (theta - b[j]) * a[j]
                p = logistic(z)
                p = (1.0 - c[j]) * p + c[j]
                p = p if p >= 1e-10 else 1e-10
                p = p if p <= 0.9999999999 else 0.9999999999
                s += math.log(p) if x == 1 else math.log(1.0 - p)
            out[i, k] = s
    return out


def ref_mirt(r, q, a, b):
    totals = [_row_sum(a[j]) for j in range(r.shape[1])]
    out = np.zeros((r.shape[0], q.shape[0]))
    for i in range(r.shape[0]):
        for k in range(q.shape[0]):
            s = 0.0
            for j, x in enumerate(r[i]):
                if x < 0:
                    continue
                w = 0.0
                for f in range(q.shape[1]):
                    w += a[j, f] * q[k, f]
                z = w - totals[j] * b[j]
                s += log_sigmoid(z) if x == 1 else log_one_minus_sigmoid(z)
            out[i, k] = s
    return out


def _row_sum(row):
    s = 0.0
    for v in row:
        s += v
    return s


@pytest.fixture
def data(rng):
    n, m, nq = 23, 7, 9
    r = random_responses(rng, n, m, missing=0.15)
    r[3] = -1  # an all-missing person
    return {
        "r": r,
        "q": np.linspace(-4, 4, nq),
        "a": rng.uniform(0.3, 2.5, m),
        "b": rng.normal(0, 1.5, m),
        "c": rng.uniform(0, 0.35, m),
        "q2": rng.normal(0, 1, (nq, 2)),
        "a2": rng.uniform(0.2, 1.5, (m, 3)),  # one slope column more than the grid has
    }


def test_2pl_3pl_mirt_match_reference_bits(data):
    d = data
    assert same_bits(korvane.compute_log_likelihoods_2pl(d["r"], d["q"], d["a"], d["b"]),
                     ref_2pl(d["r"], d["q"], d["a"], d["b"]))
    assert same_bits(korvane.compute_log_likelihoods_3pl(d["r"], d["q"], d["a"], d["b"], d["c"]),
                     ref_3pl(d["r"], d["q"], d["a"], d["b"], d["c"]))
    assert same_bits(korvane.compute_log_likelihoods_mirt(d["r"], d["q2"], d["a2"], d["b"]),
                     ref_mirt(d["r"], d["q2"], d["a2"], d["b"]))


@pytest.mark.parametrize("which", ["responses", "quad_points", "discrimination"])
def test_any_layout_gives_the_contiguous_result(data, which):
    d = data
    want = korvane.compute_log_likelihoods_2pl(d["r"], d["q"], d["a"], d["b"])
    source = {"responses": d["r"], "quad_points": d["q"], "discrimination": d["a"]}[which]
    for label, arr in layouts(source):
        args = {"responses": d["r"], "quad_points": d["q"], "discrimination": d["a"], "difficulty": d["b"]}
        args[which] = arr
        assert same_bits(korvane.compute_log_likelihoods_2pl(**args), want), label


def test_zero_stride_rows_repeat_one_person(data):
    row = data["r"][:1]
    tiled = np.lib.stride_tricks.as_strided(row, shape=(5, row.shape[1]), strides=(0, row.strides[1]))
    out = korvane.compute_log_likelihoods_2pl(tiled, data["q"], data["a"], data["b"])
    assert same_bits(out, np.repeat(ref_2pl(row, data["q"], data["a"], data["b"]), 5, axis=0))


@pytest.mark.parametrize(
    "shape, nq, want",
    [((0, 4), 5, (0, 5)), ((3, 4), 0, (3, 0)), ((3, 0), 5, (3, 5))],
)
def test_empty_sizes(shape, nq, want):
    r = np.ones(shape, np.int32)
    out = korvane.compute_log_likelihoods_2pl(r, np.linspace(-1, 1, nq), np.ones(shape[1]), np.zeros(shape[1]))
    assert out.shape == want and out.dtype == np.float64
    assert not out.any()


def test_codes_and_theta_at_difficulty():
    q = np.array([0.5, -1.0])
    a, b = np.array([1.7, 0.9]), np.array([0.5, 0.5])
    out = {code: korvane.compute_log_likelihoods_2pl(np.array([[code, -9]], np.int32), q, a, b) for code in (0, 1, 2)}
    assert same_bits(out[2], out[0])  # code 2 counts as incorrect
    assert out[0][0, 0] == out[1][0, 0] == -math.log(2)  # theta = b: -ln 2 whatever the response


def test_3pl_clamp_differs_from_2pl_only_at_the_extremes():
    r = np.array([[0], [1]], np.int32)
    q = np.array([0.2, 40.0])
    a, b, c = np.ones(1), np.zeros(1), np.zeros(1)
    two = korvane.compute_log_likelihoods_2pl(r, q, a, b)
    three = korvane.compute_log_likelihoods_3pl(r, q, a, b, c)
    assert abs(three[:, 0] - two[:, 0]).max() < 1e-15
    assert three[0, 1] == math.log(1 - 0.9999999999) and two[0, 1] < -39.9


def test_mirt_with_one_dimension_is_the_2pl(data):
    d = data
    mirt = korvane.compute_log_likelihoods_mirt(d["r"], d["q"][:, None], d["a"][:, None], d["b"])
    assert np.allclose(mirt, korvane.compute_log_likelihoods_2pl(d["r"], d["q"], d["a"], d["b"]), rtol=0, atol=1e-12)


def test_nan_parameters_propagate_and_3pl_clamps_them():
    r = np.array([[1]], np.int32)
    q = np.zeros(1)
    assert np.isnan(korvane.compute_log_likelihoods_2pl(r, q, np.array([np.nan]), np.zeros(1))[0, 0])
    assert korvane.compute_log_likelihoods_3pl(r, q, np.array([np.nan]), np.zeros(1), np.zeros(1))[0, 0] == math.log(1e-10)


@pytest.mark.parametrize(
    "call, message",
    [
        # the last item is answered: its missing discrimination is reported first
        (lambda r, q: korvane.compute_log_likelihoods_2pl(r, q, np.ones(2), np.zeros(2)), "discrimination"),
        (lambda r, q: korvane.compute_log_likelihoods_2pl(r, q, np.ones(3), np.zeros(2)), "difficulty"),
        (lambda r, q: korvane.compute_log_likelihoods_3pl(r, q, np.ones(2), np.zeros(2), np.zeros(2)), "discrimination"),
        (lambda r, q: korvane.compute_log_likelihoods_3pl(r, q, np.ones(3), np.zeros(3), np.zeros(2)), "guessing"),
        (lambda r, q: korvane.compute_log_likelihoods_mirt(r, q[:, None], np.ones((3, 1)), np.zeros(2)), "difficulty"),
        (lambda r, q: korvane.compute_log_likelihoods_mirt(r, np.zeros((4, 2)), np.ones((3, 1)), np.zeros(3)), "discrimination"),
    ],
)
def test_short_parameters_fail_at_an_answered_item(call, message):
    r = np.array([[1, 0, 1]], np.int32)
    with pytest.raises(KernelFailure, match=message):
        call(r, np.linspace(-1, 1, 4))


def test_short_parameters_are_fine_when_the_item_is_never_answered():
    r = np.array([[1, 0, -1], [0, 1, -9]], np.int32)
    q = np.linspace(-1, 1, 4)
    got = korvane.compute_log_likelihoods_2pl(r, q, np.ones(2), np.zeros(2))
    assert same_bits(got, ref_2pl(r, q, np.ones(3), np.zeros(3)))
    # The multidimensional function checks the slope rows up front.
    with pytest.raises(KernelFailure, match="rows"):
        korvane.compute_log_likelihoods_mirt(r, q[:, None], np.ones((2, 1)), np.zeros(3))


def test_results_do_not_depend_on_the_thread_count():
    code = """
        import hashlib, numpy as np, korvane
        rng = np.random.default_rng(5)
        r = rng.integers(-1, 3, (3000, 40)).astype(np.int32)
        q = np.linspace(-4, 4, 41); a = rng.uniform(0.5, 2, 40); b = rng.normal(0, 1, 40)
        outs = [korvane.compute_log_likelihoods_2pl(r, q, a, b),
                korvane.compute_log_likelihoods_3pl(r, q, a, b, rng.uniform(0, .3, 40)),
                korvane.compute_log_likelihoods_mirt(r, rng.normal(0, 1, (41, 3)), rng.uniform(0, 1, (40, 3)), b)]
        print(hashlib.sha256(b"".join(o.tobytes() for o in outs)).hexdigest())
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)
