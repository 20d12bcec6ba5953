"""Plain-Python scalar references shared by the test files.

Each follows the module's operation order, so with Python floats (IEEE
doubles) and the libm behind math.exp/log/log1p it gives the same bits as the
C++ kernels.  Sums are written as explicit loops on purpose: Python's sum()
may compensate."""

import math

INF = math.inf


def log_sigmoid(z):
    """log(1 / (1 + exp(-z))) without overflow."""
    return -math.log1p(math.exp(-z)) if z >= 0 else z - math.log1p(math.exp(z))


def log_one_minus_sigmoid(z):
    """log(1 - 1 / (1 + exp(-z))) without overflow."""
    return -math.log1p(math.exp(z)) if z <= 0 else -z - math.log1p(math.exp(-z))


def logistic(z):
    """The two-branch logistic of the module, with the same libm exp."""
    if z >= 0:
        e = math.exp(-z)
        return 1.0 / (e + 1.0)
    e = math.exp(z)
    return e / (e + 1.0)


def log_sum_exp(v):
    """log(sum(exp(v))) around the largest entry.  A NaN is never taken as the
    maximum; an infinite maximum (-inf for an empty list) is returned as is."""
    m = -INF
    for x in v:
        if x > m:
            m = x
    if math.isinf(m):
        return m
    s = 0.0
    for x in v:
        s += math.exp(x - m)
    return m + math.log(s)


def loglik_2pl(row, theta, a, b):
    """2PL log-likelihood of one response row at `theta`, items in order; codes
    below 0 are missing, 1 is correct and any other code is incorrect."""
    s = 0.0
    for j, x in enumerate(row):
        if x < 0:
            continue
        z = (theta - b[j]) * a[j]
        s += log_sigmoid(z) if x == 1 else log_one_minus_sigmoid(z)
    return s


def eap_summary(nodes, lp):
    """(EAP, posterior SD) on a grid from unnormalised log posterior values."""
    total = log_sum_exp(lp)
    post = [math.exp(v - total) for v in lp]
    mean = 0.0
    for t, p in zip(nodes, post):
        mean += t * p
    var = 0.0
    for t, p in zip(nodes, post):
        d = t - mean
        var += p * (d * d)
    return mean, math.sqrt(var)
