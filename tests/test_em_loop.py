"""The Python-level EM loop of examples/em_loop.py reproduces the published
2PL estimates for the LSAT section 6 data."""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import em_loop  # noqa: E402
import lsat  # noqa: E402


@pytest.mark.parametrize("n_nodes", [61, 121])
def test_em_loop_reproduces_published_estimates(n_nodes):
    a, b, loglik, iterations = em_loop.fit_2pl(lsat.load_responses(), n_nodes=n_nodes)
    assert iterations < 500  # converged, not stopped by the cap
    assert np.max(np.abs(a - lsat.PUBLISHED_DISCRIMINATION)) < 0.02
    assert np.max(np.abs(b - lsat.PUBLISHED_DIFFICULTY)) < 0.02
    assert abs(loglik - lsat.PUBLISHED_LOGLIK) < 0.01
