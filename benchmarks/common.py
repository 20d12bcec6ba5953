"""Timing helpers shared by the benchmark modules.

A benchmark module `benchmarks/bench_<area>.py` defines CASES, a list of
Case objects.  Each case builds its own data (deterministically, so that
separate processes see the same inputs) and names the korvane call, the
best NumPy formulation of the same computation that we could write, and
optionally the straightforward NumPy formulation and independent peers.
"""

import time
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Case:
    name: str
    # setup() -> dict of data; each callable below takes that dict.
    setup: Callable[[], dict]
    korvane: Callable[[dict], object]
    best_numpy: Callable[[dict], object] | None = None
    plain_numpy: Callable[[dict], object] | None = None
    peers: dict[str, Callable[[dict], object]] = field(default_factory=dict)
    # Optional: (korvane result, other result) -> short text on agreement.
    compare: Callable[[object, object], str] | None = None


def best_time(fn, min_time=0.5, max_repeat=20, min_repeat=3):
    """Smallest wall time of repeated calls of fn() (at least min_repeat calls,
    more while the total stays under min_time)."""
    best = float("inf")
    total = 0.0
    n = 0
    while n < min_repeat or (total < min_time and n < max_repeat):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best = min(best, dt)
        total += dt
        n += 1
    return best
