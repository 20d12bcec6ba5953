"""Noncompensatory, disjunctive, partially compensatory and sequential-model probabilities."""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, layouts, run_with_threads, same_bits
from reference import logistic


def ref_mirt(kind, theta, a, b, c=None):
    n_persons, n_factors = theta.shape
    out = np.zeros((n_persons, a.shape[0]))
    for p in range(n_persons):
        for i in range(a.shape[0]):
            prod = 1.0
            for k in range(n_factors):
                L = logistic((theta[p, k] - b[i, k]) * a[i, k])
                if kind == "non":
                    prod *= L
                elif kind == "dis":
                    prod *= 1.0 - L
                else:
                    prod *= math.pow(L, c[i, k])
            out[p, i] = 1.0 - prod if kind == "dis" else prod
    return out


def call(kind, theta, a, b, c=None):
    if kind == "non":
        return korvane.compute_noncompensatory_probs(theta, a, b)
    if kind == "dis":
        return korvane.compute_disjunctive_probs(theta, a, b)
    return korvane.compute_partially_compensatory_probs(theta, a, b, c)


KINDS = ["non", "dis", "part"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_factors", [0, 1, 3])
def test_mirt_bits(rng, kind, n_factors):
    n_persons, n_items = 25, 8
    theta = rng.normal(0, 1.5, (n_persons, n_factors))
    # Extra rows and columns are ignored.
    a = rng.uniform(0.2, 2.5, (n_items, n_factors + 1))
    b = rng.normal(0, 1, (n_items + 2, n_factors + 2))
    c = rng.uniform(-0.5, 2.0, (n_items + 1, n_factors + 1))
    if n_factors:
        c[0, 0] = 0.0
        theta[3, 0] = 40.0
        b[2, 0] = np.nan
    got = call(kind, theta, a, b, c)
    assert got.shape == (n_persons, n_items)
    assert same_bits(got, ref_mirt(kind, theta, a, b, c))
    if n_factors == 0:
        assert (got == (0.0 if kind == "dis" else 1.0)).all()
    for _, t in layouts(theta):
        assert same_bits(call(kind, t, a, b, c), got)


@pytest.mark.parametrize("kind, c, expected", [
    ("non", None, 0.25), ("dis", None, 0.75), ("part", (1.0, 1.0), 0.25), ("part", (0.0, 0.0), 1.0),
])
def test_two_dimensions_at_zero_logit(kind, c, expected):
    theta = np.array([[0.5, -1.0]])
    a, b = np.array([[1.2, 0.7]]), np.array([[0.5, -1.0]])
    got = call(kind, theta, a, b, None if c is None else np.array([c]))
    assert got[0, 0] == expected


def test_one_dimension_equals_2pl_term(rng):
    theta, a, b = rng.normal(0, 1, (30, 1)), rng.uniform(0.5, 2, (5, 1)), rng.normal(0, 1, (5, 1))
    term = korvane.compute_noncompensatory_probs(theta, a, b)
    expected = np.array([[logistic((t - b[i, 0]) * a[i, 0]) for i in range(5)] for t in theta[:, 0]])
    assert same_bits(term, expected)
    assert same_bits(korvane.compute_partially_compensatory_probs(theta, a, b, np.ones((5, 1))), term)
    assert np.allclose(korvane.compute_disjunctive_probs(theta, a, b), term, rtol=0, atol=1e-15)


@pytest.mark.parametrize("shapes", [
    # theta, discrimination, difficulty, compensation
    ((4, 2), (3, 1), (3, 2), (3, 2)),  # discrimination lacks a column
    ((4, 2), (3, 2), (2, 2), (3, 2)),  # difficulty lacks a row
    ((4, 2), (3, 2), (3, 1), (3, 2)),  # difficulty lacks a column
    ((0, 2), (3, 2), (3, 1), (3, 2)),  # checked with no persons too
])
def test_mirt_short_parameters_fail(shapes):
    t, a, b, c = (np.zeros(s) for s in shapes)
    for kind in KINDS:
        with pytest.raises(KernelFailure):
            call(kind, t, a, b, c)


@pytest.mark.parametrize("c_shape", [(2, 2), (3, 1)])
def test_short_compensation_fails(c_shape):
    with pytest.raises(KernelFailure):
        korvane.compute_partially_compensatory_probs(np.zeros((4, 2)), np.ones((3, 2)), np.zeros((3, 2)),
                                                     np.ones(c_shape))


def test_mirt_no_factors_skips_checks_and_empty_shapes():
    got = korvane.compute_partially_compensatory_probs(np.zeros((3, 0)), np.zeros((2, 0)), np.zeros((0, 0)),
                                                       np.zeros((0, 0)))
    assert got.shape == (3, 2) and (got == 1.0).all()
    assert korvane.compute_disjunctive_probs(np.zeros((0, 2)), np.ones((4, 2)), np.zeros((4, 2))).shape == (0, 4)
    assert korvane.compute_noncompensatory_probs(np.zeros((5, 2)), np.ones((0, 2)), np.zeros((0, 2))).shape == (5, 0)


# ---- sequential model


def ref_sequential(theta, a, thr, n_cat):
    K = int(max(n_cat)) if len(n_cat) else 2
    out = np.zeros((theta.size, a.size * K))
    for p in range(theta.size):
        for i in range(a.size):
            n = int(n_cat[i])
            s = [logistic((theta[p] - thr[i, k]) * a[i]) for k in range(n - 1)]
            for j in range(n):
                prod = 1.0
                for k in range(j):
                    prod *= s[k]
                out[p, i * K + j] = prod * (1.0 - s[j]) if j < n - 1 else prod
    return out


@pytest.mark.parametrize("n_cat", [[2, 3], [4, 1, 3, 2], [2, 3, 5], [3, 3, 2, 7]])
def test_sequential_bits(rng, n_cat):
    n_items = 3 if len(n_cat) > 3 else len(n_cat)  # a trailing entry beyond n_items widens the blocks
    n_cat = np.array(n_cat, dtype=np.int32)
    theta, a = rng.normal(0, 1.5, 20), rng.uniform(0.3, 2.5, n_items)
    thr = rng.normal(0, 1, (n_items + 1, int(n_cat[:n_items].max()) - 1 + 1))
    theta[0] = np.nan
    got = korvane.compute_sequential_probs(theta, a, thr, n_cat)
    K = int(n_cat.max())
    assert got.shape == (20, n_items * K)
    assert same_bits(got, ref_sequential(theta, a, thr, n_cat))
    blocks = got[1:].reshape(19, n_items, K)
    assert np.allclose(blocks.sum(axis=2), 1.0, rtol=0, atol=1e-12)
    for i in range(n_items):
        assert (blocks[:, i, n_cat[i]:] == 0.0).all()
    if 1 in n_cat[:n_items]:
        i = list(n_cat).index(1)
        assert (blocks[:, i, 0] == 1.0).all()


def test_sequential_empty_cases():
    assert korvane.compute_sequential_probs(np.zeros(3), np.zeros(0), np.zeros((0, 0)),
                                            np.zeros(0, dtype=np.int32)).shape == (3, 0)
    got = korvane.compute_sequential_probs(np.zeros(0), np.ones(2), np.zeros((2, 1)), np.array([2, 2], np.int32))
    assert got.shape == (0, 4)


@pytest.mark.parametrize("a_len, thr_shape, n_cat", [
    (3, (3, 2), [3, 3]),  # n_categories shorter than discrimination
    (2, (1, 2), [3, 3]),  # too few threshold rows
    (2, (2, 1), [2, 3]),  # item 1 needs two threshold columns
    (2, (2, 2), [3, 0]),  # fewer than one category
    (2, (2, 2), [-2, 3]),
])
def test_sequential_failures(a_len, thr_shape, n_cat):
    with pytest.raises(KernelFailure):
        korvane.compute_sequential_probs(np.zeros(4), np.ones(a_len), np.zeros(thr_shape),
                                         np.array(n_cat, dtype=np.int32))


def test_threads_agree():
    code = """
        import numpy as np, korvane
        rng = np.random.default_rng(3)
        t, a, b, c = rng.normal(size=(500, 3)), rng.uniform(0.5, 2, (40, 3)), rng.normal(size=(40, 3)), rng.uniform(0, 2, (40, 3))
        for r in (korvane.compute_noncompensatory_probs(t, a, b), korvane.compute_disjunctive_probs(t, a, b),
                  korvane.compute_partially_compensatory_probs(t, a, b, c),
                  korvane.compute_sequential_probs(t[:, 0], a[:, 0], b, np.full(40, 4, np.int32))):
            print(r.tobytes().hex())
    """
    assert run_with_threads(code, 1) == run_with_threads(code, 2)
