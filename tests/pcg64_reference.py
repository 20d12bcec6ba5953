"""A plain-Python copy of the module's generator (PCG64 seeded through
SplitMix64) and of its draws, so that tests can replay the random streams of
the stochastic kernels and check what is done with each draw."""

import math

M64 = (1 << 64) - 1
M128 = (1 << 128) - 1
MULTIPLIER = (0x2360ED051FC65DA4 << 64) | 0x4385DF649FCCF645
LN2_HI = 6.93147180369123816490e-01
LN2_LO = 1.90821492927058770002e-10


def _splitmix(x):
    x = (x + 0x9E3779B97F4A7C15) & M64
    z = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return x, z ^ (z >> 31)


def portable_log(x):
    m, e = math.frexp(x)
    if m < 0.70710678118654752440:
        m *= 2.0
        e -= 1
    f = (m - 1.0) / (m + 1.0)
    f2 = f * f
    s = 1.0 / 27.0
    for k in range(25, 0, -2):
        s = s * f2 + 1.0 / k
    ln_m = 2.0 * f * s
    de = float(e)
    return de * LN2_HI + (ln_m + de * LN2_LO)


class Pcg64:
    def __init__(self, seed):
        sm = seed & M64
        out = []
        for _ in range(4):
            sm, v = _splitmix(sm)
            out.append(v)
        init_state = (out[0] << 64) | out[1]
        init_seq = (out[2] << 64) | out[3]
        self.inc = ((init_seq << 1) | 1) & M128
        self.state = 0
        self._step()
        self.state = (self.state + init_state) & M128
        self._step()
        self.spare = None

    def _step(self):
        self.state = (self.state * MULTIPLIER + self.inc) & M128

    def next(self):
        self._step()
        hi, lo = self.state >> 64, self.state & M64
        rot = hi >> 58
        x = hi ^ lo
        return ((x >> rot) | (x << ((64 - rot) & 63))) & M64

    def uniform(self):
        return (self.next() >> 11) * 2.0**-53

    def below(self, k):
        m = self.next() * k
        if (m & M64) < k:
            threshold = ((1 << 64) - k) % k
            while (m & M64) < threshold:
                m = self.next() * k
        return m >> 64

    def normal(self):
        if self.spare is not None:
            z, self.spare = self.spare, None
            return z
        while True:
            u = 2.0 * self.uniform() - 1.0
            v = 2.0 * self.uniform() - 1.0
            s = u * u + v * v
            if 0.0 < s < 1.0:
                break
        factor = math.sqrt(-2.0 * portable_log(s) / s)
        self.spare = v * factor
        return u * factor

