// Argument binding, conversion of arguments and results, and the failure
// class.  This is the only unit that uses NumPy's C interface; it looks the
// interface up the first time an array is converted, not at import.
#include "frame/binding.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL korvane_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "utils/parallel.hpp"

namespace korvane::frame {
namespace {

// KernelFailure derives directly from BaseException, so that a handler for
// Exception does not swallow it.  Created once, on first use; it is not a
// module attribute.
PyObject* kernel_failure_type() {
  static PyObject* type = PyErr_NewException("korvane.KernelFailure", PyExc_BaseException, nullptr);
  return type;
}

bool numpy_ready() {
  static bool ready = false;
  if (ready) return true;
  if (_import_array() < 0) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    set_kernel_failure("the NumPy C interface could not be loaded");
    return false;
  }
  ready = true;
  return true;
}

int typenum_of(Element e) {
  switch (e) {
    case Element::Int32: return NPY_INT32;
    case Element::Int64: return NPY_INT64;
    case Element::Bool: return NPY_BOOL;
    case Element::Float64: return NPY_FLOAT64;
  }
  return NPY_FLOAT64;
}

const char* element_name(Element e) {
  switch (e) {
    case Element::Int32: return "int32";
    case Element::Int64: return "int64";
    case Element::Bool: return "bool";
    case Element::Float64: return "float64";
  }
  return "?";
}

// Raises TypeError("argument '<param>': <reason>") with `cause` (a new
// exception object, or null) as its __cause__.
void raise_argument_error(const char* param, PyObject* cause, const std::string& reason) {
  PyObject* message = PyUnicode_FromFormat("argument '%s': %s", param, reason.c_str());
  if (!message) {
    Py_XDECREF(cause);
    return;
  }
  PyObject* error = PyObject_CallOneArg(PyExc_TypeError, message);
  Py_DECREF(message);
  if (!error) {
    Py_XDECREF(cause);
    return;
  }
  if (cause) {
    PyException_SetCause(error, cause);  // steals cause
  }
  PyErr_SetObject(PyExc_TypeError, error);
  Py_DECREF(error);
}

// A reason given as text becomes an underlying TypeError and the cause of the
// prefixed one.
void raise_argument_reason(const char* param, const std::string& reason) {
  PyObject* text = PyUnicode_FromString(reason.c_str());
  PyObject* cause = text ? PyObject_CallOneArg(PyExc_TypeError, text) : nullptr;
  Py_XDECREF(text);
  raise_argument_error(param, cause, reason);
}

// The current exception re-raised as a prefixed TypeError, unless it is an
// OverflowError, which passes through unchanged.
void rewrap_current(const char* param) {
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) {
    PyException_SetTraceback(value, tb);
    Py_DECREF(tb);
  }
  Py_XDECREF(type);
  std::string reason = "conversion failed";
  if (value) {
    if (PyObject* s = PyObject_Str(value)) {
      if (const char* utf8 = PyUnicode_AsUTF8(s)) reason = utf8;
      else PyErr_Clear();
      Py_DECREF(s);
    } else {
      PyErr_Clear();
    }
  }
  raise_argument_error(param, value, reason);
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

}  // namespace

void set_kernel_failure(const char* message) {
  PyObject* type = kernel_failure_type();
  if (!type) return;  // the error of creating the class is set
  PyErr_SetString(type, message);
}

bool load_array(PyObject* obj, const char* param, int ndim, Element element, RawView& out) {
  if (!numpy_ready()) return false;
  if (!PyArray_Check(obj)) {
    raise_argument_reason(param, "expected numpy.ndarray, got " + type_name(obj));
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != ndim) {
    raise_argument_reason(param, "expected " + std::to_string(ndim) + "-dimensional array, got " +
                                     std::to_string(PyArray_NDIM(arr)) + "-dimensional array");
    return false;
  }
  PyArray_Descr* want = PyArray_DescrFromType(typenum_of(element));
  bool same = PyArray_EquivTypes(PyArray_DESCR(arr), want);
  Py_DECREF(want);
  if (!same) {
    std::string got = "?";
    if (PyObject* s = PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr)))) {
      if (const char* u = PyUnicode_AsUTF8(s)) got = u;
      Py_DECREF(s);
    }
    PyErr_Clear();
    raise_argument_reason(param, std::string("expected array of dtype ") + element_name(element) +
                                     ", got dtype " + got);
    return false;
  }
  // The caller's reference keeps the array alive for the whole call; the view
  // is only read.
  out.data = static_cast<const char*>(PyArray_DATA(arr));
  for (int d = 0; d < ndim; ++d) {
    out.shape[d] = PyArray_DIM(arr, d);
    out.strides[d] = PyArray_STRIDE(arr, d);
  }
  return true;
}

bool load_double(PyObject* obj, const char* param, double& out) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    rewrap_current(param);
    return false;
  }
  out = v;
  return true;
}

namespace {
// obj as a Python int (through __index__), or null with a prefixed TypeError.
PyObject* as_index(PyObject* obj, const char* param) {
  PyObject* n = PyNumber_Index(obj);
  if (!n) rewrap_current(param);
  return n;
}
}  // namespace

bool load_u64(PyObject* obj, const char* param, std::uint64_t& out) {
  PyObject* n = as_index(obj, param);
  if (!n) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(n);
  Py_DECREF(n);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    rewrap_current(param);  // negative or too large: OverflowError passes through
    return false;
  }
  out = v;
  return true;
}

bool load_i32(PyObject* obj, const char* param, std::int32_t& out) {
  PyObject* n = as_index(obj, param);
  if (!n) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
  Py_DECREF(n);
  if (v == -1 && PyErr_Occurred()) {
    rewrap_current(param);
    return false;
  }
  if (overflow > 0 || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
    return false;
  }
  if (overflow < 0 || v < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
    return false;
  }
  out = static_cast<std::int32_t>(v);
  return true;
}

bool load_pair(PyObject* obj, const char* param, Pair& out) {
  if (!PyTuple_Check(obj)) {
    raise_argument_reason(param, "expected tuple, got " + type_name(obj));
    return false;
  }
  Py_ssize_t n = PyTuple_GET_SIZE(obj);
  if (n != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
    return false;
  }
  return load_double(PyTuple_GET_ITEM(obj, 0), param, out.first) &&
         load_double(PyTuple_GET_ITEM(obj, 1), param, out.second);
}

bool load_u64_list(PyObject* obj, const char* param, U64List& out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    raise_argument_reason(param, "expected a sequence of integers, got " + type_name(obj));
    return false;
  }
  PyObject* it = PyObject_GetIter(obj);
  if (!it) {
    rewrap_current(param);
    return false;
  }
  out.clear();
  while (PyObject* item = PyIter_Next(it)) {
    std::uint64_t v;
    bool ok = load_u64(item, param, v);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(it);
      return false;
    }
    out.push_back(v);
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) {
    rewrap_current(param);
    return false;
  }
  return true;
}

PyObject* new_array(Element element, int ndim, const std::size_t* shape, const void* data) {
  if (!numpy_ready()) return nullptr;
  npy_intp dims[3];
  std::size_t count = 1;
  for (int d = 0; d < ndim; ++d) {
    // An extent NumPy cannot represent (possible only for an empty array).
    if (shape[d] > static_cast<std::size_t>(NPY_MAX_INTP)) {
      set_kernel_failure("array size overflows");
      return nullptr;
    }
    dims[d] = static_cast<npy_intp>(shape[d]);
    count *= shape[d];
  }
  PyObject* out = PyArray_SimpleNew(ndim, dims, typenum_of(element));
  if (!out) return nullptr;
  const std::size_t bytes = count * PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject*>(out));
  char* dst = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
  const char* src = static_cast<const char*>(data);
  // Large results are copied by the pool, so that the first touch of the new
  // pages is spread over the workers; only raw memory is touched there.
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  if (bytes > 2 * kChunk) {
    const std::size_t chunks = (bytes + kChunk - 1) / kChunk;
    parallel_for(chunks, [&](std::size_t c) {
      const std::size_t begin = c * kChunk;
      std::memcpy(dst + begin, src + begin, std::min(kChunk, bytes - begin));
    });
  } else if (bytes != 0) {
    std::memcpy(dst, src, bytes);
  }
  return out;
}

// ---- binding ----

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string s;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) s += names.size() == 2 ? " and " : (k + 1 == names.size() ? ", and " : ", ");
    s += "'";
    s += names[k];
    s += "'";
  }
  return s;
}

bool same_name(PyObject* keyword, const Param& p) {
  if (keyword == p.keyword) return true;
  int eq = PyUnicode_Compare(keyword, p.keyword);
  if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
  return eq == 0;
}

}  // namespace

bool Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const {
  const std::size_t n = params.size();
  const char* fname = name.c_str();
  if (static_cast<std::size_t>(nargs) > n) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (n_required == n) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", fname, n,
                   n == 1 ? "" : "s", nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                   fname, n_required, n, nargs, verb);
    }
    return false;
  }
  for (std::size_t k = 0; k < n; ++k) slots[k] = k < static_cast<std::size_t>(nargs) ? args[k] : nullptr;

  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t t = 0; t < nkw; ++t) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, t);
      std::size_t k = 0;
      // Identity first (keywords in calls are interned), then by value.
      while (k < n && keyword != params[k].keyword) ++k;
      if (k == n) {
        k = 0;
        while (k < n && !same_name(keyword, params[k])) ++k;
      }
      if (k == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, keyword);
        return false;
      }
      if (slots[k]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                     params[k].name.c_str());
        return false;
      }
      slots[k] = args[nargs + t];
    }
  }

  std::vector<const char*> missing;
  for (std::size_t k = 0; k < n; ++k) {
    if (!slots[k] && !params[k].default_value) missing.push_back(params[k].name.c_str());
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", fname,
                 missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return false;
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (!slots[k]) slots[k] = params[k].default_value;
  }
  return true;
}

Signature make_signature(const char* name, std::initializer_list<Arg> args, const char* doc,
                         std::size_t kernel_arity) {
  if (args.size() != kernel_arity) {
    throw std::runtime_error(std::string(name) + ": " + std::to_string(args.size()) +
                             " parameter names declared for a kernel of " + std::to_string(kernel_arity) +
                             " parameters");
  }
  Signature sig;
  sig.name = name;
  sig.text_signature = "(";
  bool optional_seen = false;
  for (const Arg& a : args) {
    Param p;
    p.name = a.name;
    p.keyword = PyUnicode_InternFromString(a.name);
    if (!p.keyword) throw std::runtime_error("could not create a keyword name");
    if (!sig.params.empty()) sig.text_signature += ", ";
    sig.text_signature += a.name;
    if (std::holds_alternative<std::monostate>(a.fallback)) {
      if (optional_seen) throw std::runtime_error(std::string(name) + ": required parameter after optional");
      ++sig.n_required;
    } else {
      optional_seen = true;
      std::string text;
      if (auto* d = std::get_if<double>(&a.fallback)) {
        p.default_value = PyFloat_FromDouble(*d);
        char* repr = PyOS_double_to_string(*d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (repr) {
          text = repr;
          PyMem_Free(repr);
        }
      } else if (auto* u = std::get_if<std::uint64_t>(&a.fallback)) {
        p.default_value = PyLong_FromUnsignedLongLong(*u);
        text = std::to_string(*u);
      } else {
        const Pair& pr = std::get<Pair>(a.fallback);
        p.default_value = Py_BuildValue("(dd)", pr.first, pr.second);
        text = "...";
      }
      if (!p.default_value || text.empty()) throw std::runtime_error("could not create a default value");
      sig.text_signature += "=" + text;
    }
    sig.params.push_back(std::move(p));
  }
  sig.text_signature += ")";
  sig.doc = sig.name + sig.text_signature + "\n--\n\n" + doc;
  return sig;
}

}  // namespace korvane::frame
