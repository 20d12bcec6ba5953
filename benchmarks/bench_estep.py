"""E-steps, expected counts and M-steps at 20,000 persons x 60 items x 41 nodes, 10% missing."""

import numpy as np

import korvane
from common import Case

N_PERSONS, N_ITEMS, N_QUAD = 20_000, 60, 41
M_ITER, M_TOL, DISC, DIFF = 10, 1e-6, (0.2, 5.0), (-6.0, 6.0)


def setup():
    rng = np.random.default_rng(3)
    r = (rng.random((N_PERSONS, N_ITEMS)) < 0.6).astype(np.int32)
    r[rng.random(r.shape) < 0.1] = -1
    q = np.linspace(-4, 4, N_QUAD)
    a = rng.uniform(0.5, 2.0, N_ITEMS)
    b = rng.normal(0, 1, N_ITEMS)
    post, _ = korvane.e_step_complete(r, q, np.ones(N_QUAD), a, b, 0.0, 1.0)
    return {
        "r": r, "q": q, "w": np.full(N_QUAD, 1.0 / N_QUAD), "a": a, "b": b,
        "c": rng.uniform(0.05, 0.25, N_ITEMS),
        "sw": rng.uniform(0.5, 2.0, N_PERSONS),
        "samples": rng.normal(0, 1, (N_PERSONS, N_QUAD, 1)),
        "post": post, "x": np.ascontiguousarray(r[:, 0]),
        # start values of the M-steps near, not at, the optimum
        "a0": a * 0.8, "b0": b + 0.2,
    }


def log_sigmoid(z):
    return -np.logaddexp(0.0, -z)


# ---- E-steps ----------------------------------------------------------------


def loglik_best(d):
    z = (d["q"][None, :] - d["b"][:, None]) * d["a"][:, None]
    x1 = (d["r"] == 1).astype(np.float64)
    x0 = ((d["r"] >= 0) & (d["r"] != 1)).astype(np.float64)
    return x1 @ log_sigmoid(z) + x0 @ log_sigmoid(-z)


def loglik_plain(d):
    r = d["r"][:, :, None]
    z = (d["q"][None, None, :] - d["b"][None, :, None]) * d["a"][None, :, None]
    lp = np.where(r == 1, log_sigmoid(z), log_sigmoid(-z))
    return np.where(r >= 0, lp, 0.0).sum(axis=1)


def normalise(v):
    m = v.max(axis=1, keepdims=True)
    L = m[:, 0] + np.log(np.exp(v - m).sum(axis=1))
    return np.exp(v - L[:, None]), L


def log_prior(q):
    return -0.5 * (q * q + np.log(2 * np.pi))


def e_step_best(d):
    post, L = normalise(loglik_best(d) + log_prior(d["q"]) + np.log(d["w"] + 1e-10))
    return post, np.exp(L)


def e_step_plain(d):
    post, L = normalise(loglik_plain(d) + log_prior(d["q"]) + np.log(d["w"] + 1e-10))
    return post, np.exp(L)


def weighted_best(d):
    post, L = normalise(loglik_best(d) + np.log(d["w"] + 1e-10))
    return post, float(d["sw"] @ L)


def weighted_plain(d):
    post, L = normalise(loglik_plain(d) + np.log(d["w"] + 1e-10))
    return post, float(np.sum(d["sw"] * L))


def mcem_finish(ll):
    m = ll.max(axis=1, keepdims=True)
    e = np.exp(ll - m)
    E = e.sum(axis=1)
    return e / E[:, None], E / ll.shape[1] * np.exp(m[:, 0])


def mcem_best(d):
    # Item by item over a persons x samples array: memory-friendly.
    th = d["samples"][:, :, 0]
    ll = np.zeros_like(th)
    for j in range(N_ITEMS):
        x = d["r"][:, j][:, None]
        z = (th - d["b"][j]) * d["a"][j]
        ll += np.where(x == 1, log_sigmoid(z), np.where(x >= 0, log_sigmoid(-z), 0.0))
    return mcem_finish(ll)


def mcem_plain(d):
    th = d["samples"][:, None, :, 0]
    z = (th - d["b"][None, :, None]) * d["a"][None, :, None]
    r = d["r"][:, :, None]
    lp = np.where(r == 1, log_sigmoid(z), log_sigmoid(-z))
    return mcem_finish(np.where(r >= 0, lp, 0.0).sum(axis=1))


# ---- expected counts --------------------------------------------------------


def counts_best(d):
    r = d["r"]
    return (r == 1).T.astype(np.float64) @ d["post"], (r >= 0).T.astype(np.float64) @ d["post"]


def counts_plain(d):
    r, post = d["r"], d["post"]
    rr = np.stack([post[r[:, j] == 1].sum(axis=0) for j in range(r.shape[1])])
    nn = np.stack([post[r[:, j] >= 0].sum(axis=0) for j in range(r.shape[1])])
    return rr, nn


def one_item_best(d):
    x = d["x"]
    return (x == 1).astype(np.float64) @ d["post"], (x >= 0).astype(np.float64) @ d["post"]


def one_item_plain(d):
    x = d["x"]
    return d["post"][x == 1].sum(axis=0), d["post"][x >= 0].sum(axis=0)


# ---- M-steps ----------------------------------------------------------------


def sigmoid(z):
    return 0.5 * (1.0 + np.tanh(0.5 * z))


def newton_2pl_items(r, n, q, a, b):
    """Damped Newton for all items at once (items x nodes arrays)."""
    a, b = a.copy(), b.copy()
    active = np.ones(len(a), dtype=bool)
    use = n >= 1e-10
    for _ in range(M_ITER):
        d = q[None, :] - b[:, None]
        P = np.clip(sigmoid(a[:, None] * d), 1e-10, 0.9999999999)
        D = np.where(use, r - n * P, 0.0)
        W = np.where(use, (1 - P) * n * P, 0.0)
        ga, gb = (D * d).sum(1), -(a * D.sum(1))
        haa, hbb, hab = -(W * d * d).sum(1), -(W.sum(1) * a * a), (a[:, None] * W * d).sum(1)
        det = haa * hbb - hab**2
        ok = active & (np.abs(det) >= 1e-10)
        sa = np.where(ok, (hbb * ga - hab * gb) / np.where(ok, det, 1.0), 0.0)
        sb = np.where(ok, (haa * gb - hab * ga) / np.where(ok, det, 1.0), 0.0)
        a = np.where(ok, np.clip(a - sa, *DISC), a)
        b = np.where(ok, np.clip(b - sb, *DIFF), b)
        active = ok & ~((np.abs(sa) < M_TOL) & (np.abs(sb) < M_TOL))
        if not active.any():
            break
    return a, b


def m_step_best(d):
    r, n = counts_best(d)
    return newton_2pl_items(r, n, d["q"], d["a0"], d["b0"])


def m_step_plain(d):
    r, n = counts_plain(d)
    q, out_a, out_b = d["q"], [], []
    for j in range(N_ITEMS):
        a, b = d["a0"][j], d["b0"][j]
        use = n[j] >= 1e-10
        rj, nj, qj = r[j][use], n[j][use], q[use]
        for _ in range(M_ITER):
            dd = qj - b
            P = np.clip(sigmoid(a * dd), 1e-10, 0.9999999999)
            D, W = rj - nj * P, (1 - P) * nj * P
            g = np.array([(D * dd).sum(), -a * D.sum()])
            H = np.array([[-(W * dd * dd).sum(), a * (W * dd).sum()], [a * (W * dd).sum(), -a * a * W.sum()]])
            if abs(np.linalg.det(H)) < 1e-10:
                break
            s = np.linalg.solve(H, g)
            a, b = np.clip(a - s[0], *DISC), np.clip(b - s[1], *DIFF)
            if np.all(np.abs(s) < M_TOL):
                break
        out_a.append(a)
        out_b.append(b)
    return np.array(out_a), np.array(out_b)


def newton_3pl_items(r, n, q, a, b, c):
    a, b, c = a.copy(), b.copy(), c.copy()
    use = n >= 1e-10
    for _ in range(M_ITER):
        F = (1 - c)[:, None]
        d = q[None, :] - b[:, None]
        ps = sigmoid(a[:, None] * d)
        dpa = d * (1 - ps) * ps * F
        dpb = -a[:, None] * (1 - ps) * ps * F
        P = np.clip(ps * F + c[:, None], 1e-10, 0.9999999999)
        V = P * (1 - P) + 1e-10
        D = np.where(use, r - n * P, 0.0)
        W = np.where(use, (1 - P) * n * P, 0.0)
        ga, gb = (D * dpa / V).sum(1), (D * dpb / V).sum(1)
        ha, hb = -(W * dpa * dpa / V).sum(1), -(W * dpb * dpb / V).sum(1)
        a = np.where(np.abs(ha) > 1e-10, np.clip(a - ga / np.where(ha == 0, 1, ha), *DISC), a)
        b = np.where(np.abs(hb) > 1e-10, np.clip(b - gb / np.where(hb == 0, 1, hb), *DIFF), b)
        ps = sigmoid(a[:, None] * (q[None, :] - b[:, None]))
        P = np.clip(ps * F + c[:, None], 1e-10, 0.9999999999)
        V = P * (1 - P) + 1e-10
        hc = -np.where(use, (1 - ps) * n * (1 - ps) / V, 0.0).sum(1)
        gc = np.where(use, (1 - ps) * (r - n * P) / V, 0.0).sum(1)
        c = np.where(np.abs(hc) > 1e-10, np.clip(c - gc / np.where(hc == 0, 1, hc), 0.0, 0.5), c)
        if np.all((np.abs(ga) < M_TOL) & (np.abs(gb) < M_TOL) & (np.abs(gc) < M_TOL)):
            break
    return a, b, c


def m_step_3pl_best(d):
    r, n = counts_best(d)
    return newton_3pl_items(r, n, d["q"], d["a0"], d["b0"], d["c"])


def m_step_3pl_plain(d):
    r, n = counts_plain(d)
    out = [newton_3pl_items(r[j:j + 1], n[j:j + 1], d["q"], d["a0"][j:j + 1], d["b0"][j:j + 1], d["c"][j:j + 1])
           for j in range(N_ITEMS)]
    return tuple(np.concatenate([o[k] for o in out]) for k in range(3))


def max_diff(x, y):
    xs = x if isinstance(x, tuple) else (x,)
    ys = y if isinstance(y, tuple) else (y,)
    return "max |diff| " + ", ".join(f"{np.max(np.abs(np.asarray(u) - np.asarray(v))):.1e}" for u, v in zip(xs, ys))


CASES = [
    Case("e_step_complete", setup,
         lambda d: korvane.e_step_complete(d["r"], d["q"], d["w"], d["a"], d["b"], 0.0, 1.0),
         best_numpy=e_step_best, plain_numpy=e_step_plain, compare=max_diff),
    Case("weighted_e_step", setup,
         lambda d: korvane.weighted_e_step(d["r"], d["sw"], d["q"], d["w"], d["a"], d["b"]),
         best_numpy=weighted_best, plain_numpy=weighted_plain, compare=max_diff),
    Case("mcem_e_step (41 samples)", setup,
         lambda d: korvane.mcem_e_step(d["r"], d["samples"], d["a"], d["b"]),
         best_numpy=mcem_best, plain_numpy=mcem_plain, compare=max_diff),
    Case("compute_expected_counts (one item)", setup,
         lambda d: korvane.compute_expected_counts(d["x"], d["post"]),
         best_numpy=one_item_best, plain_numpy=one_item_plain, compare=max_diff),
    Case("compute_expected_counts_parallel", setup,
         lambda d: korvane.compute_expected_counts_parallel(d["r"], d["post"]),
         best_numpy=counts_best, plain_numpy=counts_plain, compare=max_diff),
    Case("m_step_dichotomous_parallel", setup,
         lambda d: korvane.m_step_dichotomous_parallel(d["r"], d["post"], d["q"], d["a0"], d["b0"],
                                                       M_ITER, M_TOL, DISC, DIFF, 1.0, 0.0),
         best_numpy=m_step_best, plain_numpy=m_step_plain, compare=max_diff),
    Case("m_step_3pl_parallel", setup,
         lambda d: korvane.m_step_3pl_parallel(d["r"], d["post"], d["q"], d["a0"], d["b0"], d["c"],
                                               M_ITER, M_TOL, DISC, DIFF, (0.0, 0.5), 1.0, 1.0, 0.0, 0.0),
         best_numpy=m_step_3pl_best, plain_numpy=m_step_3pl_plain, compare=max_diff),
]
