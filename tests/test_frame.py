"""The module and its call frame: attributes, function objects, argument
binding, strict conversion by kind, failures and results."""

import ctypes
import gc
import sys

import numpy as np
import pytest

import korvane
from function_table import FUNCTIONS
from helpers import KernelFailure, run_with_threads

PRESENT = [f for f in FUNCTIONS if hasattr(korvane, f[0])]
BY_NAME = {f[0]: f for f in FUNCTIONS}

# A value of each kind that converts.
GOOD = {
    "I2": lambda: np.zeros((1, 1), np.int32),
    "I1": lambda: np.zeros(1, np.int32),
    "I1?": lambda: None,
    "L1": lambda: np.zeros(1, np.int64),
    "B1": lambda: np.ones(1, bool),
    "F1": lambda: np.zeros(1),
    "F1?": lambda: None,
    "F2": lambda: np.zeros((1, 1)),
    "F3": lambda: np.zeros((1, 1, 1)),
    "f": lambda: 1.0,
    "u": lambda: 1,
    "i": lambda: 1,
    "p": lambda: (0.0, 1.0),
    "s": lambda: [0],
}

# Values each kind refuses: (value, exception, message or None).  A message
# starting with "argument" is checked with the parameter's name filled in.
ARRAY_DIMS = {"I2": 2, "I1": 1, "I1?": 1, "L1": 1, "B1": 1, "F1": 1, "F1?": 1, "F2": 2, "F3": 3}
ARRAY_DTYPE = {"I": np.int32, "L": np.int64, "B": bool, "F": np.float64}


def bad_values(kind):
    if kind in ARRAY_DIMS:
        ndim = ARRAY_DIMS[kind]
        dtype = ARRAY_DTYPE[kind[0]]
        other = np.float32 if dtype is np.float64 else (np.int64 if dtype is np.int32 else np.int32)
        shape = (1,) * ndim
        bad = [
            (np.zeros(shape, other), TypeError),  # no casting, not even a widening one
            (np.zeros((1,) * (ndim + 1), dtype), TypeError),  # one dimension too many
            ([0] * 1, TypeError),  # a list is not an array
            (np.zeros(shape, dtype).sum(), TypeError),  # a NumPy scalar is not an array
            (np.zeros(shape, np.dtype(dtype).newbyteorder()) if dtype is not bool else "x", TypeError),
        ]
        if not kind.endswith("?"):
            bad.append((None, TypeError))
        return bad
    return {
        "f": [("1.0", TypeError), (None, TypeError), ([1.0], TypeError)],
        "u": [(-1, OverflowError), (2**64, OverflowError), (3.0, TypeError), (None, TypeError)],
        "i": [(2**31, OverflowError), (-(2**31) - 1, OverflowError), (3.0, TypeError), ("3", TypeError)],
        "p": [([0.0, 1.0], TypeError), ((1.0, 2.0, 3.0), ValueError), ((1.0, "x"), TypeError), (None, TypeError)],
        "s": [("abc", TypeError), (5, TypeError), ([1, -1], OverflowError), ([1.5], TypeError), (None, TypeError)],
    }[kind]


def test_module_object():
    assert korvane.__doc__ == "Python module for korvane"
    names = [f[0] for f in PRESENT]
    assert korvane.__all__ == names  # registration order
    public = [n for n in dir(korvane) if not n.startswith("__")]
    assert sorted(public) == sorted(names)
    assert not hasattr(korvane, "KernelFailure")


def test_all_functions_are_registered():
    assert korvane.__all__ == [f[0] for f in FUNCTIONS]
    assert korvane.__all__[0] == "compute_log_likelihoods_2pl"
    assert korvane.__all__[-1] == "stocking_lord_criterion"


@pytest.mark.parametrize("name, signature, doc, kinds", PRESENT, ids=[f[0] for f in PRESENT])
def test_function_objects(name, signature, doc, kinds):
    fn = getattr(korvane, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name and fn.__module__ == "korvane"
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__self__ is korvane


def test_second_initialisation_is_refused():
    lib = ctypes.PyDLL(korvane.__file__)
    init = lib.PyInit_korvane
    init.restype = ctypes.py_object
    with pytest.raises(ImportError):
        init()
    assert korvane.compute_log_likelihoods_2pl is not None


# ---- binding ----------------------------------------------------------------

R = np.array([[1, 0], [0, -1]], np.int32)
Q = np.linspace(-2, 2, 5)
A = np.array([1.2, 0.8])
B = np.array([0.3, -0.4])


def test_keywords_in_any_order_equal_the_positional_call():
    want = korvane.compute_log_likelihoods_2pl(R, Q, A, B)
    got = korvane.compute_log_likelihoods_2pl(difficulty=B, responses=R, discrimination=A, quad_points=Q)
    assert np.array_equal(got, want)
    assert np.array_equal(korvane.compute_log_likelihoods_2pl(R, Q, difficulty=B, discrimination=A), want)


LL = korvane.compute_log_likelihoods_2pl
NAME = "compute_log_likelihoods_2pl"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((R, Q, A, B, 1), {}, f"{NAME}() takes 4 positional arguments but 5 were given"),
        ((R, Q, A), {}, f"{NAME}() missing 1 required positional argument: 'difficulty'"),
        ((R, Q), {}, f"{NAME}() missing 2 required positional arguments: 'discrimination' and 'difficulty'"),
        ((R,), {"difficulty": B}, f"{NAME}() missing 2 required positional arguments: 'quad_points' and 'discrimination'"),
        ((), {}, f"{NAME}() missing 4 required positional arguments: 'responses', 'quad_points', 'discrimination', and 'difficulty'"),
        ((R, Q, A, B), {"theta": 1}, f"{NAME}() got an unexpected keyword argument 'theta'"),
        ((R, Q, A), {"responses": R}, f"{NAME}() got multiple values for argument 'responses'"),
        # positional count first, then keywords one by one, then missing ones
        ((R, Q, A, B, 1), {"x": 1}, f"{NAME}() takes 4 positional arguments but 5 were given"),
        ((R,), {"x": 1}, f"{NAME}() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        LL(*args, **kwargs)
    assert str(info.value) == message


def test_binding_with_defaults():
    if not hasattr(korvane, "fixed_calib_em"):
        pytest.skip("fixed_calib_em is not registered")
    with pytest.raises(TypeError) as info:
        korvane.fixed_calib_em(*([0] * 17))
    assert str(info.value) == "fixed_calib_em() takes from 9 to 16 positional arguments but 17 were given"
    with pytest.raises(TypeError) as info:
        korvane.fixed_calib_em(1)
    assert str(info.value).startswith("fixed_calib_em() missing 8 required positional arguments: 'anchor_items', ")
    if hasattr(korvane, "compute_observed_margins"):
        with pytest.raises(TypeError) as info:
            korvane.compute_observed_margins(R, R)
        assert str(info.value) == "compute_observed_margins() takes 1 positional argument but 2 were given"


# ---- conversion, for every parameter of every registered function ----------

CONVERSION_CASES = [
    (name, k, pname, kind, value, exc)
    for name, _, _, kinds in PRESENT
    for k, (pname, kind) in enumerate(kinds)
    for value, exc in bad_values(kind)
]


@pytest.mark.parametrize(
    "name, k, pname, kind, value, exc",
    CONVERSION_CASES,
    ids=[f"{c[0]}-{c[2]}-{type(c[4]).__name__}-{i}" for i, c in enumerate(CONVERSION_CASES)],
)
def test_conversion_errors_name_the_first_offending_parameter(name, k, pname, kind, value, exc):
    kinds = BY_NAME[name][3]
    args = [GOOD[kd]() for _, kd in kinds[:k]] + [value]
    # later parameters are refused too: the error must come from parameter k
    args += [object()] * (len(kinds) - k - 1)
    with pytest.raises(exc) as info:
        getattr(korvane, name)(*args)
    error = info.value
    assert type(error) is exc
    if exc is TypeError:
        assert str(error).startswith(f"argument '{pname}': ")
        assert error.__cause__ is not None
    elif exc is ValueError:
        assert str(error) == "expected tuple of length 2, but got tuple of length 3"
    else:
        assert not str(error).startswith("argument")


@pytest.mark.parametrize("name, signature, doc, kinds", PRESENT, ids=[f[0] for f in PRESENT])
def test_minimal_arguments_never_crash(name, signature, doc, kinds):
    # One-element arrays and small counts: a result or a KernelFailure,
    # never a conversion error, and the module stays usable.
    args = [GOOD[kind]() for _, kind in kinds]
    try:
        getattr(korvane, name)(*args)
    except KernelFailure:
        pass
    assert korvane.compute_log_likelihoods_2pl(R, Q, A, B).shape == (2, 5)


def test_real_and_integer_kinds_accept_python_protocols():
    class Real:
        def __float__(self):
            return 0.5

    class Index:
        def __index__(self):
            return 3

    if hasattr(korvane, "cat_compute_item_info"):
        a, b = np.ones(2), np.zeros(2)
        want = korvane.cat_compute_item_info(0.5, a, b)
        assert np.array_equal(korvane.cat_compute_item_info(Real(), a, b), want)
        assert np.array_equal(korvane.cat_compute_item_info(np.float64(0.5), a, b), want)
    if hasattr(korvane, "generate_bootstrap_indices"):
        want = korvane.generate_bootstrap_indices(3, 2, 7)
        assert np.array_equal(korvane.generate_bootstrap_indices(Index(), np.uint8(2), 7), want)


def test_none_only_where_allowed():
    if hasattr(korvane, "simulate_dichotomous"):
        korvane.simulate_dichotomous(np.zeros(2), np.ones(2), np.zeros(2), None, 1)
    if hasattr(korvane, "sibtest_all_items"):
        data = np.array([[1, 0], [0, 1], [1, 1], [0, 0]], np.int32)
        korvane.sibtest_all_items(data, np.array([0, 1, 0, 1], np.int32), None)
    with pytest.raises(TypeError, match="argument 'difficulty': "):
        LL(R, Q, A, None)


# ---- failures and results -----------------------------------------------------


def test_kernel_failure_is_not_an_exception_and_leaves_the_module_usable():
    assert KernelFailure.__bases__ == (BaseException,)
    assert KernelFailure.__name__ == "KernelFailure"
    caught = None
    try:
        try:
            LL(np.array([[1, 1, 1]], np.int32), Q, A, B)
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert isinstance(caught, KernelFailure) and len(caught.args) == 1 and isinstance(caught.args[0], str)
    assert LL(R, Q, A, B).shape == (2, 5)


def test_errors_leak_no_references():
    arrays = [R, Q, A, B]
    before = [sys.getrefcount(x) for x in arrays]
    for _ in range(200):
        for call in (lambda: LL(R, Q, A), lambda: LL(R, Q, A, [1.0]), lambda: LL(R, Q, A[:1], B)):
            try:
                call()
            except BaseException:  # noqa: BLE001
                pass
    gc.collect()
    assert [sys.getrefcount(x) for x in arrays] == before


def test_results_are_new_owning_writable_arrays():
    read_only = A.copy()
    read_only.flags.writeable = False
    out = LL(R, Q, read_only, B)
    assert out.flags.c_contiguous and out.flags.owndata and out.flags.writeable
    assert out.base is None and out.dtype == np.float64
    for arg in (R, Q, read_only, B):
        assert not np.shares_memory(out, arg)
    before = A.copy()
    out[:] = 0.0
    assert np.array_equal(A, before)


def test_pool_works_in_a_forked_child():
    code = """
        import os, numpy as np, korvane
        r = np.ones((5000, 20), np.int32); q = np.linspace(-3, 3, 41); a = np.ones(20)
        x = korvane.compute_log_likelihoods_2pl(r, q, a, a)  # the pool exists before the fork
        codes = []
        for _ in range(30):  # a child that used the inherited pool could hang now and then
            pid = os.fork()
            if pid == 0:
                os._exit(0 if np.array_equal(korvane.compute_log_likelihoods_2pl(r, q, a, a), x) else 3)
            codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
            assert np.array_equal(korvane.compute_log_likelihoods_2pl(r, q, a, a), x)  # and the parent
        print(sum(codes))
    """
    assert run_with_threads(code, 2).strip() == b"0"


@pytest.mark.impossible_size
def test_result_extents_numpy_cannot_hold_fail_cleanly():
    if not hasattr(korvane, "generate_bootstrap_indices"):
        pytest.skip("generate_bootstrap_indices is not registered")
    with pytest.raises(KernelFailure, match="overflows"):
        korvane.generate_bootstrap_indices(2**63, 0, 1)  # an empty (0, 2**63) result
    with pytest.raises((KernelFailure, MemoryError)):
        korvane.generate_bootstrap_indices(2**40, 2**40, 1)


def test_type_stubs_beside_the_module_cover_every_function():
    import ast
    from pathlib import Path

    stub = Path(korvane.__file__).with_name("korvane.pyi")
    tree = ast.parse(stub.read_text())
    declared = {n.name: [a.arg for a in n.args.args] for n in tree.body if isinstance(n, ast.FunctionDef)}
    for name, _, doc, kinds in FUNCTIONS:
        assert declared.get(name) == [p for p, _ in kinds], name
