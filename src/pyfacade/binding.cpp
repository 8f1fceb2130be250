#include "pyfacade/binding.hpp"

#include <charconv>
#include <cstring>
#include <vector>

#include "pyfacade/arrays.hpp"

namespace lvx::py {

namespace {

bool is_none(const Param& p) noexcept {
  return p.default_text != nullptr && std::strcmp(p.default_text, "None") == 0;
}

template <class T>
bool parse_number(std::string_view text, T& out) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

// Binds fast-call arguments to the parameter slots (borrowed references;
// null where an argument is absent), with the interpreter's messages.
bool bind_args(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const std::size_t n = b.params.size();
  const std::size_t required = b.required();
  const Param* params = b.params.begin();
  if (static_cast<std::size_t>(nargs) > n) {
    if (required == n)
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", b.name, n,
                   n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    else
      PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                   b.name, required, n, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t idx = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
        idx = i;
        break;
      }
    }
    if (idx == n) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", b.name, key);
      return false;
    }
    if (out[idx]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", b.name, params[idx].name);
      return false;
    }
    out[idx] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i)
    if (!out[i]) missing.push_back(params[i].name);
  if (!missing.empty()) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) list += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
      list += "'";
      list += missing[i];
      list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", b.name,
                 missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

}  // namespace

// ------------------------------------------------------------ record

std::size_t Binding::required() const noexcept {
  std::size_t n = 0;
  while (n < params.size() && params.begin()[n].default_text == nullptr) ++n;
  return n;
}

std::string Binding::docstring() const {
  std::string doc = name;
  doc += '(';
  for (const Param& p : params) {
    if (&p != params.begin()) doc += ", ";
    doc += p.name;
    if (p.default_text) {
      doc += '=';
      doc += p.default_text;
    }
  }
  doc += ")\n--\n\n";
  doc += description;
  return doc;
}

// ------------------------------------------------------------ arguments

Args::Args(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : binding_(binding) {
  if (binding.params.size() > kMaxParams)
    panic(std::string(binding.name) + ": more parameters than a binding holds");
  if (!bind_args(binding, args, nargs, kwnames, slot_.data())) throw PyErrorSet{};
}

PyObject* Args::operator[](std::size_t i) const noexcept {
  PyObject* o = slot_[i];
  return o == Py_None && is_none(param(i)) ? nullptr : o;
}

PyObject* Args::required_object(std::size_t i) const {
  PyObject* o = (*this)[i];
  if (!o) bad_default(i);
  return o;
}

PyObject* Args::none_default_object(std::size_t i) const {
  if (!is_none(param(i))) bad_default(i);
  return (*this)[i];
}

void Args::bad_default(std::size_t i) const {
  panic(std::string(binding_.name) + ": the default " + param(i).default_text + " of '" + name(i) +
        "' does not fit its conversion");
}

// An absent argument always has a default: binding refuses calls that leave
// out a required one.

std::string_view Args::str(std::size_t i) const {
  if (PyObject* o = (*this)[i]) return to_str(o, name(i));
  const std::string_view text = param(i).default_text;
  // A plain double-quoted literal: the text signature shows it as it is.
  if (text.size() < 2 || text.front() != '"' || text.back() != '"' ||
      text.substr(1, text.size() - 2).find_first_of("\"\\") != std::string_view::npos)
    bad_default(i);
  return text.substr(1, text.size() - 2);
}

double Args::f64(std::size_t i) const {
  if (PyObject* o = (*this)[i]) return to_f64(o, name(i));
  double v = 0.0;
  if (!parse_number(param(i).default_text, v)) bad_default(i);
  return v;
}

std::uint64_t Args::u64(std::size_t i) const {
  if (PyObject* o = (*this)[i]) return to_u64(o, name(i));
  std::uint64_t v = 0;
  if (!parse_number(param(i).default_text, v)) bad_default(i);
  return v;
}

bool Args::boolean(std::size_t i) const {
  if (PyObject* o = (*this)[i]) return to_bool(o, name(i));
  const std::string_view text = param(i).default_text;
  if (text != "True" && text != "False") bad_default(i);
  return text == "True";
}

BoxArgs to_box_args(const Args& a) {
  BoxArgs box;
  box.name = a.str(0);
  box.path = std::string(a.str(1));
  box.bounds = a.get(2, to_bounds);
  box.voxel_size = a.f64(3);
  return box;
}

GridArgs to_grid_args(const Args& a, std::size_t first) {
  GridArgs grid;
  grid.bounds = a.get(first, to_box);
  grid.voxel_size = a.f64(first + 1);
  grid.scale_m = a.opt(first + 2, to_f64);
  return grid;
}

// ------------------------------------------------------------ entry points

PyObject* run(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const InterruptScope interrupts(check_interrupt, nullptr);
  return call(*binding.errors, [&] { return binding.body(Args(binding, args, nargs, kwnames)).release(); });
}

}  // namespace lvx::py
