# ---- Multidimensional and sequential models ----------------------------------
# Dimension term L_pik = logistic((theta[p, k] - difficulty[i, k]) * discrimination[i, k]).

def compute_partially_compensatory_probs(
    theta: Float64Array,  # (n_persons, n_factors)
    discrimination: Float64Array,  # (n_items, >= n_factors)
    difficulty: Float64Array,  # (>= n_items, >= n_factors)
    compensation: Float64Array,  # (>= n_items, >= n_factors)
) -> Float64Array:
    """Compute probabilities for partially compensatory MIRT model"""
    # -> (n_persons, n_items): prod_k L_pik ** compensation[i, k] (1.0 with no factors)

def compute_noncompensatory_probs(
    theta: Float64Array,  # (n_persons, n_factors)
    discrimination: Float64Array,  # (n_items, >= n_factors)
    difficulty: Float64Array,  # (>= n_items, >= n_factors)
) -> Float64Array:
    """Compute probabilities for noncompensatory (conjunctive) MIRT model"""
    # -> (n_persons, n_items): prod_k L_pik (1.0 with no factors)

def compute_disjunctive_probs(
    theta: Float64Array,  # (n_persons, n_factors)
    discrimination: Float64Array,  # (n_items, >= n_factors)
    difficulty: Float64Array,  # (>= n_items, >= n_factors)
) -> Float64Array:
    """Compute probabilities for disjunctive MIRT model"""
    # -> (n_persons, n_items): 1 - prod_k (1 - L_pik) (0.0 with no factors)

def compute_sequential_probs(
    theta: Float64Array,  # (n_persons,)
    discrimination: Float64Array,  # (n_items,)
    thresholds: Float64Array,  # (>= n_items, >= n_i - 1): step thresholds of item i
    n_categories: Int32Array,  # (>= n_items,), every n_i >= 1
) -> Float64Array:
    """Compute probabilities for sequential response model"""
    # -> (n_persons, n_items * K), K = max(n_categories) (2 if empty): columns i*K .. i*K + n_i - 1
    #    hold P(X = j) = s_0 ... s_{j-1} (1 - s_j), s_k = logistic((theta - t_ik) a_i); the rest 0.0
