"""Person scoring: EAP at 100,000 persons x 40 items x 61 nodes, WLE at 20,000 persons x 40 items.

Complete 0/1 responses (no missing codes), so that the peer girth, which
takes items in rows, scores exactly the same data.
"""

import numpy as np

import korvane
from common import Case

N_PERSONS, N_ITEMS, N_QUAD = 100_000, 40, 61
N_WLE = 20_000
WLE_BOUNDS, WLE_TOL = (-4.0, 4.0), 1e-6
PHI = 1.618033988749895


def make(n_persons):
    rng = np.random.default_rng(7)
    a = rng.uniform(0.6, 2.0, N_ITEMS)
    b = rng.normal(0, 1, N_ITEMS)
    theta = rng.normal(0, 1, n_persons)
    p = 1 / (1 + np.exp(-a * (theta[:, None] - b)))
    r = (rng.random(p.shape) < p).astype(np.int32)
    q = np.linspace(-5, 5, N_QUAD)
    w = np.exp(-q * q / 2)
    return {"r": r, "a": a, "b": b, "q": q, "w": w / w.sum(), "rt": np.ascontiguousarray(r.T)}


def setup_eap():
    return make(N_PERSONS)


def setup_wle():
    return make(N_WLE)


def log_sigmoid(z):
    return -np.logaddexp(0.0, -z)


def posterior_summary(lp, q):
    top = lp.max(axis=1, keepdims=True)
    post = np.exp(lp - top)
    post /= post.sum(axis=1, keepdims=True)
    eap = post @ q
    return eap, np.sqrt(np.einsum("iq,iq->i", post, (q[None, :] - eap[:, None]) ** 2))


def best_eap(d):
    # Item-by-node log-probability tables and two matrix products.
    z = (d["q"][None, :] - d["b"][:, None]) * d["a"][:, None]
    x1 = (d["r"] == 1).astype(np.float64)
    x0 = (d["r"] == 0).astype(np.float64)
    lp = x1 @ log_sigmoid(z) + x0 @ log_sigmoid(-z) + np.log(d["w"] + 1e-10)
    return posterior_summary(lp, d["q"])


def plain_eap(d, chunk=2000):
    # Persons x items x nodes broadcast, in chunks of persons to bound memory.
    out = [], []
    lprior = np.log(d["w"] + 1e-10)
    z = (d["q"][None, None, :] - d["b"][None, :, None]) * d["a"][None, :, None]
    for s in range(0, len(d["r"]), chunk):
        r = d["r"][s:s + chunk, :, None]
        ll = np.where(r == 1, log_sigmoid(z), log_sigmoid(-z)).sum(axis=1)
        eap, se = posterior_summary(ll + lprior, d["q"])
        out[0].append(eap)
        out[1].append(se)
    return np.concatenate(out[0]), np.concatenate(out[1])


def girth_eap(d):
    from girth import ability_eap
    return ability_eap(d["rt"], d["b"], d["a"], {"quadrature_n": N_QUAD, "quadrature_bounds": (-5, 5)})


def wle_numpy(d, stable):
    # The golden-section search run for all persons at once.
    r, a, b = d["r"], d["a"], d["b"]
    correct = r == 1

    def wl(t):
        z = (t[:, None] - b) * a
        if stable:
            e = np.exp(-np.abs(z))
            l1p = np.log1p(e)
            pos = z >= 0
            p = np.where(pos, 1.0 / (1.0 + e), e / (1.0 + e))
            ll = np.where(correct, np.where(pos, -l1p, z - l1p), np.where(pos, -z - l1p, -l1p)).sum(axis=1)
        else:
            p = 1.0 / (1.0 + np.exp(-z))
            ll = np.where(correct, np.log(p), np.log(1.0 - p)).sum(axis=1)
        info = (p * (1 - p)) @ (a * a)
        return ll + np.where(info > 1e-10, 0.5 * np.log(np.maximum(info, 1e-300)), 0.0)

    lo = np.full(len(r), WLE_BOUNDS[0])
    hi = np.full(len(r), WLE_BOUNDS[1])
    while (hi - lo).max() > WLE_TOL:
        d_ = (hi - lo) / PHI
        x1, x2 = hi - d_, lo + d_
        left = wl(x1) > wl(x2)
        hi = np.where(left, x2, hi)
        lo = np.where(left, lo, x1)
    est = (lo + hi) * 0.5
    z = (est[:, None] - b) * a
    p = 1.0 / (1.0 + np.exp(-z))
    info = (p * (1 - p)) @ (a * a)
    return est, 1.0 / np.sqrt(info)


def max_diff(x, y):
    x = x[0] if isinstance(x, tuple) else x
    y = y[0] if isinstance(y, tuple) else y
    return f"max |diff| {np.max(np.abs(x - y)):.1e}"


CASES = [
    Case("EAP 100k x 40 x 61", setup_eap,
         lambda d: korvane.compute_eap_scores(d["r"], d["q"], d["w"], d["a"], d["b"]),
         best_numpy=best_eap, plain_numpy=plain_eap, peers={"girth ability_eap": girth_eap},
         compare=max_diff),
    Case("WLE 20k x 40, tol 1e-6", setup_wle,
         lambda d: korvane.compute_wle_scores(d["r"], d["a"], d["b"], *WLE_BOUNDS, WLE_TOL),
         best_numpy=lambda d: wle_numpy(d, True), plain_numpy=lambda d: wle_numpy(d, False),
         compare=max_diff),
]
