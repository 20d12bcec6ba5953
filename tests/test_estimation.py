"""Whole-model 2PL fits: em_fit_2pl, mhrm_fit_2pl, gibbs_sample_2pl, bootstrap_fit_2pl.

The references below are scalar Python loops in the documented operation
order (Python floats are IEEE doubles and math.exp/log/log1p are the libm the
extension calls), together with the Python copy of the generator in
pcg64_reference, so the fits are compared bit for bit on small inputs.
Python's sum() is avoided on purpose: it may compensate.
"""

import json
import math
import sys
from pathlib import Path

import numpy as np
import pytest

import korvane
from helpers import layouts, random_responses, run_with_threads, same_bits
from pcg64_reference import M64, Pcg64
from reference import log_one_minus_sigmoid, log_sigmoid, log_sum_exp, loglik_2pl, logistic

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from lsat import PUBLISHED_DIFFICULTY, PUBLISHED_DISCRIMINATION, load_responses  # noqa: E402

INF = math.inf

# ---------------------------------------------------------------------------
# Scalar references

def log_prob(x, z):
    return log_sigmoid(z) if x == 1 else log_one_minus_sigmoid(z)


def clamp(x, lo, hi):
    return min(hi, max(lo, x))


FIXED_15 = (
    [-4.49999, -3.66995, -2.96716, -2.32573, -1.71999, -1.13612, -0.56506],
    [1.5882713521750168e-09, 1.5882713521750169e-06, 0.00041295055156550435, 0.005230706986496389,
     0.033925476082458356, 0.11746854920686424, 0.22427450340279353],
    0.23737244782039682,
)


def grid(n):
    if n == 15:
        half_nodes, half_weights, centre = FIXED_15
        nodes = half_nodes + [0.0] + [-x for x in reversed(half_nodes)]
        return nodes, half_weights + [centre] + list(reversed(half_weights))
    if n == 0:
        return [], []
    step = 8.0 / (n - 1)
    nodes = [step * i + (-4.0) for i in range(n)]
    raw = [math.exp(x * x * (-0.5)) for x in nodes]
    total = 0.0
    for r in raw:
        total += r
    return nodes, [r / total for r in raw]


def start_difficulties(rows, n_items):
    b = []
    for j in range(n_items):
        codes = [row[j] for row in rows if row[j] >= 0]
        if not codes:
            b.append(0.0)
            continue
        p = clamp(float(sum(codes)) / float(len(codes)), 0.01, 0.99)  # integer sum: exact
        b.append(-math.log(p) / max(abs(math.log(1.0 - p)), 0.01))
    return b


def e_step(rows, nodes, weights, a, b):
    log_prior = [math.log(w + 1e-10) for w in weights]
    posterior, marginal = [], []
    for row in rows:
        l = []
        for k, theta in enumerate(nodes):
            l.append(log_prior[k] + loglik_2pl(row, theta, a, b))
        lse = log_sum_exp(l)
        posterior.append([math.exp(x - lse) for x in l])
        marginal.append(math.exp(lse))
    return posterior, marginal


def newton(r, n, nodes, a, b):
    for _ in range(10):
        sd = sdd = swdd = swaa = sawd = 0.0
        for k, theta in enumerate(nodes):
            if not n[k] >= 1e-10:
                continue
            d = theta - b
            p = clamp(logistic(a * d), 1e-10, 0.9999999999)
            dev = r[k] - n[k] * p
            w = n[k] * p * (1.0 - p)
            sd += dev
            sdd += dev * d
            swdd += w * (d * d)
            swaa += w * (a * a)
            sawd += a * w * d
        g_a, g_b = sdd, -a * sd
        h_aa, h_bb, h_ab = -swdd - 0.01, -swaa - 0.01, sawd
        det = h_aa * h_bb - h_ab * h_ab
        if abs(det) < 1e-10:
            break
        da = (h_bb * g_a - h_ab * g_b) / det
        db = (h_aa * g_b - h_ab * g_a) / det
        a = clamp(a - 0.5 * da, 0.1, 5.0)
        b = clamp(b - 0.5 * db, -6.0, 6.0)
        if abs(da) < 1e-4 and abs(db) < 1e-4:
            break
    return a, b


def m_step(rows, posterior, nodes, a, b):
    new = []
    for j in range(len(a)):
        r = [0.0] * len(nodes)
        n = [0.0] * len(nodes)
        for row, post in zip(rows, posterior):
            if row[j] < 0:
                continue
            for k in range(len(nodes)):
                n[k] += post[k]
                if row[j] == 1:
                    r[k] += post[k]
        new.append(newton(r, n, nodes, a[j], b[j]))
    return [x for x, _ in new], [y for _, y in new]


def em_reference(responses, n_quadpts, max_iter, tol):
    rows = responses.tolist()
    n_items = responses.shape[1]
    nodes, weights = grid(n_quadpts)
    a, b = [1.0] * n_items, start_difficulties(rows, n_items)
    prev, n_iter, converged = -INF, 0, False
    for t in range(1, max_iter + 1):
        posterior, marginal = e_step(rows, nodes, weights, a, b)
        ll = 0.0
        for l in marginal:
            ll += math.log(l + 1e-10)
        if tol > abs(ll - prev):
            converged, n_iter = True, t
            break
        a, b = m_step(rows, posterior, nodes, a, b)
        prev, n_iter = ll, t
    return a, b, prev, n_iter, converged


def sample_theta(rows, theta, a, b, sd, driver):
    seeds = [driver.next() for _ in rows]
    out = []
    for row, th, s in zip(rows, theta, seeds):
        g = Pcg64(s)
        cand = (0.0 + sd * g.normal()) + th
        t_cur = loglik_2pl(row, th, a, b) + (-0.5 * th * th)
        t_new = loglik_2pl(row, cand, a, b) + (-0.5 * cand * cand)
        out.append(cand if log_u(g.uniform()) < t_new - t_cur else th)
    return out


def log_u(u):
    return -INF if u == 0.0 else math.log(u)


def total_ll(rows, theta, a, b):
    s = 0.0
    for row, th in zip(rows, theta):
        s += loglik_2pl(row, th, a, b)
    return s


def mhrm_reference(responses, n_cycles, burnin, sd, seed):
    rows = responses.tolist()
    n_items = responses.shape[1]
    a, b, theta = [1.0] * n_items, [0.0] * n_items, [0.0] * len(rows)
    driver = Pcg64(seed)
    for c in range(n_cycles):
        theta = sample_theta(rows, theta, a, b, sd, driver)
        if c < burnin:
            continue
        gain = 1.0 / (float(c) + 1.0)
        for j in range(n_items):
            g_a = g_b = 0.0
            m = 0
            for row, th in zip(rows, theta):
                if row[j] < 0:
                    continue
                d = th - b[j]
                e = float(row[j]) - logistic(a[j] * d)
                g_a += d * e
                g_b -= a[j] * e
                m += 1
            if m:
                a[j] = clamp((g_a / m) * gain + a[j], 0.1, 5.0)
                b[j] = clamp((g_b / m) * gain + b[j], -6.0, 6.0)
    return a, b, total_ll(rows, theta, a, b)


def item_loglik(rows, theta, j, a, b):
    s = 0.0
    for row, th in zip(rows, theta):
        if row[j] >= 0:
            s += log_prob(row[j], a * (th - b))
    return s


def gibbs_reference(responses, n_iter, burnin, thin, seed):
    rows = responses.tolist()
    n_items = responses.shape[1]
    a, b, theta = [1.0] * n_items, [0.0] * n_items, [0.0] * len(rows)
    driver = Pcg64(seed)
    draws = ([], [], [], [])
    for t in range(n_iter):
        theta = sample_theta(rows, theta, a, b, 0.5, driver)
        for j in range(n_items):
            cand = clamp((0.1 * driver.normal() + 0.0) + a[j], 0.1, 5.0)
            delta = (item_loglik(rows, theta, j, cand, b[j]) + (-0.5) * (math.log(cand) * math.log(cand))) - (
                item_loglik(rows, theta, j, a[j], b[j]) + (-0.5) * (math.log(a[j]) * math.log(a[j])))
            if log_u(driver.uniform()) < delta:
                a[j] = cand
        for j in range(n_items):
            cand = clamp((0.1 * driver.normal() + 0.0) + b[j], -6.0, 6.0)
            delta = (item_loglik(rows, theta, j, a[j], cand) + (-0.5) * (cand * cand)) - (
                item_loglik(rows, theta, j, a[j], b[j]) + (-0.5) * (b[j] * b[j]))
            if log_u(driver.uniform()) < delta:
                b[j] = cand
        if t >= burnin and (t - burnin) % thin == 0:
            for store, value in zip(draws, (a, b, theta, [total_ll(rows, theta, a, b)])):
                store.append(list(value))
    return draws


def resample(responses, seed):
    g = Pcg64(seed)
    n = responses.shape[0]
    return np.ascontiguousarray(responses[[g.below(n) for _ in range(n)]])


def is_kernel_failure(excinfo):
    return excinfo.type.__name__ == "KernelFailure" and not issubclass(excinfo.type, Exception)


# ---------------------------------------------------------------------------
# Fixtures

@pytest.fixture
def small(rng):
    """12 persons x 5 items with codes 0, 1, 2 and missing codes; item 3 all
    missing, person 4 all missing."""
    r = random_responses(rng, 12, 5, missing=0.15)
    r[:, 3] = -1
    r[4, :] = -9
    return r


def simulate_2pl(seed, n_persons, n_items):
    rng = np.random.default_rng(seed)
    a = rng.uniform(0.7, 2.0, n_items)
    b = rng.uniform(-1.5, 1.5, n_items)
    theta = rng.normal(size=n_persons)
    p = 1.0 / (1.0 + np.exp(-a * (theta[:, None] - b)))
    return (rng.random(p.shape) < p).astype(np.int32), a, b


@pytest.fixture(scope="module")
def simulated():
    """5000 x 20 responses from known 2PL parameters, and the EM fit on a
    standard-normal grid of 41 nodes."""
    x, a, b = simulate_2pl(7, 5000, 20)
    fit = korvane.em_fit_2pl(x, 41, 500, 1e-6)
    return x, a, b, fit


# ---------------------------------------------------------------------------
# em_fit_2pl

@pytest.mark.parametrize("n_quadpts, max_iter, tol", [
    (9, 0, 1e-4),    # start values only
    (9, 1, 1e-4),    # one E-step and one M-step
    (9, 3, 1e-4),
    (9, 200, 1e-3),  # runs to convergence
    (15, 40, 1e-6),  # the fixed 15-point table
    (4, 25, 0.0),    # tol 0 never converges
    (7, 5, math.nan),
    (0, 3, 1e-4),    # no nodes
])
def test_em_fit_matches_reference_bits(small, n_quadpts, max_iter, tol):
    a, b, ll, n_iter, converged = korvane.em_fit_2pl(small, n_quadpts, max_iter, tol)
    ra, rb, rll, rn, rc = em_reference(small, n_quadpts, max_iter, tol)
    assert same_bits(a, ra) and same_bits(b, rb) and same_bits(ll, rll)
    assert (n_iter, converged) == (rn, rc)
    if max_iter >= 1:
        assert (a[3], b[3]) == (1.0, 0.0)  # the all-missing item never moves
    if not tol > 0:
        assert (n_iter, converged) == (max_iter, False)


@pytest.mark.parametrize("max_iter, tol", [(1, 1e-4), (60, 1e-7)])
def test_em_fit_fully_answered_items_match_reference_bits(rng, max_iter, tol):
    # Items 0 and 1 are answered by everyone, item 2 is not.
    r = random_responses(rng, 14, 3, missing=0.0)
    r[[2, 9], 2] = -1
    got = korvane.em_fit_2pl(r, 7, max_iter, tol)
    ra, rb, rll, rn, rc = em_reference(r, 7, max_iter, tol)
    assert same_bits(got[0], ra) and same_bits(got[1], rb) and same_bits(got[2], rll)
    assert got[3:] == (rn, rc)


def test_em_fit_documented_cases(small):
    # max_iter 0: start values, -inf, 0 iterations, not converged.
    a, b, ll, n_iter, converged = korvane.em_fit_2pl(small, 21, 0, 1e-4)
    assert np.all(a == 1.0) and ll == -INF and (n_iter, converged) == (0, False)
    # max_iter 1: the log-likelihood at the start values.
    nodes, weights = grid(9)
    rows = small.tolist()
    _, marginal = e_step(rows, nodes, weights, [1.0] * 5, start_difficulties(rows, 5))
    ll_start = 0.0
    for l in marginal:
        ll_start += math.log(l + 1e-10)
    assert korvane.em_fit_2pl(small, 9, 1, 1e-4)[2:] == (ll_start, 1, False)
    # The all-missing person has the prior as posterior: L = sum_k (w_k + 1e-10).
    total = 0.0
    for w in weights:
        total += w + 1e-10
    assert marginal[4] == pytest.approx(total, rel=1e-14)
    # No persons: every l is 0, the second iteration converges.
    empty = np.zeros((0, 3), dtype=np.int32)
    a, b, ll, n_iter, converged = korvane.em_fit_2pl(empty, 21, 10, 1e-4)
    assert list(a) == [1.0] * 3 and list(b) == [0.0] * 3 and (ll, n_iter, converged) == (0.0, 2, True)


@pytest.mark.parametrize("column, start_b", [
    ([1] * 99 + [0], -math.log(0.99) / abs(math.log(0.01))),   # p clamped to 0.99
    ([1] + [0] * 199, -math.log(0.01) / abs(math.log(0.99))),   # p clamped to 0.01: about 458
    ([2, 0, 0, 0], 1.0),                                        # code 2 adds 2: p = 0.5
    ([1, 0, -1, -9], 1.0),                                      # missing codes are not counted
    ([-1, -1], 0.0),                                            # no answered response
    # Sums a 32-bit accumulator would wrap to a negative value (p clamped to 0.01).
    ([2**31 - 1, 2**31 - 1], -math.log(0.99) / abs(math.log(0.01))),
    ([2**31 - 1, 0, 2**31 - 2, -1, 1], -math.log(0.99) / abs(math.log(0.01))),
])
def test_em_start_difficulties(column, start_b):
    responses = np.array(column, dtype=np.int32)[:, None]
    _, b, _, _, _ = korvane.em_fit_2pl(responses, 21, 0, 1e-4)
    assert b[0] == start_b


def test_em_large_codes_count_as_incorrect():
    rng = np.random.default_rng(3)
    r = random_responses(rng, 10, 3, codes=(0, 1, 2**31 - 1))
    ra, rb, rll, rn, rc = em_reference(r, 5, 4, 1e-4)
    a, b, ll, n_iter, converged = korvane.em_fit_2pl(r, 5, 4, 1e-4)
    assert same_bits(a, ra) and same_bits(b, rb) and same_bits(ll, rll) and (n_iter, converged) == (rn, rc)


def test_em_fit_any_layout(rng):
    r = random_responses(rng, 30, 4)
    expected = korvane.em_fit_2pl(r, 11, 20, 1e-6)
    for label, arr in layouts(r):
        got = korvane.em_fit_2pl(arr, 11, 20, 1e-6)
        assert all(same_bits(x, y) for x, y in zip(got[:3], expected[:3])), label
        assert got[3:] == expected[3:], label


def test_em_recovers_generating_parameters(simulated):
    _, a_true, b_true, (a, b, _, _, converged) = simulated
    assert converged
    assert np.sqrt(np.mean((a - a_true) ** 2)) < 0.1
    assert np.sqrt(np.mean((b - b_true) ** 2)) < 0.1


@pytest.mark.parametrize("n_quadpts", [41, 61])
def test_em_lsat_matches_published_estimates(n_quadpts):
    a, b, _, _, converged = korvane.em_fit_2pl(load_responses(), n_quadpts, 500, 1e-6)
    assert converged
    assert np.max(np.abs(a - PUBLISHED_DISCRIMINATION)) < 0.03
    assert np.max(np.abs(b - PUBLISHED_DIFFICULTY)) < 0.03


def test_em_fixed_tables_are_a_narrower_ability_scale():
    # The 21-point table has ability variance about 0.34: slopes come out
    # larger than on the standard-normal scale of the published estimates.
    a, _, _, _, _ = korvane.em_fit_2pl(load_responses(), 21, 500, 1e-6)
    assert np.all(a > PUBLISHED_DISCRIMINATION + 0.1)


# ---------------------------------------------------------------------------
# bootstrap_fit_2pl

@pytest.mark.parametrize("seed, max_iter", [(0, 0), (11, 3), (2**64 - 2, 30)])
def test_bootstrap_replicates_are_em_fits_of_resampled_matrices(small, seed, max_iter):
    a, b = korvane.bootstrap_fit_2pl(small, 3, 9, max_iter, 1e-4, seed)
    assert a.shape == b.shape == (3, 5)
    for r in range(3):
        # seed + r wraps modulo 2^64
        ea, eb, _, _, _ = korvane.em_fit_2pl(resample(small, (seed + r) & M64), 9, max_iter, 1e-4)
        assert same_bits(a[r], ea) and same_bits(b[r], eb)


def test_bootstrap_edge_cases(small):
    a, b = korvane.bootstrap_fit_2pl(small, 0, 21, 10, 1e-4, 1)
    assert a.shape == b.shape == (0, 5)
    # Replicate r of seed s is replicate r - 1 of seed s + 1.
    a1, b1 = korvane.bootstrap_fit_2pl(small, 4, 21, 15, 1e-4, 40)
    a2, b2 = korvane.bootstrap_fit_2pl(small, 3, 21, 15, 1e-4, 41)
    assert same_bits(a1[1:], a2) and same_bits(b1[1:], b2)
    # No persons: start values in every row.
    a, b = korvane.bootstrap_fit_2pl(np.zeros((0, 2), dtype=np.int32), 2, 21, 5, 1e-4, 1)
    assert np.all(a == 1.0) and np.all(b == 0.0)


# ---------------------------------------------------------------------------
# mhrm_fit_2pl

@pytest.mark.parametrize("n_cycles, burnin, proposal_sd, seed", [
    (0, 0, 0.5, 1),
    (4, 0, 0.5, 3),      # first update with gain 1
    (6, 2, 1.3, 2**64 - 1),
    (3, 5, 0.8, 9),      # burn-in only: parameters stay, abilities move
    (4, 1, -0.7, 5),     # a negative sd mirrors the proposals
])
def test_mhrm_matches_reference(small, n_cycles, burnin, proposal_sd, seed):
    a, b, ll = korvane.mhrm_fit_2pl(small, n_cycles, burnin, proposal_sd, seed)
    ra, rb, rll = mhrm_reference(small, n_cycles, burnin, proposal_sd, seed)
    assert same_bits(a, ra) and same_bits(b, rb)
    assert ll == pytest.approx(rll, rel=1e-13)  # a parallel sum: last bits may vary
    if n_cycles == 0:
        assert ll == pytest.approx(-math.log(2) * np.count_nonzero(small >= 0), rel=1e-13)
    if burnin >= n_cycles:
        assert np.all(a == 1.0) and np.all(b == 0.0)
    assert (a[3], b[3]) == (1.0, 0.0)


@pytest.mark.parametrize("proposal_sd", [math.inf, -math.inf, math.nan])
def test_mhrm_rejects_non_finite_proposal_sd(small, proposal_sd):
    with pytest.raises(BaseException) as excinfo:
        korvane.mhrm_fit_2pl(small, 10, 0, proposal_sd, 1)
    assert is_kernel_failure(excinfo)


def test_mhrm_moves_towards_em_estimates(simulated):
    # The gain 1 / (cycle + 1) adds up to only about ln(n_cycles), so the fit
    # approaches the EM estimates slowly; it must rank the items alike and be
    # much nearer to them than the start values are.
    x, _, _, (a_em, b_em, _, _, _) = simulated
    a, b, ll = korvane.mhrm_fit_2pl(x, 300, 0, 1.0, 5)
    assert np.corrcoef(a, a_em)[0, 1] > 0.75 and np.corrcoef(b, b_em)[0, 1] > 0.97
    assert np.sqrt(np.mean((b - b_em) ** 2)) < 0.5 * np.sqrt(np.mean(b_em ** 2))
    assert np.sqrt(np.mean((a - a_em) ** 2)) < 0.7 * np.sqrt(np.mean((1.0 - a_em) ** 2))
    assert math.isfinite(ll)


# ---------------------------------------------------------------------------
# gibbs_sample_2pl

@pytest.mark.parametrize("n_iter, burnin, thin, seed", [
    (10, 0, 3, 1),   # stores 0, 3, 6, 9
    (10, 4, 2, 2),   # stores 4, 6, 8
    (3, 0, 1, 2**63),  # the first stored draw is the state after one iteration
    (4, 4, 1, 3),    # nothing stored
    (2, 7, 5, 3),
])
def test_gibbs_matches_reference(small, n_iter, burnin, thin, seed):
    a, b, theta, ll = korvane.gibbs_sample_2pl(small, n_iter, burnin, thin, seed)
    ra, rb, rtheta, rll = gibbs_reference(small, n_iter, burnin, thin, seed)
    n_stored = len(range(burnin, n_iter, thin))
    assert a.shape == b.shape == (n_stored, 5) and theta.shape == (n_stored, 12) and ll.shape == (n_stored,)
    assert same_bits(a, np.array(ra).reshape(a.shape)) and same_bits(b, np.array(rb).reshape(b.shape))
    assert same_bits(theta, np.array(rtheta).reshape(theta.shape))
    np.testing.assert_allclose(ll, np.array(rll).reshape(ll.shape), rtol=1e-13)


def test_gibbs_zero_thin_fails(small):
    with pytest.raises(BaseException) as excinfo:
        korvane.gibbs_sample_2pl(small, 10, 0, 0, 1)
    assert is_kernel_failure(excinfo)


def test_gibbs_proposals_stay_in_the_box():
    # Every person correct on item 0 and wrong on item 1 drives a and b to the
    # bounds; clamped proposals keep every draw inside.
    r = np.tile(np.array([[1, 0]], dtype=np.int32), (300, 1))
    a, b, _, _ = korvane.gibbs_sample_2pl(r, 300, 0, 1, 4)
    assert a.min() >= 0.1 and a.max() <= 5.0 and b.min() >= -6.0 and b.max() <= 6.0


def test_gibbs_posterior_means_near_em(simulated):
    x, _, _, (a_em, b_em, _, _, _) = simulated
    a, b, _, ll = korvane.gibbs_sample_2pl(x, 250, 100, 1, 8)
    assert np.max(np.abs(a.mean(axis=0) - a_em)) < 0.15
    assert np.max(np.abs(b.mean(axis=0) - b_em)) < 0.15
    assert np.all(np.isfinite(ll))


# ---------------------------------------------------------------------------
# All four: thread count, impossible sizes

def test_results_do_not_depend_on_thread_count():
    code = """
        import hashlib, json
        import numpy as np, korvane
        rng = np.random.default_rng(2)
        r = (rng.random((600, 9)) < 0.6).astype(np.int32)
        r[rng.random(r.shape) < 0.1] = -1
        digest = lambda *xs: hashlib.sha256(b"".join(np.ascontiguousarray(x).tobytes() for x in xs)).hexdigest()
        em = korvane.em_fit_2pl(r, 31, 30, 1e-8)
        mh = korvane.mhrm_fit_2pl(r, 20, 5, 0.7, 3)
        gb = korvane.gibbs_sample_2pl(r, 12, 2, 3, 4)
        bs = korvane.bootstrap_fit_2pl(r, 5, 21, 20, 1e-6, 5)
        print(json.dumps({"em": digest(*em[:2]) + repr(em[2:]), "mh": digest(*mh[:2]), "mh_ll": mh[2],
                          "gb": digest(*gb[:3]), "gb_ll": list(gb[3]), "bs": digest(*bs)}))
    """
    one, two = (json.loads(run_with_threads(code, t)) for t in (1, 2))
    for key in ("em", "mh", "gb", "bs"):
        assert one[key] == two[key], key
    assert one["mh_ll"] == pytest.approx(two["mh_ll"], rel=1e-12)
    assert one["gb_ll"] == pytest.approx(two["gb_ll"], rel=1e-12)


@pytest.mark.impossible_size
@pytest.mark.parametrize("call", [
    lambda r: korvane.em_fit_2pl(r, 2**62, 1, 1e-4),
    lambda r: korvane.em_fit_2pl(r, 2**50, 1, 1e-4),
    lambda r: korvane.bootstrap_fit_2pl(r, 2**62, 21, 1, 1e-4, 1),
    lambda r: korvane.bootstrap_fit_2pl(r, 2, 2**60, 1, 1e-4, 1),
    lambda r: korvane.gibbs_sample_2pl(r, 2**63, 0, 1, 1),
])
def test_impossible_sizes_fail_cleanly(small, call):
    with pytest.raises(BaseException) as excinfo:
        call(small)
    assert excinfo.type is MemoryError or is_kernel_failure(excinfo)
    assert korvane.em_fit_2pl(small, 5, 1, 1e-4)[3] == 1  # the module stays usable
