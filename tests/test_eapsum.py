"""Sum-score distributions (Lord-Wingersky, dichotomous and polytomous) and EAPsum."""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, same_bits
from reference import eap_summary, log_sigmoid, log_sum_exp

INF = math.inf


def lw_reference(theta, a, b):
    n, nq = len(a), len(theta)
    t = [[0.0] * nq] + [[-INF] * nq for _ in range(n)]
    for j in range(n):
        new = [[-INF] * nq for _ in range(n + 1)]
        for q in range(nq):
            z = a[j] * (theta[q] - b[j])
            lp, lq = log_sigmoid(z), log_sigmoid(-z)
            new[0][q] = t[0][q] + lq
            for s in range(1, n + 1):
                u, v = t[s][q] + lq, t[s - 1][q] + lp
                m = u if u > v else v
                new[s][q] = m + math.log(math.exp(u - m) + math.exp(v - m)) if math.isfinite(m) else -INF
        t = new
    return np.array(t).reshape(n + 1, nq)


def poly_reference(probs, max_score):
    n, nq, nk = probs.shape
    t = [[0.0] * nq] + [[-INF] * nq for _ in range(max_score)]
    for j in range(n):
        new = [[-INF] * nq for _ in range(max_score + 1)]
        for s in range(max_score + 1):
            for q in range(nq):
                kept = []
                for k in range(min(nk, s + 1)):
                    prev = t[s - k][q]
                    if not math.isfinite(prev):
                        continue
                    p = float(probs[j, q, k])
                    p = p if p >= 1e-10 else 1e-10
                    term = prev + math.log(p)
                    if math.isfinite(term):
                        kept.append(term)
                if kept:
                    new[s][q] = log_sum_exp(kept)
        t = new
    return np.array(t).reshape(max_score + 1, nq)


def eapsum_reference(table, log_prior, scores, theta):
    out = []
    for s in scores.tolist():
        s = min(max(s, 0), table.shape[0] - 1)
        lp = [float(table[s, q]) + float(log_prior[q]) for q in range(len(theta))]
        out.append(eap_summary(theta, lp))
    return np.array(out).reshape(-1, 2).T


# ---- dichotomous recursion ------------------------------------------------------


@pytest.mark.parametrize("n_items, n_quad", [(0, 5), (1, 7), (6, 11), (4, 0)])
def test_recursion_matches_reference_bits(rng, n_items, n_quad):
    theta = np.linspace(-5, 5, n_quad)
    a, b = rng.uniform(0.3, 2.5, n_items), rng.normal(0, 1.5, n_items)
    table = korvane.lord_wingersky_recursion(theta, a, b)
    assert table.shape == (n_items + 1, n_quad)
    assert same_bits(table, lw_reference(theta, a, b))
    if n_quad:
        assert np.allclose(np.exp(table).sum(axis=0), 1.0, rtol=0, atol=1e-14)
    if n_items == 0:
        assert same_bits(table, np.zeros((1, n_quad)))


def test_recursion_known_columns():
    # One item with P = 0.7 at the node, then two items with P = 0.5.
    one = korvane.lord_wingersky_recursion(np.array([math.log(0.7 / 0.3)]), np.array([1.0]), np.array([0.0]))
    assert np.allclose(one[:, 0], [math.log(0.3), math.log(0.7)], rtol=1e-15, atol=0)
    two = korvane.lord_wingersky_recursion(np.array([0.4]), np.array([1.3, 1.3]), np.array([0.4, 0.4]))
    assert two[:, 0].tolist() == [math.log(0.25), math.log(0.5), math.log(0.25)]


def test_recursion_extreme_and_nan_nodes():
    theta = np.array([-800.0, 800.0, math.nan])
    a, b = np.array([1.0, 2.0]), np.array([0.0, 0.5])
    got = korvane.lord_wingersky_recursion(theta, a, b)
    assert same_bits(got, lw_reference(theta, a, b))
    # At a NaN node row 0 carries the NaN; every other row has no finite term.
    assert math.isnan(got[0, 2]) and np.all(got[1:, 2] == -INF)


def test_recursion_parameter_lengths():
    with pytest.raises(KernelFailure, match="difficulty"):
        korvane.lord_wingersky_recursion(np.array([]), np.ones(3), np.zeros(2))
    # Extra difficulties are ignored; the items are those of discrimination.
    t = korvane.lord_wingersky_recursion(np.array([0.0, 1.0]), np.ones(2), np.zeros(5))
    assert t.shape == (3, 2)


# ---- polytomous recursion -------------------------------------------------------


def random_probs(rng, n_items, n_quad, n_cat):
    p = rng.dirichlet(np.ones(n_cat), size=(n_items, n_quad))
    p[0, :, -1] = 0.0       # a padded slot: contributes 1e-10, not 0
    p[1 % n_items, 0, 0] = math.nan
    return p


@pytest.mark.parametrize("n_items, n_cat, max_score", [(3, 3, 6), (4, 3, 3), (3, 4, 12), (0, 2, 2), (2, 1, 0)])
def test_polytomous_matches_reference_bits(rng, n_items, n_cat, max_score):
    probs = random_probs(rng, n_items, 5, n_cat) if n_items else np.zeros((0, 5, n_cat))
    got = korvane.lord_wingersky_polytomous(probs, max_score)
    assert got.shape == (max_score + 1, 5)
    assert same_bits(got, poly_reference(probs, max_score))


def test_polytomous_zero_probability_and_truncation(rng):
    probs = random_probs(rng, 4, 3, 3)
    full = korvane.lord_wingersky_polytomous(probs, 8)
    short = korvane.lord_wingersky_polytomous(probs, 4)
    assert same_bits(short, full[:5])
    # A category of probability 0 is a path of ln 1e-10, not an impossible one.
    one = np.array([[[0.0, 1.0]]])
    assert korvane.lord_wingersky_polytomous(one, 1)[:, 0].tolist() == [math.log(1e-10), 0.0]


def test_polytomous_largest_max_score_fails():
    with pytest.raises(KernelFailure, match="overflows"):
        korvane.lord_wingersky_polytomous(np.zeros((1, 1, 2)), 2**64 - 1)


def test_polytomous_binary_items_equal_dichotomous_table():
    theta = np.linspace(-3, 3, 9)
    a, b = np.array([0.8, 1.5, 1.1]), np.array([-0.5, 0.2, 1.0])
    p1 = 1 / (1 + np.exp(-a[:, None] * (theta[None, :] - b[:, None])))
    probs = np.stack([1 - p1, p1], axis=2)
    poly = korvane.lord_wingersky_polytomous(probs, 3)
    assert np.allclose(poly, korvane.lord_wingersky_recursion(theta, a, b), rtol=1e-12, atol=1e-12)


# ---- EAPsum ---------------------------------------------------------------------


def test_eapsum_matches_reference_bits_and_clamps(rng):
    theta = np.linspace(-4, 4, 13)
    a, b = rng.uniform(0.5, 2, 6), rng.normal(0, 1, 6)
    table = korvane.lord_wingersky_recursion(theta, a, b)
    prior = np.log(np.exp(-theta * theta / 2) / 3.0)
    scores = np.array([0, 3, 6, -3, 10**6, 2, 3], dtype=np.int32)
    got = korvane.eapsum_from_distribution(table, prior, scores, theta)
    ref = eapsum_reference(table, prior, scores, theta)
    assert all(same_bits(x, y) for x, y in zip(got, ref))
    assert got[0][3] == got[0][0] and got[0][4] == got[0][2]
    # Extra prior entries and table columns are ignored.
    wide = np.hstack([table, np.zeros((7, 2))])
    more = korvane.eapsum_from_distribution(wide, np.append(prior, [5.0, 5.0]), scores, theta)
    assert all(same_bits(x, y) for x, y in zip(more, got))


def test_eapsum_agrees_with_eap_of_a_sum_score_sufficient_model():
    # Equal slopes: the sum score is sufficient, so EAP and EAPsum coincide.
    theta = np.linspace(-5, 5, 41)
    w = np.exp(-theta * theta / 2)
    w /= w.sum()
    a, b = np.full(5, 1.2), np.array([-1.0, -0.3, 0.0, 0.6, 1.4])
    r = ((np.arange(32)[:, None] >> np.arange(5)) & 1).astype(np.int32)
    eap, se = korvane.compute_eap_scores(r, theta, w, a, b)
    table = korvane.lord_wingersky_recursion(theta, a, b)
    es, ses = korvane.eapsum_from_distribution(table, np.log(w + 1e-10), r.sum(axis=1).astype(np.int32), theta)
    assert np.allclose(es, eap, atol=1e-12) and np.allclose(ses, se, atol=1e-12)


@pytest.mark.parametrize(
    "rows, cols, n_prior, n_theta, n_persons, message",
    [
        (3, 4, 3, 4, 2, "log_prior"),
        (3, 3, 4, 4, 2, "columns"),
        (3, 3, 2, 3, 0, "log_prior"),  # fails even with no persons
        (0, 4, 4, 4, 1, "no rows"),
    ],
)
def test_eapsum_failures(rows, cols, n_prior, n_theta, n_persons, message):
    with pytest.raises(KernelFailure, match=message):
        korvane.eapsum_from_distribution(
            np.zeros((rows, cols)), np.zeros(n_prior), np.zeros(n_persons, dtype=np.int32), np.zeros(n_theta)
        )


@pytest.mark.parametrize("rows, n_theta, n_persons", [(0, 4, 0), (0, 0, 3), (2, 0, 3)])
def test_eapsum_empty_cases(rows, n_theta, n_persons):
    est, se = korvane.eapsum_from_distribution(
        np.zeros((rows, 4)), np.zeros(4), np.full(n_persons, 1, dtype=np.int32), np.zeros(n_theta)
    )
    assert same_bits(est, np.zeros(n_persons)) and same_bits(se, np.zeros(n_persons))
