# ---- Response simulation ---------------------------------------------------
# Person i's row is drawn with the generator of seed + i (wrapping), one
# uniform u per item in item order: the same seed gives the same matrix on any
# number of threads.

def simulate_grm(
    theta: Float64Array,  # (n_persons, >= 1): only column 0 is read
    discrimination: Float64Array,  # (n_items,)
    thresholds: Float64Array,  # (>= n_items, K - 1): K categories 0 .. K-1 for every item
    seed: int,
) -> Int32Array:
    """Simulate responses from Graded Response Model"""
    # -> (n_persons, n_items): smallest k with p_0 + ... + p_k > u, else K - 1;
    #    p_k = max(P*_k - P*_{k+1}, 0) renormalised, P*_k = logistic((theta - t_{k-1}) a)

def simulate_gpcm(
    theta: Float64Array,  # (n_persons, >= 1): only column 0 is read
    discrimination: Float64Array,  # (n_items,)
    thresholds: Float64Array,  # (>= n_items, K - 1)
    seed: int,
) -> Int32Array:
    """Simulate responses from Generalized Partial Credit Model"""
    # -> (n_persons, n_items): p_k proportional to exp(sum_{m<k} (theta - t_m) a), unshifted
    #    (overflow gives category K - 1)

def simulate_dichotomous(
    theta: Float64Array,  # (n_persons,)
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (>= n_items,)
    guessing: Float64Array | None,  # (>= n_items,) or None for c = 0
    seed: int,
) -> Int32Array:
    """Simulate dichotomous responses (2PL/3PL)"""
    # -> (n_persons, n_items): 1 if logistic(a (theta - b)) (1 - c) + c > u, else 0
