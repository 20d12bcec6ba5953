"""The LSAT section 6 data shipped with korvane, and its published 2PL estimates."""

from pathlib import Path

import numpy as np

DATA = Path(__file__).resolve().parent.parent / "data" / "lsat6.csv"

# Marginal maximum-likelihood estimates of the 2PL model, z = a (theta - b),
# with a standard-normal ability distribution.
PUBLISHED_DISCRIMINATION = np.array([0.8254, 0.7229, 0.8905, 0.6886, 0.6575])
PUBLISHED_DIFFICULTY = np.array([-3.3597, -1.3696, -0.2799, -1.8659, -3.1236])
PUBLISHED_LOGLIK = -2466.653


def load_patterns():
    """(patterns, counts): the 32 response patterns as int32 rows and their counts."""
    table = np.loadtxt(DATA, delimiter=",", skiprows=4, dtype=np.int64)
    return table[:, :5].astype(np.int32), table[:, 5]


def load_responses():
    """The 1000 x 5 int32 response matrix, one row per examinee."""
    patterns, counts = load_patterns()
    return np.repeat(patterns, counts, axis=0)


def normal_grid(n_nodes=81, limit=6.0):
    """Equally spaced nodes on [-limit, limit] with standard-normal weights summing to 1."""
    nodes = np.linspace(-limit, limit, n_nodes)
    weights = np.exp(-0.5 * nodes**2)
    return nodes, weights / weights.sum()
