"""Shared fixtures for the tests: random inputs and array layouts."""

import os
import subprocess
import sys
import textwrap

import numpy as np


def random_responses(rng, n_persons, n_items, missing=0.1, codes=(0, 1, 2)):
    """int32 matrix of the given codes with a share of missing codes (-1 or -9)."""
    r = rng.choice(np.array(codes, dtype=np.int32), size=(n_persons, n_items))
    holes = rng.random((n_persons, n_items)) < missing
    r[holes] = rng.choice(np.array([-1, -9], dtype=np.int32), size=holes.sum())
    return r


def layouts(a):
    """(label, array) pairs holding the same values as `a` in other memory layouts:
    Fortran order, a strided slice of a larger array, a reversed view, and
    (for arrays whose first axis has length 1) a zero stride on that axis."""
    yield "contiguous", np.ascontiguousarray(a)
    yield "fortran", np.asfortranarray(a)
    big = np.zeros(tuple(2 * s for s in a.shape), dtype=a.dtype)
    idx = tuple(slice(None, None, 2) for _ in a.shape)
    big[idx] = a
    yield "sliced", big[idx]
    rev = np.ascontiguousarray(a[(slice(None, None, -1),) * a.ndim])
    yield "reversed", rev[(slice(None, None, -1),) * a.ndim]
    if a.ndim >= 1 and a.shape[0] == 1:
        c = np.ascontiguousarray(a)
        yield "zero-stride", np.lib.stride_tricks.as_strided(c, strides=(0,) + c.strides[1:])


def run_with_threads(code, threads):
    """Runs `code` in a fresh interpreter with KORVANE_NUM_THREADS set and
    returns its standard output (bytes)."""
    env = dict(os.environ, KORVANE_NUM_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, check=True, timeout=600
    )
    return out.stdout


def same_bits(x, y):
    """True when two float arrays hold identical bit patterns (NaN payloads and signed zeros included)."""
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    return x.shape == y.shape and np.array_equal(x.view(np.uint64), y.view(np.uint64))


def _kernel_failure_class():
    import korvane

    try:  # slope rows are checked up front: this always fails
        korvane.compute_log_likelihoods_mirt(
            np.zeros((1, 1), np.int32), np.zeros((1, 1)), np.zeros((0, 1)), np.zeros(1)
        )
    except BaseException as e:  # noqa: BLE001 - the class is not a module attribute
        return type(e)
    raise AssertionError("expected a KernelFailure")


# The exception class korvane raises for internal failures.
KernelFailure = _kernel_failure_class()
