"""Bootstrap indices, resampling, quasi-Monte-Carlo samples and imputation."""

import math

import numpy as np
import pytest

import korvane
from helpers import KernelFailure, layouts, random_responses, run_with_threads, same_bits
from pcg64_reference import Pcg64
from reference import logistic


# ---- bootstrap indices and resampling


def test_bootstrap_indices_replay_generator():
    seed = 2**64 - 2  # seed + r wraps
    got = korvane.generate_bootstrap_indices(37, 5, seed)
    assert got.dtype == np.int64 and got.shape == (5, 37)
    for r in range(5):
        g = Pcg64(seed + r)
        assert got[r].tolist() == [g.below(37) for _ in range(37)]


@pytest.mark.parametrize("n_persons, n_bootstrap", [(0, 4), (6, 0), (1, 3)])
def test_bootstrap_indices_small_counts(n_persons, n_bootstrap):
    got = korvane.generate_bootstrap_indices(n_persons, n_bootstrap, 1)
    assert got.shape == (n_bootstrap, n_persons) and not got.any()


def test_bootstrap_seed_shift_and_threads():
    code = """
        import korvane
        for seed in (10, 11):
            print(korvane.generate_bootstrap_indices(500, 40, seed).tobytes().hex())
    """
    one = run_with_threads(code, 1)
    assert one == run_with_threads(code, 2)
    s10, s11 = (np.frombuffer(bytes.fromhex(x), dtype=np.int64).reshape(40, 500) for x in one.decode().split())
    assert np.array_equal(s11[:-1], s10[1:]) and not np.array_equal(s11[0], s10[0])


def test_resample_copies_named_rows(rng):
    responses = random_responses(rng, 9, 4)
    indices = np.array([3, 3, 0, 8, 5], dtype=np.int64)
    for _, r in layouts(responses):
        got = korvane.resample_responses(r, indices)
        assert got.dtype == np.int32 and np.array_equal(got, responses[indices])
    assert korvane.resample_responses(responses, np.zeros(0, dtype=np.int64)).shape == (0, 4)


@pytest.mark.parametrize("bad", [-1, 9, 2**62])
def test_resample_out_of_range_fails(rng, bad):
    with pytest.raises(KernelFailure):
        korvane.resample_responses(random_responses(rng, 9, 4), np.array([0, bad], dtype=np.int64))


# ---- quasi-Monte-Carlo samples


def ref_qmc(n_samples, n_factors):
    out = np.zeros((n_samples, n_factors))
    for s in range(n_samples):
        for f in range(n_factors):
            B, k, g, u = f + 2, s + 1, 1.0, 0.0
            while True:
                d = k % B
                g = g / B
                u = u + d * g
                if k < B:
                    break
                k = k // B
            p = min(0.999, max(0.001, u))
            q = p if p < 0.5 else 1.0 - p
            t = math.sqrt(-2.0 * math.log(q))
            t2 = t * t
            t3 = t2 * t
            x = t - (2.515517 + 0.802853 * t + 0.010328 * t2) / (1.0 + 1.432788 * t + 0.189269 * t2 + 0.001308 * t3)
            out[s, f] = -x if p < 0.5 else x
    return out


def test_qmc_bits_and_repetition():
    got = korvane.generate_qmc_samples(3, 1100, 5, 0)  # k up to 1100 reaches the 0.001 clamp in base 2
    assert got.shape == (3, 1100, 5)
    block = ref_qmc(1100, 5)
    for person in got:
        assert same_bits(person, block)
    assert np.abs(got).max() == -got[0, 1023, 0] and abs(got).max() < 3.1
    assert same_bits(korvane.generate_qmc_samples(3, 1100, 5, 2**64 - 1), got)  # _seed has no effect


def test_qmc_known_values():
    s = korvane.generate_qmc_samples(1, 2, 2, 7)[0]
    assert -1e-6 < s[0, 0] < 0.0  # quantile of 0.5 by the approximation
    assert s[0, 1] == pytest.approx(-0.4307, abs=1e-3) and s[1, 1] == pytest.approx(0.4307, abs=1e-3)
    assert s[1, 0] == pytest.approx(-0.6742, abs=1e-3)


@pytest.mark.parametrize("sizes", [(0, 3, 2), (2, 0, 2), (2, 3, 0)])
def test_qmc_empty(sizes):
    assert korvane.generate_qmc_samples(*sizes, 0).shape == sizes


# ---- imputation


def ref_fill(row, theta, a, b, missing, g):
    out = row.copy()
    for j, x in enumerate(row):
        if x == missing:
            P = logistic(a[j] * (theta - b[j]))
            out[j] = 1 if P > g.uniform() else 0
    return out


def imputation_inputs(rng, n_persons=30, n_items=6):
    responses = random_responses(rng, n_persons, n_items, missing=0.3, codes=(0, 1))
    theta = rng.normal(0, 1, n_persons)
    theta[4] = np.nan
    a, b = rng.uniform(0.3, 2.0, n_items), rng.normal(0, 1, n_items)
    a[1] = 0.0
    return responses, theta, a, b


@pytest.mark.parametrize("missing", [-9, -1, 0])
def test_impute_replays_generator(rng, missing):
    responses, theta, a, b = imputation_inputs(rng)
    seed = 2**64 - 5
    got = korvane.impute_from_probabilities(responses, theta, a, b, missing, seed)
    expected = np.array([ref_fill(responses[i], theta[i], a, b, missing, Pcg64(seed + i))
                         for i in range(len(theta))])
    assert got.dtype == np.int32 and np.array_equal(got, expected)
    kept = responses != missing
    assert np.array_equal(got[kept], responses[kept])  # other negative codes are copied
    assert np.isin(got[~kept], [0, 1]).all() and (got[4][~kept[4]] == 0).all()  # NaN theta gives 0


def test_multiple_imputation_replays_generator(rng):
    responses, theta, a, b = imputation_inputs(rng, n_persons=12)
    se = rng.uniform(0, 1, 12)
    se[2] = 0.0  # still consumes its normal draw
    n_imp, seed = 4, 2**64 - 30
    got = korvane.multiple_imputation(responses, theta, se, a, b, -1, n_imp, seed)
    assert got.dtype == np.int32 and got.shape == (n_imp, 12, 6)
    for m in range(n_imp):
        for i in range(12):
            g = Pcg64(seed + m * 12 + i)
            th = theta[i] + g.normal() * se[i]
            assert np.array_equal(got[m, i], ref_fill(responses[i], th, a, b, -1, g))


def test_imputation_seed_shift_and_threads():
    code = """
        import numpy as np, korvane
        rng = np.random.default_rng(5)
        r = np.where(rng.random((400, 10)) < 0.4, -1, (rng.random((400, 10)) < 0.5)).astype(np.int32)
        t, se, a, b = rng.normal(size=400), np.full(400, 0.5), rng.uniform(0.5, 2, 10), rng.normal(size=10)
        for seed in (100, 500):
            print(korvane.multiple_imputation(r, t, se, a, b, -1, 3, seed).tobytes().hex())
        print(korvane.impute_from_probabilities(r, t, a, b, -1, 7).tobytes().hex())
    """
    one = run_with_threads(code, 1)
    assert one == run_with_threads(code, 2)
    s100, s500, _ = (np.frombuffer(bytes.fromhex(x), dtype=np.int32) for x in one.decode().split())
    s100, s500 = s100.reshape(3, 400, 10), s500.reshape(3, 400, 10)
    assert np.array_equal(s100[1], s500[0]) and np.array_equal(s100[2], s500[1])  # seed s + n_persons
    assert not np.array_equal(s100[0], s100[1])


def test_nothing_missing_returns_input(rng):
    responses = random_responses(rng, 8, 5, codes=(0, 1, 2))  # codes -1 and -9 but no -5
    _, theta, a, b = imputation_inputs(rng, 8, 5)
    for seed in (0, 99):
        assert np.array_equal(korvane.impute_from_probabilities(responses, theta, a, b, -5, seed), responses)
        got = korvane.multiple_imputation(responses, theta, np.ones(8), a, b, -5, 3, seed)
        assert all(np.array_equal(s, responses) for s in got)
    assert korvane.multiple_imputation(responses, theta, np.ones(8), a, b, -5, 0, 1).shape == (0, 8, 5)


def test_half_probability_cells():
    n = 40000
    responses = np.full((n, 2), -1, dtype=np.int32)
    got = korvane.impute_from_probabilities(responses, np.full(n, 0.7), np.array([1.5, 0.0]),
                                            np.array([0.7, 3.0]), -1, 21)
    assert np.all(np.abs(got.mean(axis=0) - 0.5) < 4 * 0.5 / math.sqrt(n))


def test_imputation_failures():
    r = np.array([[1, -1, 0], [0, 1, 1]], dtype=np.int32)
    a3, b3 = np.ones(3), np.zeros(3)
    with pytest.raises(KernelFailure):
        korvane.impute_from_probabilities(r, np.zeros(1), a3, b3, -1, 0)
    with pytest.raises(KernelFailure):
        korvane.multiple_imputation(r, np.zeros(1), np.ones(2), a3, b3, -1, 1, 0)
    with pytest.raises(KernelFailure):
        korvane.multiple_imputation(r, np.zeros(2), np.ones(1), a3, b3, -1, 1, 0)
    assert korvane.multiple_imputation(r, np.zeros(1), np.ones(1), a3, b3, -1, 0, 0).shape == (0, 2, 3)
    # Short item parameters fail only when an uncovered item has a missing cell.
    with pytest.raises(KernelFailure):
        korvane.impute_from_probabilities(r, np.zeros(2), np.ones(1), b3, -1, 0)
    with pytest.raises(KernelFailure):
        korvane.multiple_imputation(r, np.zeros(2), np.ones(2), a3, np.zeros(1), -1, 1, 0)
    got = korvane.impute_from_probabilities(r, np.zeros(2), np.ones(2), np.zeros(2), -1, 0)
    assert got[0, 0] == 1 and got[1].tolist() == [0, 1, 1]
