"""The C++ unit tests of the internals (built here from the project's CMake
file) and the generator's raw stream checked against NumPy's PCG64."""

import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def unit_tests(tmp_path_factory):
    if shutil.which("cmake") is None:
        pytest.fail("cmake is needed to build the C++ unit tests (pip install '.[test]')")
    build = tmp_path_factory.mktemp("unit-build")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), *generator, "-DKORVANE_UNIT_TESTS=ON",
         f"-DPython_EXECUTABLE={sys.executable}"],
        check=True, capture_output=True,
    )
    subprocess.run(["cmake", "--build", str(build)], check=True, capture_output=True)
    return build / "korvane_unit_tests"


def test_cpp_unit_tests(unit_tests):
    out = subprocess.run([str(unit_tests)], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.strip().endswith("0 failed")


@pytest.mark.parametrize("seed", [0, 12345, 2**63 + 11])
def test_pcg64_stream_matches_numpy(unit_tests, seed):
    bitgen = np.random.PCG64(seed)
    state = bitgen.state["state"]
    expected = bitgen.random_raw(1000)
    out = subprocess.run(
        [str(unit_tests), "pcg", str(state["state"]), str(state["inc"]), "1000"],
        capture_output=True, text=True, check=True,
    )
    got = np.array([int(v) for v in out.stdout.split()], dtype=np.uint64)
    assert np.array_equal(got, expected)
