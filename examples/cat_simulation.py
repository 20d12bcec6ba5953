"""Conditional bias, MSE and test length of simulated adaptive tests.

Two banks: the five LSAT items at their published 2PL estimates (a test can
only ever give all five), and a simulated bank of 300 items.  Each ability on
a grid takes many simulated adaptive tests (maximum-information selection,
EAP on 61 nodes, stop at SE <= 0.3 or at the length cap).

Run:  python examples/cat_simulation.py
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import korvane  # noqa: E402
from lsat import PUBLISHED_DIFFICULTY, PUBLISHED_DISCRIMINATION  # noqa: E402

SE_THRESHOLD, MIN_ITEMS, N_REPLICATIONS, SEED = 0.3, 1, 1000, 2026

# The simulators add a standard-normal density to the weights themselves:
# equal weights give a standard-normal prior.
NODES = np.linspace(-4.0, 4.0, 61)
WEIGHTS = np.full(NODES.size, 1.0 / NODES.size)

ABILITIES = np.linspace(-3.0, 3.0, 13)


def simulated_bank(n_items=300, seed=6):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.5, 2.0, n_items), rng.normal(0.0, 1.0, n_items)


def conditional_table(a, b, max_items):
    return korvane.cat_conditional_mse(ABILITIES, a, b, NODES, WEIGHTS, SE_THRESHOLD, max_items, MIN_ITEMS,
                                       N_REPLICATIONS, SEED)


def main():
    banks = [
        ("LSAT, 5 items", PUBLISHED_DISCRIMINATION, PUBLISHED_DIFFICULTY, 5),
        ("simulated, 300 items", *simulated_bank(), 40),
    ]
    results = [(name, conditional_table(a, b, cap)) for name, a, b, cap in banks]
    print(f"Adaptive tests: SE <= {SE_THRESHOLD} or the length cap, {N_REPLICATIONS} runs per ability\n")
    header = f"{'theta':>6s}"
    for name, _ in results:
        header += f" | {name:^26s}"
    print(header)
    print(f"{'':6s}" + "".join(f" | {'bias':>8s} {'MSE':>7s} {'items':>8s}" for _ in results))
    for i, theta in enumerate(ABILITIES):
        line = f"{theta:6.2f}"
        for _, (_, bias, mse, items) in results:
            line += f" | {bias[i]:8.3f} {mse[i]:7.3f} {items[i]:8.1f}"
        print(line)


if __name__ == "__main__":
    main()
