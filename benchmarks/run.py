"""Benchmarks: korvane against NumPy formulations and independent peers.

    python benchmarks/run.py               # every case of every benchmarks/bench_*.py
    python benchmarks/run.py estep em      # only cases whose module or name contains a word

korvane is timed in child processes with KORVANE_NUM_THREADS=1 and =2 (the
pool size is fixed when the pool is created); NumPy and the peers are timed
in this process.  Ratios are baseline time / korvane time on 2 threads.
"""

import importlib
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import best_time  # noqa: E402


def modules():
    for path in sorted(HERE.glob("bench_*.py")):
        yield path.stem, importlib.import_module(path.stem)


def child(module_name, case_name):
    module = importlib.import_module(module_name)
    case = next(c for c in module.CASES if c.name == case_name)
    data = case.setup()
    case.korvane(data)  # warm-up: pool creation, first touch
    print(json.dumps({"time": best_time(lambda: case.korvane(data))}))


def korvane_time(module_name, case_name, threads):
    env = dict(os.environ, KORVANE_NUM_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, __file__, "--child", module_name, case_name],
        env=env, capture_output=True, text=True, check=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])["time"]


def fmt(t):
    return f"{t * 1e3:10.2f} ms" if t < 10 else f"{t:10.2f} s "


def main(words):
    print(f"{'case':46s} {'korvane 2T':>13s} {'korvane 1T':>13s} {'1T/2T':>6s}  baselines (time, ratio)")
    for module_name, module in modules():
        for case in module.CASES:
            label = f"{module_name[6:]}: {case.name}"
            if words and not any(w in label for w in words):
                continue
            t2 = korvane_time(module_name, case.name, 2)
            t1 = korvane_time(module_name, case.name, 1)
            data = case.setup()
            result = case.korvane(data)
            cols = []
            baselines = [("best numpy", case.best_numpy), ("plain numpy", case.plain_numpy)]
            baselines += list(case.peers.items())
            for name, fn in baselines:
                if fn is None:
                    continue
                try:
                    other = fn(data)
                    t = best_time(lambda: fn(data), min_time=0.3, max_repeat=5, min_repeat=1)
                except ImportError as e:  # a peer that is not installed
                    cols.append(f"{name}: not installed ({e.name})")
                    continue
                note = f" [{case.compare(result, other)}]" if case.compare else ""
                cols.append(f"{name}: {fmt(t).strip()} ({t / t2:.1f}x){note}")
            print(f"{label:46s} {fmt(t2)} {fmt(t1)} {t1 / t2:6.2f}  " + "; ".join(cols), flush=True)


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3])
    else:
        main(sys.argv[1:])
