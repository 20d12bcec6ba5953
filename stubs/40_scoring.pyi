# ---- Person scoring: EAP, WLE, sum-score tables and EAPsum, plausible values --

def compute_eap_scores(
    responses: Int32Array,  # (n_persons, n_items); 1 correct, other >= 0 incorrect, < 0 missing
    quad_points: Float64Array,  # (n_quad,)
    quad_weights: Float64Array,  # (>= n_quad,) prior weights; ln(w + 1e-10) is the log prior
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (n_items,)
) -> tuple[Float64Array, Float64Array]:
    """Compute EAP (Expected A Posteriori) scores"""
    # -> (eap, se), each (n_persons,): posterior mean and standard deviation on the grid;
    #    an empty grid gives (0.0, 0.0)

def compute_wle_scores(
    responses: Int32Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
    theta_min: float,  # finite (an infinite bound raises KernelFailure)
    theta_max: float,
    tol: float,  # bracket width at which the search stops; a negative tol counts as 0
) -> tuple[Float64Array, Float64Array]:
    """Compute WLE (Weighted Likelihood Estimation) scores"""
    # -> (wle, se): golden-section maximum of l(theta) + 0.5 ln I(theta) on
    #    [theta_min, theta_max], the midpoint of the final bracket; the search also
    #    stops once an iteration leaves the bracket unchanged (tol = 0: full precision).
    #    se = 1 / sqrt(I(wle)) over every item.  Nothing answered: (0.0, inf).

def lord_wingersky_recursion(
    theta: Float64Array,  # (n_quad,) grid nodes
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (>= n_items,)
) -> Float64Array:
    """Lord-Wingersky recursion for computing sum score distributions.
This is the core algorithm for EAPsum scoring.

For dichotomous items, computes P(sum_score = s | theta) for all s and theta.
Returns log probabilities for numerical stability."""
    # -> (n_items + 1, n_quad): ln P(sum score = s | theta_q)

def lord_wingersky_polytomous(
    item_probs: Float64Array,  # (n_items, n_quad, max_categories), P(X_j = k | theta_q)
    max_score: int,
) -> Float64Array:
    """Lord-Wingersky recursion for polytomous items (GRM/GPCM).

item_probs: shape (n_items, n_quad, max_categories) - P(X_j = k | theta)
Returns log P(sum_score = s | theta) for all s"""
    # -> (max_score + 1, n_quad); probabilities below 1e-10 (padding zeros too)
    #    count as 1e-10; scores above max_score are dropped

def eapsum_from_distribution(
    log_p_score_theta: Float64Array,  # (n_scores, >= n_quad)
    log_prior: Float64Array,  # (>= n_quad,)
    sum_scores: Int32Array,  # (n_persons,); clamped to [0, n_scores - 1]
    theta_points: Float64Array,  # (n_quad,)
) -> tuple[Float64Array, Float64Array]:
    """Compute EAPsum scores using pre-computed sum score distribution.

log_p_score_theta: shape (max_score + 1, n_quad) - log P(score | theta)
log_prior: shape (n_quad,) - log prior weights
sum_scores: shape (n_persons,) - observed sum scores
theta_points: shape (n_quad,) - quadrature points

Returns (theta_estimates, standard_errors)"""

def generate_plausible_values_posterior(
    responses: Int32Array,
    quad_points: Float64Array,  # (n_quad,)
    quad_weights: Float64Array,  # prior weights; the first min(len, n_quad) nodes take part
    discrimination: Float64Array,
    difficulty: Float64Array,
    n_plausible: int,
    jitter_sd: float,  # finite; 0 gives grid nodes exactly
    seed: int,
) -> Float64Array:
    """Generate plausible values using posterior sampling"""
    # -> (n_persons, n_plausible): a node drawn from the grid posterior plus
    #    jitter_sd * N(0, 1); person i uses the generator seeded with seed + i

def generate_plausible_values_mcmc(
    responses: Int32Array,
    discrimination: Float64Array,
    difficulty: Float64Array,
    n_plausible: int,
    n_iter: int,  # Metropolis steps between two recorded values
    proposal_sd: float,  # finite
    seed: int,
) -> Float64Array:
    """Generate plausible values using MCMC"""
    # -> (n_persons, n_plausible): states of one random-walk chain per person
    #    (standard-normal prior, start 0.0, no burn-in) after n_iter, 2 n_iter, ... steps
