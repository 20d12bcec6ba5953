"""Per-item standard errors at 20,000 persons x 60 items x 41 nodes, and the
fixed-item calibration EM at 10,000 persons with 20 anchors and 20 new items
(41 nodes, 20 iterations: tol = 0 keeps every formulation running to the cap)."""

import numpy as np

import korvane
from common import Case

N_PERSONS, N_ITEMS, N_QUAD, H = 20_000, 60, 41, 1e-4
CAL_PERSONS, N_ANCHOR, N_NEW, CAL_ITER = 10_000, 20, 20, 20


def log_sigmoid(z):
    return -np.logaddexp(0.0, -z)


# ---- standard errors ----------------------------------------------------------

def setup_se():
    rng = np.random.default_rng(3)
    r = (rng.random((N_PERSONS, N_ITEMS)) < 0.6).astype(np.int32)
    r[rng.random(r.shape) < 0.1] = -1
    post = rng.random((N_PERSONS, N_QUAD)) ** 3
    post /= post.sum(axis=1, keepdims=True)
    return {"r": r, "post": post, "q": np.linspace(-4, 4, N_QUAD),
            "a": rng.uniform(0.5, 2.0, N_ITEMS), "b": rng.normal(0, 1, N_ITEMS)}


def loglik_from_counts(r, n, q, a, b):
    # r, n: (items, nodes); a, b: (items, k) -> (items, k)
    p = 1 / (1 + np.exp(-a[:, :, None] * (q[None, None, :] - b[:, :, None])))
    p = np.clip(p, 1e-10, 0.9999999999)
    keep = (n >= 1e-10)[:, None, :]
    terms = r[:, None, :] * np.log(p) + (n - r)[:, None, :] * np.log1p(-p)
    return np.where(keep, terms, 0.0).sum(axis=2)


def se_from_counts(r, n, q, a, b):
    steps = np.array([[0, 0], [H, 0], [-H, 0], [0, H], [0, -H]])
    l = loglik_from_counts(r, n, q, a[:, None] + steps[:, 0], b[:, None] + steps[:, 1])
    d_a = (l[:, 2] + (l[:, 1] - 2 * l[:, 0])) / (H * H)
    d_b = (l[:, 4] + (l[:, 3] - 2 * l[:, 0])) / (H * H)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (np.where(d_a < -1e-10, np.sqrt(-1 / d_a), np.nan),
                np.where(d_b < -1e-10, np.sqrt(-1 / d_b), np.nan))


def best_se(d):
    # Counts of all items by two matrix products, then all items' differences at once.
    x1 = (d["r"] == 1).astype(np.float64)
    xa = (d["r"] >= 0).astype(np.float64)
    return se_from_counts(x1.T @ d["post"], xa.T @ d["post"], d["q"], d["a"], d["b"])


def plain_se(d):
    # Item by item: masked column sums of the posterior.
    r = np.empty((N_ITEMS, N_QUAD))
    n = np.empty((N_ITEMS, N_QUAD))
    for j in range(N_ITEMS):
        col = d["r"][:, j]
        r[j] = d["post"][col == 1].sum(axis=0)
        n[j] = d["post"][col >= 0].sum(axis=0)
    return se_from_counts(r, n, d["q"], d["a"], d["b"])


def compare_se(x, y):
    return f"max rel diff {np.nanmax(np.abs(np.concatenate(x) / np.concatenate(y) - 1)):.1e}"


# ---- fixed-item calibration ---------------------------------------------------

def setup_cal():
    rng = np.random.default_rng(4)
    n_items = N_ANCHOR + N_NEW
    a, b = rng.uniform(0.7, 2.0, n_items), rng.normal(0, 1, n_items)
    theta = rng.normal(size=CAL_PERSONS)
    prob = 1 / (1 + np.exp(-a * (theta[:, None] - b)))
    r = (rng.random(prob.shape) < prob).astype(np.int32)
    r[rng.random(r.shape) < 0.05] = -1
    grid = np.linspace(-4, 4, N_QUAD)
    w = np.exp(-0.5 * grid**2)
    return {"r": r, "anchors": list(range(N_ANCHOR)), "new": list(range(N_ANCHOR, n_items)),
            "ad": a[:N_ANCHOR], "bd": b[:N_ANCHOR], "grid": grid, "w": w / w.sum()}


def korvane_cal(d):
    return korvane.fixed_calib_em(d["r"], d["anchors"], d["new"], d["ad"], d["bd"], d["grid"], d["w"],
                                  CAL_ITER, 0.0)


def indicator_tables(resp, a, b, grid):
    z = a[:, None] * (grid[None, :] - b[:, None])
    x1 = (resp == 1).astype(np.float64)
    x0 = ((resp >= 0) & (resp != 1)).astype(np.float64)
    return x1 @ log_sigmoid(z) + x0 @ log_sigmoid(-z)


def wls_update(r, n, grid, a, b):
    # All new items at once; invalid nodes get weight 0.
    valid = n > 1.0
    with np.errstate(invalid="ignore", divide="ignore"):
        p = np.clip(r / n, 0.01, 0.99)
    y = np.where(valid, np.log(p / (1 - p)), 0.0)
    w = np.where(valid, n, 0.0)
    s = w.sum(axis=1)
    xb = (w * grid).sum(axis=1) / s
    yb = (w * y).sum(axis=1) / s
    dx = grid[None, :] - xb[:, None]
    sxx = (w * dx * dx).sum(axis=1)
    sxy = (w * dx * (y - yb[:, None])).sum(axis=1)
    ok = (valid.sum(axis=1) >= 3) & (sxx / s >= 1e-10)
    a_new = np.clip((sxy / s) / (sxx / s), 0.2, 5.0)
    b_new = np.clip(xb - yb / a_new, -5.0, 5.0)
    return np.where(ok, a_new, a), np.where(ok, b_new, b)


def best_cal(d):
    resp, grid = d["r"], d["grid"]
    ra, rn = resp[:, d["anchors"]], resp[:, d["new"]]
    base = indicator_tables(ra, d["ad"], d["bd"], grid) + np.log(d["w"] + 1e-10)
    x1 = (rn == 1).astype(np.float64)
    xa = (rn >= 0).astype(np.float64)
    a, b = np.ones(N_NEW), np.zeros(N_NEW)
    for _ in range(CAL_ITER):
        l = indicator_tables(rn, a, b, grid) + base
        m = l.max(axis=1, keepdims=True)
        post = np.exp(l - m)
        post /= post.sum(axis=1, keepdims=True)
        a, b = wls_update(x1.T @ post, xa.T @ post, grid, a, b)
    return a, b, post @ grid


def plain_cal(d):
    resp, grid = d["r"], d["grid"]
    ra, rn = resp[:, d["anchors"]], resp[:, d["new"]]

    def loglik(x, a, b):
        z = a[None, :, None] * (grid[None, None, :] - b[None, :, None])
        lp = np.where(x[:, :, None] == 1, log_sigmoid(z), log_sigmoid(-z))
        return np.where(x[:, :, None] >= 0, lp, 0.0).sum(axis=1)

    base = loglik(ra, d["ad"], d["bd"]) + np.log(d["w"] + 1e-10)
    a, b = np.ones(N_NEW), np.zeros(N_NEW)
    for _ in range(CAL_ITER):
        l = loglik(rn, a, b) + base
        m = l.max(axis=1, keepdims=True)
        post = np.exp(l - m)
        post /= post.sum(axis=1, keepdims=True)
        r = np.array([post[rn[:, t] == 1].sum(axis=0) for t in range(N_NEW)])
        n = np.array([post[rn[:, t] >= 0].sum(axis=0) for t in range(N_NEW)])
        a, b = wls_update(r, n, grid, a, b)
    return a, b, post @ grid


def compare_cal(x, y):
    return f"max |diff| a {np.max(np.abs(x[0] - y[0])):.1e}, eap {np.max(np.abs(x[2] - y[2])):.1e}"


CASES = [
    Case("item SEs 20000x60x41", setup_se,
         lambda d: korvane.compute_item_se_parallel(d["r"], d["post"], d["q"], d["a"], d["b"], H),
         best_numpy=best_se, plain_numpy=plain_se, compare=compare_se),
    Case("fixed_calib_em 10000, 20+20 items, 20 it", setup_cal, korvane_cal,
         best_numpy=best_cal, plain_numpy=plain_cal, compare=compare_cal),
]
