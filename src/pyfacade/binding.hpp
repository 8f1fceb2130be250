// One record per Python-facing function: its name, its parameters with the
// Python text of their defaults, its description, the exception class of its
// operation errors and its body. The method-table entry, the docstring's text
// signature and the number of required arguments all follow from the record,
// and an absent argument's value is read from its default's text, so each of
// them is written once.
//
// Bindings only convert their arguments: every check of a converted value (a
// name that must be non-empty, a voxel size that must be positive, ...) is
// made by the core operation the binding calls, so any other caller of that
// operation gets the same checks. A body converts all of its arguments before
// it calls, so a wrong type is reported before a bad value. The one exception
// is py_kabsch_rmsd: the lengths and row shapes of its point sets are checked
// where they are converted, since the core takes them as three-column
// matrices.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "pyfacade/boundary.hpp"

namespace lvx::py {

struct Param {
  const char* name;
  // The default as Python source ("None", "True", "1000", "0.01", "\"phase\"");
  // null for a required parameter.
  const char* default_text = nullptr;
};

class Args;

struct Binding {
  const char* name;
  std::initializer_list<Param> params = {};  // none: the function takes no arguments
  const char* description;                   // the docstring after its text signature
  // The class operation errors become; functions that have none leave it.
  PyObject* const* errors = &PyExc_RuntimeError;
  Ref (*body)(const Args&);

  // Parameters before the first one with a default.
  std::size_t required() const noexcept;
  // "name(a, b=1)", a line "--", a blank line, then the description.
  std::string docstring() const;
};

// The arguments of one call, bound to the parameters of its record.
class Args {
 public:
  static constexpr std::size_t kMaxParams = 8;

  // Binds fast-call arguments to the parameters. Raises TypeError in the
  // interpreter's wording for missing, surplus, duplicate or unknown
  // arguments and throws PyErrorSet.
  Args(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // The object given for parameter i (borrowed), or null when the argument
  // is absent: not given, or None for a parameter whose default is None.
  PyObject* operator[](std::size_t i) const noexcept;
  const char* name(std::size_t i) const noexcept { return param(i).name; }

  // The converted argument, or the parameter's default when it is absent.
  // Conversion failures are raised as the to_* functions describe.
  std::string_view str(std::size_t i) const;
  double f64(std::size_t i) const;
  std::uint64_t u64(std::size_t i) const;
  bool boolean(std::size_t i) const;
  // A required argument through another conversion, convert(object, name).
  template <class F>
  auto get(std::size_t i, F convert) const {
    return convert(required_object(i), name(i));
  }
  // An argument whose default is None: nullopt when it is absent.
  template <class F>
  auto opt(std::size_t i, F convert) const -> std::optional<decltype(convert(nullptr, ""))> {
    PyObject* o = none_default_object(i);
    if (!o) return std::nullopt;
    return convert(o, name(i));
  }

 private:
  const Param& param(std::size_t i) const noexcept { return binding_.params.begin()[i]; }
  PyObject* required_object(std::size_t i) const;
  PyObject* none_default_object(std::size_t i) const;
  // A record whose default cannot be read the way its body reads the argument.
  [[noreturn]] void bad_default(std::size_t i) const;

  const Binding& binding_;
  std::array<PyObject*, kMaxParams> slot_{};
};

// The leading arguments every box exporter shares: (name, path, bounds,
// voxel_size), converted in that order from the first four parameters.
struct BoxArgs {
  std::string_view name;
  std::string path;
  Box bounds;
  double voxel_size;
};
BoxArgs to_box_args(const Args& a);

// What the array functions over a box share: (bounds, voxel_size, scale_m),
// converted in that order from parameters first .. first + 2, the box as any
// (2, 3) array or pair of corners.
struct GridArgs {
  Box bounds;
  double voxel_size;
  std::optional<double> scale_m;
};
GridArgs to_grid_args(const Args& a, std::size_t first);

// ------------------------------------------------------------ entry points

// Runs a record's body on the call's arguments, mapping its errors (call()).
PyObject* run(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The C functions of a record: fast call with keywords, and no arguments at
// all (for an empty parameter list, so that the interpreter words the errors).
template <const Binding& B>
PyObject* fast_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run(B, args, nargs, kwnames);
}
template <const Binding& B>
PyObject* no_args_entry(PyObject*, PyObject*) noexcept {
  return run(B, nullptr, 0, nullptr);
}

}  // namespace lvx::py
