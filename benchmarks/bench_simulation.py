"""Response simulation at 100,000 persons x 50 items and the multidimensional
(noncompensatory, disjunctive, partially compensatory) probabilities at
20,000 persons x 60 items x 3 dimensions."""

import numpy as np

import korvane
from common import Case

N_SIM, ITEMS_SIM, N_CAT = 100_000, 50, 5
N_MIRT, ITEMS_MIRT, DIMS = 20_000, 60, 3


def setup_sim():
    rng = np.random.default_rng(1)
    return {
        "theta": rng.normal(0, 1, N_SIM),
        "theta2": rng.normal(0, 1, (N_SIM, 1)),
        "a": rng.uniform(0.5, 2.0, ITEMS_SIM),
        "b": rng.normal(0, 1, ITEMS_SIM),
        "c": rng.uniform(0.0, 0.3, ITEMS_SIM),
        "thr": np.sort(rng.normal(0, 1, (ITEMS_SIM, N_CAT - 1)), axis=1),
    }


def plain_dichotomous(d):
    rng = np.random.default_rng(0)
    p = 1 / (1 + np.exp(-d["a"] * (d["theta"][:, None] - d["b"])))
    P = p * (1 - d["c"]) + d["c"]
    return (P > rng.random(P.shape)).astype(np.int32)


def best_dichotomous(d):
    # In-place arithmetic on one (n, m) buffer; the comparison is with u drawn in place.
    rng = np.random.default_rng(0)
    z = np.subtract.outer(d["theta"], d["b"])
    z *= -d["a"]
    np.exp(z, out=z)
    z += 1.0
    np.divide(1.0 - d["c"], z, out=z)
    z += d["c"]
    u = rng.random(z.shape)
    return np.greater(z, u).astype(np.int32)


def plain_grm(d):
    # Category probabilities, normalised, cumulated and compared with u.
    rng = np.random.default_rng(0)
    theta, a, thr = d["theta2"][:, 0], d["a"], d["thr"]
    star = 1 / (1 + np.exp(-a[None, :, None] * (theta[:, None, None] - thr[None, :, :])))
    n, m = star.shape[:2]
    cum = np.concatenate([np.ones((n, m, 1)), star, np.zeros((n, m, 1))], axis=2)
    p = np.maximum(cum[:, :, :-1] - cum[:, :, 1:], 0.0)
    p /= p.sum(axis=2, keepdims=True)
    u = rng.random((n, m))
    above = np.cumsum(p, axis=2) > u[:, :, None]
    return np.where(above.any(axis=2), above.argmax(axis=2), N_CAT - 1).astype(np.int32)


def best_grm(d):
    # Ordered thresholds: the category is the number of steps k with P*_k > 1 - u.
    rng = np.random.default_rng(0)
    theta, a, thr = d["theta2"][:, 0], d["a"], d["thr"]
    v = 1.0 - rng.random((theta.size, a.size))
    out = np.zeros(v.shape, dtype=np.int32)
    for k in range(thr.shape[1]):
        z = np.subtract.outer(theta, thr[:, k])
        z *= -a
        np.exp(z, out=z)
        z += 1.0
        np.reciprocal(z, out=z)
        out += z > v
    return out


def category_shares(x, y):
    x, y = np.asarray(x), np.asarray(y)
    return f"mean response {x.mean():.3f} vs {y.mean():.3f}"


def setup_mirt():
    rng = np.random.default_rng(2)
    return {
        "theta": rng.normal(0, 1, (N_MIRT, DIMS)),
        "a": rng.uniform(0.5, 2.0, (ITEMS_MIRT, DIMS)),
        "b": rng.normal(0, 1, (ITEMS_MIRT, DIMS)),
        "c": rng.uniform(0.5, 1.5, (ITEMS_MIRT, DIMS)),
    }


def dimension_terms(d):
    # (n_persons, n_items, n_factors) broadcast.
    z = (d["theta"][:, None, :] - d["b"][None, :, :]) * d["a"][None, :, :]
    return 1 / (1 + np.exp(-z))


def term(d, k):
    z = np.subtract.outer(d["theta"][:, k], d["b"][:, k])
    z *= -d["a"][:, k]
    np.exp(z, out=z)
    z += 1.0
    return np.reciprocal(z, out=z)


def best_non(d):
    prod = term(d, 0)
    for k in range(1, DIMS):
        prod *= term(d, k)
    return prod


def best_dis(d):
    prod = 1.0 - term(d, 0)
    for k in range(1, DIMS):
        prod *= 1.0 - term(d, k)
    return 1.0 - prod


def best_part(d):
    prod = term(d, 0) ** d["c"][:, 0]
    for k in range(1, DIMS):
        prod *= term(d, k) ** d["c"][:, k]
    return prod


def max_diff(x, y):
    return f"max |diff| {np.max(np.abs(x - y)):.1e}"


CASES = [
    Case("simulate_dichotomous 100k x 50 (3PL)", setup_sim,
         lambda d: korvane.simulate_dichotomous(d["theta"], d["a"], d["b"], d["c"], 7),
         best_numpy=best_dichotomous, plain_numpy=plain_dichotomous, compare=category_shares),
    Case("simulate_grm 100k x 50, 5 categories", setup_sim,
         lambda d: korvane.simulate_grm(d["theta2"], d["a"], d["thr"], 7),
         best_numpy=best_grm, plain_numpy=plain_grm, compare=category_shares),
    Case("noncompensatory 20k x 60 x 3", setup_mirt,
         lambda d: korvane.compute_noncompensatory_probs(d["theta"], d["a"], d["b"]),
         best_numpy=best_non, plain_numpy=lambda d: dimension_terms(d).prod(axis=2), compare=max_diff),
    Case("disjunctive 20k x 60 x 3", setup_mirt,
         lambda d: korvane.compute_disjunctive_probs(d["theta"], d["a"], d["b"]),
         best_numpy=best_dis, plain_numpy=lambda d: 1 - (1 - dimension_terms(d)).prod(axis=2), compare=max_diff),
    Case("partially compensatory 20k x 60 x 3", setup_mirt,
         lambda d: korvane.compute_partially_compensatory_probs(d["theta"], d["a"], d["b"], d["c"]),
         best_numpy=best_part, plain_numpy=lambda d: (dimension_terms(d) ** d["c"][None]).prod(axis=2),
         compare=max_diff),
]
