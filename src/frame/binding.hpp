// The template layer that turns a typed kernel into a Python function.
//
// A unit declares each exported function once:
//
//   registry.def<log_likelihoods_2pl>("compute_log_likelihoods_2pl",
//       {"responses", "quad_points", "discrimination", "difficulty"},
//       "Compute log-likelihoods for all persons at all quadrature points (2PL)");
//
// The kernel's C++ parameter types pick the converters (types.hpp), the names
// give the keywords and the text signature, and the return type picks the
// result conversion.  The call path is: bind positional and keyword arguments
// (Signature::bind), convert each argument in declaration order (Caster<T>),
// run the kernel, convert the result (to_python), translate exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <deque>
#include <initializer_list>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "frame/types.hpp"

namespace korvane::frame {

// ---- conversions implemented in frame.cpp (the only unit that sees NumPy) ----

enum class Element { Int32, Int64, Bool, Float64 };

template <class T>
constexpr Element element_of() {
  if constexpr (std::is_same_v<T, std::int32_t>) return Element::Int32;
  else if constexpr (std::is_same_v<T, std::int64_t>) return Element::Int64;
  else if constexpr (std::is_same_v<T, bool>) return Element::Bool;
  else {
    static_assert(std::is_same_v<T, double>);
    return Element::Float64;
  }
}

struct RawView {
  const char* data;
  Py_ssize_t shape[3];
  Py_ssize_t strides[3];
};

bool load_array(PyObject* obj, const char* param, int ndim, Element element, RawView& out);
bool load_double(PyObject* obj, const char* param, double& out);
bool load_u64(PyObject* obj, const char* param, std::uint64_t& out);
bool load_i32(PyObject* obj, const char* param, std::int32_t& out);
bool load_pair(PyObject* obj, const char* param, Pair& out);
bool load_u64_list(PyObject* obj, const char* param, U64List& out);
PyObject* new_array(Element element, int ndim, const std::size_t* shape, const void* data);
// Sets KernelFailure(message) as the current exception.
void set_kernel_failure(const char* message);

// ---- argument casters ----

template <class T>
struct Caster;

template <class T, int N>
struct Caster<View<T, N>> {
  static bool load(PyObject* obj, const char* param, View<T, N>& out) {
    RawView raw;
    if (!load_array(obj, param, N, element_of<T>(), raw)) return false;
    out = View<T, N>(raw.data, raw.shape, raw.strides);
    return true;
  }
};

template <class V>
struct Caster<std::optional<V>> {
  static bool load(PyObject* obj, const char* param, std::optional<V>& out) {
    if (obj == Py_None) {
      out.reset();
      return true;
    }
    V v;
    if (!Caster<V>::load(obj, param, v)) return false;
    out = v;
    return true;
  }
};

template <>
struct Caster<double> {
  static bool load(PyObject* o, const char* p, double& out) { return load_double(o, p, out); }
};
template <>
struct Caster<std::uint64_t> {
  static bool load(PyObject* o, const char* p, std::uint64_t& out) { return load_u64(o, p, out); }
};
template <>
struct Caster<std::int32_t> {
  static bool load(PyObject* o, const char* p, std::int32_t& out) { return load_i32(o, p, out); }
};
template <>
struct Caster<Pair> {
  static bool load(PyObject* o, const char* p, Pair& out) { return load_pair(o, p, out); }
};
template <>
struct Caster<U64List> {
  static bool load(PyObject* o, const char* p, U64List& out) { return load_u64_list(o, p, out); }
};

// ---- result conversion ----

template <class T, int N>
PyObject* to_python(const Array<T, N>& a) {
  return new_array(element_of<T>(), N, a.shape().data(), a.data());
}
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_python(std::int32_t v) { return PyLong_FromLong(v); }

template <class... T>
PyObject* to_python(const std::tuple<T...>& t) {
  PyObject* out = PyTuple_New(sizeof...(T));
  if (!out) return nullptr;
  bool ok = true;
  std::size_t k = 0;
  std::apply(
      [&](const auto&... item) {
        ((ok = ok && [&] {
            PyObject* o = to_python(item);
            if (!o) return false;
            PyTuple_SET_ITEM(out, k++, o);
            return true;
          }()),
         ...);
      },
      t);
  if (!ok) {
    Py_DECREF(out);
    return nullptr;
  }
  return out;
}

// ---- declarations ----

// A parameter as declared: its name and, for the few optional parameters,
// the default value.
struct Arg {
  const char* name;
  std::variant<std::monostate, double, std::uint64_t, Pair> fallback{};
  Arg(const char* n) : name(n) {}  // NOLINT: a bare name is a required parameter
  Arg(const char* n, double d) : name(n), fallback(d) {}
  Arg(const char* n, std::uint64_t d) : name(n), fallback(d) {}
  Arg(const char* n, Pair d) : name(n), fallback(d) {}
};

struct Param {
  std::string name;
  PyObject* keyword = nullptr;        // interned name, matched by identity first
  PyObject* default_value = nullptr;  // owned; null for a required parameter
};

// The binding rules of one function: positional slots in declaration order,
// keywords matched by name, defaults for trailing optional parameters.
struct Signature {
  std::string name;
  std::vector<Param> params;
  std::size_t n_required = 0;
  std::string text_signature;  // "(a, b, c=1.0)"
  std::string doc;             // "name(a, b)\n--\n\n<docstring>"

  // Fills slots[0 .. params.size()) with borrowed references, or sets a
  // TypeError worded like CPython's and returns false.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;
};

// Builds a Signature from a declaration; throws std::runtime_error on a
// malformed declaration (reported as ImportError by the module).
Signature make_signature(const char* name, std::initializer_list<Arg> args, const char* doc,
                         std::size_t kernel_arity);

// Runs `body` (which returns a new reference or null) and turns C++
// exceptions into Python ones.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const Failure& e) {
    set_kernel_failure(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_kernel_failure(e.what());
  }
  return nullptr;
}

template <auto Kernel>
struct Bound;

template <class R, class... A, R (*Kernel)(A...)>
struct Bound<Kernel> {
  static inline const Signature* signature = nullptr;
  using Values = std::tuple<std::decay_t<A>...>;

  template <std::size_t... K>
  static bool load_all(PyObject** slots, Values& values, std::index_sequence<K...>) {
    const Signature& sig = *signature;
    // && folds left to right and stops at the first failing conversion.
    return (Caster<std::tuple_element_t<K, Values>>::load(slots[K], sig.params[K].name.c_str(),
                                                          std::get<K>(values)) &&
            ...);
  }

  static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t n = sizeof...(A);
    PyObject* slots[n == 0 ? 1 : n];
    if (!signature->bind(args, nargs, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
      Values values;
      if (!load_all(slots, values, std::index_sequence_for<A...>{})) return nullptr;
      return to_python(std::apply(Kernel, std::move(values)));
    });
  }
};

struct Function {
  PyMethodDef method;
  Signature signature;
};

// The functions a unit declares.  Entries keep stable addresses (the method
// definitions are referenced by the function objects for the life of the
// process).
class Registry {
 public:
  template <auto Kernel>
  void def(const char* name, std::initializer_list<Arg> args, const char* doc) {
    using B = Bound<Kernel>;
    if (B::signature != nullptr) throw std::runtime_error(std::string(name) + ": kernel declared twice");
    Function& f = functions_.emplace_back();
    f.signature = make_signature(name, args, doc, std::tuple_size_v<typename B::Values>);
    f.method.ml_name = f.signature.name.c_str();
    f.method.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&B::call));
    f.method.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    f.method.ml_doc = f.signature.doc.c_str();
    B::signature = &f.signature;
  }

  std::deque<Function>& functions() { return functions_; }

 private:
  std::deque<Function> functions_;
};

}  // namespace korvane::frame

namespace korvane {
using frame::Arg;
using frame::Registry;
}  // namespace korvane
