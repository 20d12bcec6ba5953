"""Person-by-node log-likelihoods at 20,000 persons x 60 items x 41 nodes, 10% missing."""

import numpy as np

import korvane
from common import Case

N_PERSONS, N_ITEMS, N_QUAD = 20_000, 60, 41


def setup():
    rng = np.random.default_rng(1)
    r = (rng.random((N_PERSONS, N_ITEMS)) < 0.6).astype(np.int32)
    r[rng.random(r.shape) < 0.1] = -1
    return {
        "r": r,
        "q": np.linspace(-4, 4, N_QUAD),
        "a": rng.uniform(0.5, 2.0, N_ITEMS),
        "b": rng.normal(0, 1, N_ITEMS),
        "c": rng.uniform(0.0, 0.3, N_ITEMS),
        "q2": rng.normal(0, 1, (N_QUAD, 3)),
        "a2": rng.uniform(0.3, 1.5, (N_ITEMS, 3)),
    }


def log_sigmoid(z):
    return -np.logaddexp(0.0, -z)


def plain_2pl(d):
    # Broadcast over persons x items x nodes.
    r = d["r"][:, :, None]
    z = (d["q"][None, None, :] - d["b"][None, :, None]) * d["a"][None, :, None]
    lp = np.where(r == 1, log_sigmoid(z), log_sigmoid(-z))
    return np.where(r >= 0, lp, 0.0).sum(axis=1)


def best_2pl(d):
    # Item-by-node tables, then two matrix products with indicator matrices.
    z = (d["q"][None, :] - d["b"][:, None]) * d["a"][:, None]
    x1 = (d["r"] == 1).astype(np.float64)
    x0 = ((d["r"] >= 0) & (d["r"] != 1)).astype(np.float64)
    return x1 @ log_sigmoid(z) + x0 @ log_sigmoid(-z)


def best_3pl(d):
    z = (d["q"][None, :] - d["b"][:, None]) * d["a"][:, None]
    c = d["c"][:, None]
    p = np.clip((1 - c) / (1 + np.exp(-z)) + c, 1e-10, 0.9999999999)
    x1 = (d["r"] == 1).astype(np.float64)
    x0 = ((d["r"] >= 0) & (d["r"] != 1)).astype(np.float64)
    return x1 @ np.log(p) + x0 @ np.log1p(-p)


def best_mirt(d):
    a2 = d["a2"]
    z = a2 @ d["q2"].T - (a2.sum(axis=1) * d["b"])[:, None]
    x1 = (d["r"] == 1).astype(np.float64)
    x0 = ((d["r"] >= 0) & (d["r"] != 1)).astype(np.float64)
    return x1 @ log_sigmoid(z) + x0 @ log_sigmoid(-z)


def max_diff(x, y):
    return f"max |diff| {np.max(np.abs(x - y)):.1e}"


CASES = [
    Case("log-likelihoods 2PL", setup,
         lambda d: korvane.compute_log_likelihoods_2pl(d["r"], d["q"], d["a"], d["b"]),
         best_numpy=best_2pl, plain_numpy=plain_2pl, compare=max_diff),
    Case("log-likelihoods 3PL", setup,
         lambda d: korvane.compute_log_likelihoods_3pl(d["r"], d["q"], d["a"], d["b"], d["c"]),
         best_numpy=best_3pl, compare=max_diff),
    Case("log-likelihoods MIRT (3 dims)", setup,
         lambda d: korvane.compute_log_likelihoods_mirt(d["r"], d["q2"], d["a2"], d["b"]),
         best_numpy=best_mirt, compare=max_diff),
]
