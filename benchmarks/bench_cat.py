"""Simulated adaptive tests: 2000 examinees x 5 replications, 300-item 2PL bank,
maximum-information selection, EAP on 61 nodes, stop at SE <= 0.3 or 40 items.

catsim needs about a tenth of a second per simulated test, so it runs in a
second case on the first 80 examinees (400 tests) with korvane on the same
400; the time per test of each side does not depend on the batch size."""

import numpy as np

import korvane
from common import Case

N_PERSONS, N_REP, N_ITEMS, N_QUAD = 2000, 5, 300, 61
SE_THRESHOLD, MAX_ITEMS, MIN_ITEMS = 0.3, 40, 1


def setup(n_persons=N_PERSONS):
    rng = np.random.default_rng(6)
    q = np.linspace(-4.0, 4.0, N_QUAD)
    return {
        "theta": rng.normal(0.0, 1.0, N_PERSONS)[:n_persons],
        "a": rng.uniform(0.5, 2.0, N_ITEMS),
        "b": rng.normal(0.0, 1.0, N_ITEMS),
        "q": q,
        # Equal weights: the simulator adds the standard-normal density itself.
        "w": np.full(N_QUAD, 1.0 / N_QUAD),
    }


def run_korvane(d):
    return korvane.cat_simulate_batch(d["theta"], d["a"], d["b"], d["q"], d["w"], SE_THRESHOLD, MAX_ITEMS,
                                      MIN_ITEMS, N_REP, 1)


def log_sigmoid(z):
    return -np.logaddexp(0.0, -z)


def item_tables(d):
    z = (d["q"][None, :] - d["b"][:, None]) * d["a"][:, None]
    return log_sigmoid(z), log_sigmoid(-z)


def plain_simulation(d):
    """One examinee after the other, one item after the other, NumPy per step."""
    a, b, q = d["a"], d["b"], d["q"]
    prior = np.log(d["w"]) - 0.5 * q * q
    t1, t0 = item_tables(d)
    rng = np.random.default_rng(1)
    true = np.repeat(d["theta"], N_REP)
    est, se, length = np.zeros(true.size), np.zeros(true.size), np.zeros(true.size, np.int32)
    for t, theta_true in enumerate(true):
        available = np.ones(a.size, bool)
        ll = np.zeros(q.size)
        theta, err, k = 0.0, np.inf, 0
        while True:
            p = 1.0 / (1.0 + np.exp(-a * (theta - b)))
            info = np.where(available, a * a * p * (1.0 - p), -np.inf)
            j = int(np.argmax(info))
            if not available[j]:
                break
            available[j] = False
            correct = rng.random() < 1.0 / (1.0 + np.exp(-a[j] * (theta_true - b[j])))
            ll += t1[j] if correct else t0[j]
            lp = prior + ll
            pi = np.exp(lp - lp.max())
            pi /= pi.sum()
            theta = float(pi @ q)
            err = float(np.sqrt(pi @ (q - theta) ** 2))
            k += 1
            if (k >= MIN_ITEMS and err <= SE_THRESHOLD) or k == MAX_ITEMS:
                break
        est[t], se[t], length[t] = theta, err, k
    return est, se, length, true


def vectorised_simulation(d):
    """All runs advance in lockstep: one item-information matrix per step."""
    a, b, q = d["a"], d["b"], d["q"]
    prior = np.log(d["w"]) - 0.5 * q * q
    t1, t0 = item_tables(d)
    rng = np.random.default_rng(1)
    true = np.repeat(d["theta"], N_REP)
    n = true.size
    u = rng.random((n, MAX_ITEMS))
    available = np.ones((n, a.size), bool)
    ll = np.zeros((n, q.size))
    est, se, length = np.zeros(n), np.full(n, np.inf), np.zeros(n, np.int32)
    active = np.arange(n)
    for step in range(MAX_ITEMS):
        if active.size == 0:
            break
        p = 1.0 / (1.0 + np.exp(-a * (est[active, None] - b)))
        info = np.where(available[active], a * a * p * (1.0 - p), -np.inf)
        j = info.argmax(axis=1)
        available[active, j] = False
        correct = u[active, step] < 1.0 / (1.0 + np.exp(-a[j] * (true[active] - b[j])))
        ll[active] += np.where(correct[:, None], t1[j], t0[j])
        lp = prior + ll[active]
        pi = np.exp(lp - lp.max(axis=1, keepdims=True))
        pi /= pi.sum(axis=1, keepdims=True)
        theta = pi @ q
        err = np.sqrt(np.einsum("ij,ij->i", pi, (q[None, :] - theta[:, None]) ** 2))
        est[active], se[active] = theta, err
        length[active] += 1
        done = ((length[active] >= MIN_ITEMS) & (err <= SE_THRESHOLD)) | (length[active] == MAX_ITEMS)
        active = active[~done]
    return est, se, length, true


def catsim_simulation(d):
    from catsim.estimation import NumericalSearchEstimator
    from catsim.initialization import FixedPointInitializer
    from catsim.item_bank import ItemBank
    from catsim.selection import MaxInfoSelector
    from catsim.simulation import Simulator
    from catsim.stopping import MinErrorStopper

    true = np.repeat(d["theta"], N_REP)
    sim = Simulator(ItemBank(np.column_stack([d["a"], d["b"]])), true, seed=1)
    sim.simulate(initializer=FixedPointInitializer(0.0), selector=MaxInfoSelector(),
                 estimator=NumericalSearchEstimator(),
                 stopper=MinErrorStopper(SE_THRESHOLD, max_items=MAX_ITEMS))
    est = np.array(sim.latest_estimations)
    length = np.array([len(x) for x in sim.administered_items])
    return est, None, length, true


def summary(x, y):
    def text(r):
        est, _, length, true = r
        rmse = np.sqrt(np.mean((np.asarray(est) - true) ** 2))
        return f"length {np.mean(length):.1f}, RMSE {rmse:.3f}"

    return f"korvane {text(x)}; other {text(y)}"


CASES = [
    Case("CAT batch 2000x5, 300 items, SE 0.3, 40 max", setup, run_korvane,
         best_numpy=vectorised_simulation, plain_numpy=plain_simulation, compare=summary),
    Case("CAT batch 80x5 (catsim-sized), same bank", lambda: setup(80), run_korvane,
         plain_numpy=plain_simulation, peers={"catsim": catsim_simulation}, compare=summary),
]
