# ---- Whole-model fits (2PL) -----------------------------------------------
# Ability scale of em_fit_2pl and bootstrap_fit_2pl: n_quadpts = 15 and 21
# select fixed tables whose ability variance is about 0.71 and 0.34, not 1,
# so slopes come out larger (and difficulties nearer 0) than on the usual
# standard-normal scale.  Every other n_quadpts gives n equally spaced nodes
# on [-4, 4] with standard-normal weights.  For standard-normal estimates:
#     a, b, ll, n_iter, converged = em_fit_2pl(responses, 41, 500, 1e-6)
# The parameter box of all four fits is a in [0.1, 5], b in [-6, 6].

def em_fit_2pl(
    responses: Int32Array,  # (n_persons, n_items); 1 correct, other codes >= 0 incorrect
    n_quadpts: int,  # grid size: 15 and 21 are fixed narrower tables (see above)
    max_iter: int,  # maximum number of E-steps
    tol: float,  # converged when tol > |l - l_previous| (strictly)
) -> tuple[Float64Array, Float64Array, float, int, bool]:
    """EM algorithm for 2PL model fitting"""
    # -> (discrimination (n_items,), difficulty (n_items,), log-likelihood,
    #     iterations, converged).  The log-likelihood is sum_i ln(L_i + 1e-10)
    #     of the last iteration that went on to an M-step (at the parameters
    #     entering it); -inf when max_iter = 0.

def gibbs_sample_2pl(
    responses: Int32Array,
    n_iter: int,
    burnin: int,
    thin: int,  # >= 1; 0 raises KernelFailure
    seed: int,
) -> tuple[Float64Array, Float64Array, Float64Array, Float64Array]:
    """Gibbs sampling for 2PL model"""
    # -> (discrimination (S, n_items), difficulty (S, n_items), theta (S, n_persons),
    #     complete-data log-likelihood (S,)), S = ceil((n_iter - burnin) / thin)
    #     stored states (0 when burnin >= n_iter).  Priors: theta ~ N(0, 1),
    #     ln a ~ N(0, 1), b ~ N(0, 1).

def mhrm_fit_2pl(
    responses: Int32Array,
    n_cycles: int,  # burn-in included
    burnin: int,  # leading cycles without parameter updates
    proposal_sd: float,  # finite; sd of the ability random walk
    seed: int,
) -> tuple[Float64Array, Float64Array, float]:
    """Metropolis-Hastings Robbins-Monro for 2PL"""
    # -> (discrimination, difficulty, complete-data log-likelihood at the final
    #     abilities).  Gain 1 / (cycle + 1): the fit approaches the maximum-
    #     likelihood estimates slowly; compare with em_fit_2pl.

def bootstrap_fit_2pl(
    responses: Int32Array,
    n_bootstrap: int,
    n_quadpts: int,  # as for em_fit_2pl
    max_iter: int,
    tol: float,
    seed: int,  # replicate r uses seed + r
) -> tuple[Float64Array, Float64Array]:
    """Bootstrap parameter estimation for 2PL"""
    # -> (discrimination (n_bootstrap, n_items), difficulty (n_bootstrap, n_items)):
    #    row r is the em_fit_2pl fit of the persons resampled with replacement by
    #    replicate r; non-convergence is not reported.
