
# ---- E-step: posterior weights and expected counts ------------------------

def e_step_complete(
    responses: Int32Array,  # (n_persons, n_items)
    quad_points: Float64Array,  # (n_quad,)
    quad_weights: Float64Array,  # (>= n_quad,)
    discrimination: Float64Array,  # (n_items,)
    difficulty: Float64Array,  # (n_items,)
    prior_mean: float,
    prior_var: float,
) -> tuple[Float64Array, Float64Array]:
    """Complete E-step computation with posterior weights"""
    # -> (posterior (n_persons, n_quad), marginal likelihood (n_persons,)), with
    # posterior proportional to P(row | theta_q) * normal(prior_mean, prior_var) density * (w_q + 1e-10).
    # The normal log-density is added on top of ln(quad_weights): for a
    # standard-normal prior pass equal weights (normal weights make the prior N(0, 1/2)):
    #   e_step_complete(r, nodes, np.full(len(nodes), 1.0), a, b, 0.0, 1.0)
    # The marginal is exp(log marginal) and underflows to 0 for long tests;
    # prior_var <= 0 gives NaN posteriors and marginals of 0.

def compute_expected_counts(
    responses: Int32Array,  # (n_persons,): one item's codes
    posterior_weights: Float64Array,  # (>= n_persons, n_quad)
) -> tuple[Float64Array, Float64Array]:
    """Compute r_k (expected counts) for dichotomous items"""
    # -> (r (n_quad,), n (n_quad,)): posterior mass of persons with code 1, and
    # with any non-negative code

def compute_expected_counts_polytomous(
    responses: Int32Array,  # (n_persons,)
    posterior_weights: Float64Array,  # (>= n_persons, n_quad)
    n_categories: int,
) -> Float64Array:
    """Compute r_kc (expected counts per category) for polytomous items"""
    # -> (n_quad, n_categories); codes outside [0, n_categories) are skipped

def mcem_e_step(
    responses: Int32Array,  # (n_persons, n_items)
    theta_samples: Float64Array,  # (>= n_persons, n_samples, >= 1): sample s of person i at [i, s, 0]
    discrimination: Float64Array,
    difficulty: Float64Array,
) -> tuple[Float64Array, Float64Array]:
    """MCEM E-step using theta samples"""
    # -> (normalised importance weights (n_persons, n_samples), mean likelihood over the samples (n_persons,))

def weighted_e_step(
    responses: Int32Array,  # (n_persons, n_items)
    weights: Float64Array,  # (n_persons,): survey weights
    quad_points: Float64Array,  # (n_quad,)
    quad_weights: Float64Array,  # (>= n_quad,): the prior
    discrimination: Float64Array,
    difficulty: Float64Array,
) -> tuple[Float64Array, float]:
    """Weighted E-step for survey data"""
    # -> (posterior (n_persons, n_quad), sum_i weights[i] * log marginal_i); the
    # survey weights scale only the total

def weighted_expected_counts(
    responses: Int32Array,  # (n_persons,)
    posterior_weights: Float64Array,  # (>= n_persons, n_quad)
    survey_weights: Float64Array,  # (n_persons,)
) -> tuple[Float64Array, Float64Array]:
    """Weighted expected counts for survey data"""
    # -> (r (n_quad,), n (n_quad,)) with each person's posterior row times its survey weight
