// The interpreter boundary shared by every Python-facing function: owned
// references, argument binding, argument conversion, error mapping and the
// conversion of datasheet values to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/geometry.hpp"
#include "core/json.hpp"

namespace lvx::py {

// An owned (strong) reference, released on every path.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrowed(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Thrown inside a function body when a Python exception is already set.
struct PyErrorSet {};

// ------------------------------------------------------------ binding

// Parameter list of one function: names in order, the first `required` of
// them required.
struct Signature {
  const char* function;
  std::initializer_list<const char*> params;
  std::size_t required;
};

// Binds fast-call arguments to the parameter slots (borrowed references; null
// where an argument is absent). An explicit None is left as None; use the
// opt_* helpers below to treat it as absent. Raises TypeError in the
// interpreter's wording for missing, surplus, duplicate or unknown arguments.
template <std::size_t N>
struct Bound {
  std::array<PyObject*, N> slot{};
  PyObject* operator[](std::size_t i) const noexcept { return slot[i]; }
  bool has(std::size_t i) const noexcept { return slot[i] != nullptr && slot[i] != Py_None; }
};
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
template <std::size_t N>
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound<N>& out) {
  if (!bind_args(sig, args, nargs, kwnames, out.slot.data())) throw PyErrorSet{};
}

// ------------------------------------------------------------ conversion
// Each raises TypeError "argument 'NAME': reason" (other exception classes,
// such as OverflowError or UnicodeEncodeError, pass unchanged) and throws
// PyErrorSet.

std::string_view to_str(PyObject* o, const char* arg);
double to_f64(PyObject* o, const char* arg);
bool to_bool(PyObject* o, const char* arg);
std::uint64_t to_u64(PyObject* o, const char* arg);
std::optional<double> to_opt_f64(PyObject* o, const char* arg);      // None or absent: nullopt
Point to_point3(PyObject* o, const char* arg);                       // a tuple of three numbers
Box to_bounds(PyObject* o, const char* arg);                         // a tuple of two such tuples
std::vector<std::string> to_str_list(PyObject* o, const char* arg);  // a sequence of str, not a str

// The leading arguments every box exporter shares: (name, path, bounds,
// voxel_size), converted in that order from the first four slots.
struct BoxArgs {
  std::string_view name;
  std::string path;
  Box bounds;
  double voxel_size;
};
BoxArgs to_box_args(PyObject* const* slots, const char* path_arg);

// Replaces a pending TypeError by "argument 'NAME': <its text>" and throws
// PyErrorSet; other pending exceptions are kept as they are.
[[noreturn]] void argument_error(const char* arg);
[[noreturn]] void argument_error(const char* arg, const std::string& reason);
// "int", "list", ... for messages.
std::string type_name(PyObject* o);

// A sequence other than a str, converted item by item: convert(item) gives
// the value, or nullopt for an item of the wrong kind. The TypeError reasons
// read "expected a sequence of NOUN, got a single str", "..., got TYPE" and
// "..., item I is TYPE".
template <class T, class F>
std::vector<T> to_list(PyObject* o, const char* arg, const char* noun, F&& convert) {
  const std::string expected = std::string("expected a sequence of ") + noun;
  if (PyUnicode_Check(o)) argument_error(arg, expected + ", got a single str");
  if (!PySequence_Check(o)) argument_error(arg, expected + ", got " + type_name(o));
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) argument_error(arg);
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(o, i));
    if (!item) argument_error(arg);
    std::optional<T> value = convert(item.get());
    if (!value)
      argument_error(arg, expected + ", item " + std::to_string(i) + " is " + type_name(item.get()));
    out.push_back(std::move(*value));
  }
  return out;
}

// ------------------------------------------------------------ results

PyObject* value_to_py(const Json& v);  // new reference or null with exception set
Ref new_str(std::string_view s);
Ref new_float(double v);

// ------------------------------------------------------------ errors

// The PanicException class (created once per process).
PyObject* panic_exception_type();

// Runs a function body: OpError becomes `error_class` with the message,
// Panic becomes PanicException (with a diagnostic on standard error),
// PyErrorSet keeps the pending exception, bad_alloc becomes MemoryError.
template <class F>
PyObject* call(PyObject* error_class, F&& body) noexcept;

void raise_op_error(PyObject* error_class, std::string_view message);
void raise_panic(std::string_view message);
// prefix, text and a line feed on standard error, flushed.
void write_stderr_line(std::string_view prefix, std::string_view text);

template <class F>
PyObject* call(PyObject* error_class, F&& body) noexcept {
  try {
    return body();
  } catch (const PyErrorSet&) {
    return nullptr;
  } catch (const OpError& e) {
    raise_op_error(error_class, e.message());
  } catch (const Panic& e) {
    raise_panic(e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
  return nullptr;
}

}  // namespace lvx::py
