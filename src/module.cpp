// Module creation and the registration order of the exported functions.
//
// Each unit declares its own functions (declare_<unit>); this unit fixes the
// order in which they become attributes of the module and entries of
// __all__.
#include <array>
#include <string_view>

#include "frame/binding.hpp"

namespace korvane {

void declare_likelihood(Registry&);
void declare_estep(Registry&);
void declare_mstep(Registry&);
void declare_estimation(Registry&);
void declare_scoring(Registry&);
void declare_eapsum(Registry&);
void declare_plausible(Registry&);
void declare_cat(Registry&);
void declare_diagnostics(Registry&);
void declare_sibtest(Registry&);
void declare_calibration(Registry&);
void declare_standard_errors(Registry&);
void declare_simulation(Registry&);
void declare_mirt_models(Registry&);
void declare_bootstrap(Registry&);

namespace {

using Declare = void (*)(Registry&);

constexpr Declare kUnits[] = {
    declare_likelihood,
    declare_estep,
    declare_mstep,
    declare_estimation,
    declare_scoring,
    declare_eapsum,
    declare_plausible,
    declare_cat,
    declare_diagnostics,
    declare_sibtest,
    declare_calibration,
    declare_standard_errors,
    declare_simulation,
    declare_mirt_models,
    declare_bootstrap,
};

// Rows 1 to 20 one by one, then the groups: diagnostics, scoring, resampling
// and imputation, multidimensional models, sum scores, adaptive testing,
// M-step, standard errors and calibration.
constexpr std::array<std::string_view, 57> kOrder = {
    "compute_log_likelihoods_2pl",
    "compute_log_likelihoods_3pl",
    "compute_log_likelihoods_mirt",
    "e_step_complete",
    "compute_expected_counts",
    "compute_expected_counts_polytomous",
    "mcem_e_step",
    "weighted_e_step",
    "weighted_expected_counts",
    "sibtest_compute_beta",
    "sibtest_all_items",
    "simulate_grm",
    "simulate_gpcm",
    "simulate_dichotomous",
    "generate_plausible_values_posterior",
    "generate_plausible_values_mcmc",
    "em_fit_2pl",
    "gibbs_sample_2pl",
    "mhrm_fit_2pl",
    "bootstrap_fit_2pl",
    // diagnostics
    "compute_observed_margins",
    "compute_expected_margins",
    "compute_standardized_residuals",
    "compute_q3_matrix",
    "compute_ld_chi2_matrix",
    "compute_fit_statistics",
    "compute_probabilities_batch",
    "compute_probabilities_batch_3pl",
    "compute_expected_variance_batch",
    // scoring
    "compute_eap_scores",
    "compute_wle_scores",
    // resampling and imputation
    "generate_bootstrap_indices",
    "resample_responses",
    "impute_from_probabilities",
    "multiple_imputation",
    "generate_qmc_samples",
    // multidimensional models
    "compute_partially_compensatory_probs",
    "compute_noncompensatory_probs",
    "compute_disjunctive_probs",
    "compute_sequential_probs",
    // sum scores
    "lord_wingersky_recursion",
    "lord_wingersky_polytomous",
    "eapsum_from_distribution",
    // adaptive testing
    "cat_compute_item_info",
    "cat_select_max_info",
    "cat_eap_update",
    "cat_simulate_batch",
    "cat_conditional_mse",
    // M-step
    "m_step_dichotomous_parallel",
    "m_step_3pl_parallel",
    "compute_expected_counts_parallel",
    // standard errors
    "compute_item_se_parallel",
    "compute_hessian_block_diagonal",
    "compute_se_from_hessian",
    "compute_complete_data_ll",
    // calibration
    "fixed_calib_em",
    "stocking_lord_criterion",
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "korvane",
    "Python module for korvane",
    -1,  // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends the function to __all__ and sets it as a module attribute.
bool register_function(PyObject* module, frame::Function& f) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (!module_name) return false;
  PyObject* fn = PyCFunction_NewEx(&f.method, module, module_name);
  Py_DECREF(module_name);
  if (!fn) return false;
  PyObject* name = PyObject_GetAttrString(fn, "__name__");
  PyObject* all = name ? PyObject_GetAttrString(module, "__all__") : nullptr;
  if (name && !all && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all && PyModule_AddObjectRef(module, "__all__", all) < 0) Py_CLEAR(all);
  }
  bool ok = all && PyList_Append(all, name) == 0 && PyObject_SetAttr(module, name, fn) == 0;
  Py_XDECREF(all);
  Py_XDECREF(name);
  Py_DECREF(fn);
  return ok;
}

PyObject* create_module() {
  static bool initialised = false;
  if (initialised) {
    PyErr_SetString(PyExc_ImportError, "korvane can be initialised only once per process");
    return nullptr;
  }
  // The function definitions live as long as the process: the function
  // objects point into them.
  static Registry* registry = new Registry();
  try {
    for (Declare declare : kUnits) declare(*registry);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
  for (frame::Function& f : registry->functions()) {
    bool known = false;
    for (std::string_view name : kOrder) known = known || name == f.signature.name;
    if (!known) {
      PyErr_Format(PyExc_ImportError, "function %s has no place in the registration order",
                   f.signature.name.c_str());
      return nullptr;
    }
  }

  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  for (std::string_view name : kOrder) {
    for (frame::Function& f : registry->functions()) {
      if (f.signature.name != name) continue;
      if (!register_function(module, f)) {
        Py_DECREF(module);
        return nullptr;
      }
    }
  }
  initialised = true;
  return module;
}

}  // namespace
}  // namespace korvane

PyMODINIT_FUNC PyInit_korvane() { return korvane::create_module(); }
