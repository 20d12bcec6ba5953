"""Fit diagnostics and DIF.

Pair statistics (Q3, LD chi-square, observed margins) at 5000 persons x 100
items (4950 pairs), 5 % missing; batch functions and infit/outfit at 20,000 x
60; expected margins at 100 items x 61 nodes; SIBTEST screen of 40 items at
2000 persons.
"""

import numpy as np

import korvane
from common import Case


def person_items(n, m, seed):
    rng = np.random.default_rng(seed)
    theta = rng.normal(0, 1, n)
    a, b, c = rng.uniform(0.5, 2.0, m), rng.normal(0, 1, m), rng.uniform(0.0, 0.3, m)
    p = 1 / (1 + np.exp(-a * (theta[:, None] - b)))
    r = (rng.random((n, m)) < p).astype(np.int32)
    r[rng.random(r.shape) < 0.05] = -1
    return {"r": r, "t": theta, "a": a, "b": b, "c": c}


def pairs_setup():
    return person_items(5000, 100, 1)


def batch_setup():
    return person_items(20_000, 60, 2)


def max_diff(x, y):
    xs = x if isinstance(x, tuple) else (x,)
    ys = y if isinstance(y, tuple) else (y,)
    return "max |diff| " + ", ".join(f"{np.nanmax(np.abs(u - v)):.1e}" for u, v in zip(xs, ys))


def probs(d):
    return 1 / (1 + np.exp(-(d["t"][:, None] - d["b"]) * d["a"]))


# ---- batch functions and infit/outfit ----


def plain_rows(d, fn):
    return np.array([fn(d, i) for i in range(len(d["t"]))])


def row_prob(d, i):
    return 1 / (1 + np.exp(-(d["t"][i] - d["b"]) * d["a"]))


def best_residuals(d):
    p = probs(d)
    r = d["r"]
    return np.where(r >= 0, (r - p) / np.sqrt((1 - p) * p + 1e-10), np.nan)


def plain_residuals(d):
    def row(d, i):
        p = row_prob(d, i)
        x = d["r"][i]
        return np.where(x >= 0, (x - p) / np.sqrt((1 - p) * p + 1e-10), np.nan)
    return plain_rows(d, row)


def fit_from(s, v):
    ok = ~np.isnan(s)
    s0, v0 = np.where(ok, s, 0.0), np.where(ok, v, 0.0)
    out = []
    for axis in (0, 1):
        n, ss, ww, vv = ok.sum(axis), s0.sum(axis), (s0 * v0).sum(axis), v0.sum(axis)
        with np.errstate(invalid="ignore", divide="ignore"):
            out += [np.where(n > 0, ss / n, np.nan), np.where(vv > 1e-10, ww / vv, np.nan)]
    return tuple(out)


def best_fit(d):
    p = probs(d)
    v = (1 - p) * p
    r = d["r"]
    s = np.where(r >= 0, (r - p) ** 2 / (v + 1e-10), np.nan)
    return fit_from(s, v)


def plain_fit(d):
    def row(d, i):
        p = row_prob(d, i)
        v = (1 - p) * p
        x = d["r"][i]
        return np.where(x >= 0, (x - p) ** 2 / (v + 1e-10), np.nan), v
    rows = [row(d, i) for i in range(len(d["t"]))]
    return fit_from(np.array([s for s, _ in rows]), np.array([v for _, v in rows]))


# ---- pair statistics ----


def best_q3(d):
    res = best_residuals(d)
    m = (~np.isnan(res)).astype(np.float64)
    r0 = np.nan_to_num(res)
    n = m.T @ m
    sj = r0.T @ m  # [j, k]: sum of r_j over persons with both
    sjk = r0.T @ r0
    sjj = (r0 * r0).T @ m
    with np.errstate(invalid="ignore", divide="ignore"):
        mj, mk = sj / n, sj.T / n
        vj, vk = sjj / n - mj * mj, sjj.T / n - mk * mk
        dd = np.sqrt(vj * vk)
        q = np.where(dd > 1e-10, (sjk / n - mj * mk) / dd, 0.0)
    q = np.where(n < 3, np.nan, q)
    np.fill_diagonal(q, 0.0)
    return q


def pair_loop(m, value):
    out = np.zeros((m, m))
    for j in range(m):
        for k in range(j + 1, m):
            out[j, k] = out[k, j] = value(j, k)
    return out


def plain_q3(d):
    res = best_residuals(d)

    def q3(j, k):
        ok = ~np.isnan(res[:, j]) & ~np.isnan(res[:, k])
        if ok.sum() < 3:
            return np.nan
        c = np.corrcoef(res[ok, j], res[ok, k])[0, 1]
        return 0.0 if np.isnan(c) else c

    return pair_loop(res.shape[1], q3)


def chi2(o, e):
    e = np.where(e > 0.5, e, 0.5)
    return (o - e) ** 2 / e


def best_ld(d):
    r = d["r"]
    ok = (r >= 0).astype(np.float64)
    p = probs(d) * ok
    q = (1 - probs(d)) * ok
    x1 = (r == 1).astype(np.float64)
    x0 = (r == 0).astype(np.float64)
    out = (chi2(x0.T @ x0, q.T @ q) + chi2(x0.T @ x1, q.T @ p) + chi2(x1.T @ x0, p.T @ q)
           + chi2(x1.T @ x1, p.T @ p))
    np.fill_diagonal(out, 0.0)
    return out


def plain_ld(d):
    r, p = d["r"], probs(d)

    def ld(j, k):
        ok = (r[:, j] >= 0) & (r[:, k] >= 0)
        xj, xk, pj, pk = r[ok, j], r[ok, k], p[ok, j], p[ok, k]
        total = 0.0
        for u, pu in ((0, 1 - pj), (1, pj)):
            for v, pv in ((0, 1 - pk), (1, pk)):
                total += chi2(np.sum((xj == u) & (xk == v)), np.sum(pu * pv))
        return total

    return pair_loop(r.shape[1], ld)


def best_observed_margins(d):
    r = d["r"]
    ok = (r >= 0).astype(np.float64)
    x = np.where(r >= 0, r, 0).astype(np.float64)
    n = ok.sum(0)
    uni = np.where(n > 0, x.sum(0) / np.maximum(n, 1), 0.0)
    nn = ok.T @ ok
    bi = np.where(nn > 0, (x.T @ x) / np.maximum(nn, 1), 0.0)
    np.fill_diagonal(bi, 0.0)
    return uni, bi


def plain_observed_margins(d):
    r = d["r"]
    uni = np.array([r[r[:, j] >= 0, j].mean() if (r[:, j] >= 0).any() else 0.0 for j in range(r.shape[1])])

    def bi(j, k):
        ok = (r[:, j] >= 0) & (r[:, k] >= 0)
        return float(np.mean(r[ok, j].astype(np.int64) * r[ok, k])) if ok.any() else 0.0

    return uni, pair_loop(r.shape[1], bi)


def margins_setup():
    d = person_items(10, 100, 3)
    d["q"] = np.linspace(-4, 4, 61)
    w = np.exp(-d["q"] ** 2 / 2)
    d["w"] = w / w.sum()
    return d


def best_expected_margins(d):
    p = 1 / (1 + np.exp(-(d["q"][None, :] - d["b"][:, None]) * d["a"][:, None]))
    bi = (p * d["w"]) @ p.T
    np.fill_diagonal(bi, 0.0)
    return p @ d["w"], bi


def plain_expected_margins(d):
    p = 1 / (1 + np.exp(-(d["q"][None, :] - d["b"][:, None]) * d["a"][:, None]))
    return p @ d["w"], pair_loop(len(d["a"]), lambda j, k: float(np.sum(p[j] * p[k] * d["w"])))


def sibtest_setup():
    d = person_items(2000, 40, 4)
    d["r"] = np.where(d["r"] < 0, 0, d["r"]).astype(np.int32)
    d["g"] = np.random.default_rng(5).integers(0, 2, 2000).astype(np.int32)
    return d


def kv(name):
    return lambda d: getattr(korvane, name)(d["r"], d["t"], d["a"], d["b"])


CASES = [
    Case("probabilities batch 20000x60", batch_setup,
         lambda d: korvane.compute_probabilities_batch(d["t"], d["a"], d["b"]),
         best_numpy=probs, plain_numpy=lambda d: plain_rows(d, row_prob), compare=max_diff),
    Case("probabilities batch 3PL 20000x60", batch_setup,
         lambda d: korvane.compute_probabilities_batch_3pl(d["t"], d["a"], d["b"], d["c"]),
         best_numpy=lambda d: probs(d) * (1 - d["c"]) + d["c"],
         plain_numpy=lambda d: plain_rows(d, lambda d, i: row_prob(d, i) * (1 - d["c"]) + d["c"]),
         compare=max_diff),
    Case("expected/variance batch 20000x60", batch_setup,
         lambda d: korvane.compute_expected_variance_batch(d["t"], d["a"], d["b"]),
         best_numpy=lambda d: (lambda p: (p, (1 - p) * p))(probs(d)),
         plain_numpy=lambda d: tuple(np.array(x) for x in zip(*[(p, (1 - p) * p) for p in
                                                                 (row_prob(d, i) for i in range(len(d["t"])))])),
         compare=max_diff),
    Case("standardized residuals 20000x60", batch_setup, kv("compute_standardized_residuals"),
         best_numpy=best_residuals, plain_numpy=plain_residuals, compare=max_diff),
    Case("infit/outfit 20000x60", batch_setup, kv("compute_fit_statistics"),
         best_numpy=best_fit, plain_numpy=plain_fit, compare=max_diff),
    Case("Q3 5000x100", pairs_setup, kv("compute_q3_matrix"),
         best_numpy=best_q3, plain_numpy=plain_q3, compare=max_diff),
    Case("LD chi-square 5000x100", pairs_setup, kv("compute_ld_chi2_matrix"),
         best_numpy=best_ld, plain_numpy=plain_ld, compare=max_diff),
    Case("observed margins 5000x100", pairs_setup, lambda d: korvane.compute_observed_margins(d["r"]),
         best_numpy=best_observed_margins, plain_numpy=plain_observed_margins, compare=max_diff),
    Case("expected margins 100 items x 61 nodes", margins_setup,
         lambda d: korvane.compute_expected_margins(d["q"], d["w"], d["a"], d["b"]),
         best_numpy=best_expected_margins, plain_numpy=plain_expected_margins, compare=max_diff),
    Case("sibtest_all_items 2000x40", sibtest_setup,
         lambda d: korvane.sibtest_all_items(d["r"], d["g"], None)),
]
