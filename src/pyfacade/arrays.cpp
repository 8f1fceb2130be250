#include "pyfacade/arrays.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace lvx::py {

namespace {

[[noreturn]] void value_error(const char* arg, const std::string& reason) {
  PyErr_Format(PyExc_ValueError, "argument '%s': %s", arg, reason.c_str());
  throw PyErrorSet{};
}

// ------------------------------------------------------------ buffers

// One element of a buffer, as a double: read from its bytes (which need not
// be aligned), swapped when the buffer's byte order is not the machine's.
template <class T>
double load(const char* p, bool swap) noexcept {
  char bytes[sizeof(T)];
  std::memcpy(bytes, p, sizeof(T));
  if (swap) std::reverse(bytes, bytes + sizeof(T));
  T v;
  std::memcpy(&v, bytes, sizeof(T));
  return static_cast<double>(v);
}

using Load = double (*)(const char*, bool) noexcept;

// The loader of a struct-module format holding one real number (an optional
// byte-order character, then one of "bBhHiIlLqQnNfd"), for elements of
// `itemsize` bytes; sets `swap` from the byte order. Null for anything else
// (bool, complex, half or extended floats, objects, records).
Load loader_of(const char* format, Py_ssize_t itemsize, bool& swap) noexcept {
  std::string_view f = format ? format : "B";
  bool big = std::endian::native == std::endian::big;
  if (!f.empty() && std::string_view("@=<>!").find(f.front()) != std::string_view::npos) {
    if (f.front() == '<') big = false;
    if (f.front() == '>' || f.front() == '!') big = true;
    f.remove_prefix(1);
  }
  swap = big != (std::endian::native == std::endian::big);
  if (f.size() != 1) return nullptr;
  const char c = f.front();
  if (c == 'f' || c == 'd') {
    if (itemsize == 4) return load<float>;
    if (itemsize == 8) return load<double>;
    return nullptr;
  }
  if (std::string_view("bhilqn").find(c) != std::string_view::npos) {
    switch (itemsize) {
      case 1:
        return load<std::int8_t>;
      case 2:
        return load<std::int16_t>;
      case 4:
        return load<std::int32_t>;
      case 8:
        return load<std::int64_t>;
      default:
        return nullptr;
    }
  }
  if (std::string_view("BHILQN").find(c) != std::string_view::npos) {
    switch (itemsize) {
      case 1:
        return load<std::uint8_t>;
      case 2:
        return load<std::uint16_t>;
      case 4:
        return load<std::uint32_t>;
      case 8:
        return load<std::uint64_t>;
      default:
        return nullptr;
    }
  }
  return nullptr;
}

// A buffer view, released on every path.
struct View {
  Py_buffer b{};
  bool held = false;
  ~View() {
    if (held) PyBuffer_Release(&b);
  }
};

std::string shape_text(const Py_buffer& b) {
  std::string s = "(";
  for (int d = 0; d < b.ndim; ++d) {
    if (d) s += ", ";
    s += std::to_string(b.shape[d]);
  }
  return s + (b.ndim == 1 ? ",)" : ")");
}

// Reads a buffer of `ndim` dimensions (the second, when there is one, of
// `cols` elements), row after row: prepare(rows) returns the storage for
// rows * cols doubles in C order. Returns false, with nothing pending, when
// `o` offers no buffer.
template <class Prepare>
bool read_buffer(PyObject* o, const char* arg, int ndim, std::size_t cols, const char* expected,
                 Prepare&& prepare) {
  if (!PyObject_CheckBuffer(o)) return false;
  View v;
  if (PyObject_GetBuffer(o, &v.b, PyBUF_RECORDS_RO) < 0) argument_error(arg);
  v.held = true;
  bool swap = false;
  const Load read = loader_of(v.b.format, v.b.itemsize, swap);
  if (!read)
    argument_error(arg, std::string("expected integers or floats, got buffer format '") +
                            (v.b.format ? v.b.format : "B") + "'");
  const bool shaped = v.b.ndim == ndim && (ndim == 1 || v.b.shape[1] == static_cast<Py_ssize_t>(cols));
  if (!shaped) value_error(arg, std::string("expected shape ") + expected + ", got " + shape_text(v.b));
  const Py_ssize_t rows = v.b.shape[0];
  const Py_ssize_t n = ndim == 1 ? 1 : v.b.shape[1];
  const Py_ssize_t row_stride = v.b.strides[0], col_stride = ndim == 1 ? 0 : v.b.strides[1];
  double* dst = prepare(static_cast<std::size_t>(rows));
  const char* base = static_cast<const char*>(v.b.buf);
  // Doubles in the machine's order need no conversion: copied whole when
  // they lie in C order, else one by one.
  if (read == load<double> && !swap) {
    constexpr Py_ssize_t d = sizeof(double);
    if ((n == 1 || col_stride == d) && (rows <= 1 || row_stride == n * d)) {
      if (rows > 0) std::memcpy(dst, base, static_cast<std::size_t>(rows * n) * sizeof(double));
      return true;
    }
    for (Py_ssize_t i = 0; i < rows; ++i)
      for (Py_ssize_t j = 0; j < n; ++j)
        std::memcpy(dst++, base + i * row_stride + j * col_stride, sizeof(double));
    return true;
  }
  for (Py_ssize_t i = 0; i < rows; ++i)
    for (Py_ssize_t j = 0; j < n; ++j) *dst++ = read(base + i * row_stride + j * col_stride, swap);
  return true;
}

// A sequence other than a str or bytes, as a fast sequence.
Ref fast_sequence(PyObject* o, const char* arg, const char* expected) {
  if (PyUnicode_Check(o) || PyBytes_Check(o) || !PySequence_Check(o))
    argument_error(arg, std::string("expected ") + expected + ", got " + type_name(o));
  Ref seq(PySequence_Fast(o, expected));
  if (!seq) argument_error(arg);
  return seq;
}

// ------------------------------------------------------------ result type

// The exporter of one array: owns the core's storage and describes it to the
// buffer protocol. Python code sees it only as the object of a memoryview.
struct NativeArray {
  PyObject_HEAD void* data;
  void (*free_data)(void*);
  const char* format;
  Py_ssize_t itemsize;
  int ndim;
  Py_ssize_t shape[Array<char>::kMaxDims];
  Py_ssize_t strides[Array<char>::kMaxDims];
};

void native_array_dealloc(PyObject* self) {
  auto* a = reinterpret_cast<NativeArray*>(self);
  if (a->free_data) a->free_data(a->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

int native_array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* a = reinterpret_cast<NativeArray*>(self);
  Py_ssize_t len = a->itemsize;
  for (int d = 0; d < a->ndim; ++d) len *= a->shape[d];
  // C order: a Fortran-order view exists only while at most one extent exceeds 1.
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS &&
      std::count_if(a->shape, a->shape + a->ndim, [](Py_ssize_t s) { return s > 1; }) > 1) {
    PyErr_SetString(PyExc_BufferError, "the array is in C order, not Fortran order");
    view->obj = nullptr;
    return -1;
  }
  view->obj = Py_NewRef(self);
  view->buf = a->data;
  view->len = len;
  view->readonly = 0;
  view->itemsize = a->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(a->format) : nullptr;
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = shaped ? a->ndim : 1;
  view->shape = shaped ? a->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyTypeObject* native_array_type() {
  static PyTypeObject* type = [] {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(native_array_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(native_array_getbuffer)},
        {Py_tp_doc,
         const_cast<char*>("Storage of an array made by the native core, seen through a memoryview.")},
        {0, nullptr},
    };
    PyType_Spec spec = {"lumivarex._lumivarex_core.NativeArray", sizeof(NativeArray), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }();
  return type;
}

template <class T>
constexpr const char* kFormat = nullptr;
template <>
constexpr const char* kFormat<double> = "d";
template <>
constexpr const char* kFormat<std::uint8_t> = "B";
template <>
constexpr const char* kFormat<std::uint16_t> = "H";
template <>
constexpr const char* kFormat<std::uint32_t> = "I";
template <>
constexpr const char* kFormat<std::int32_t> = "i";

}  // namespace

// ------------------------------------------------------------ inputs

template <std::size_t C>
Array<std::array<double, C>> to_rows(PyObject* o, const char* arg) {
  const std::string expected_shape = "(N, " + std::to_string(C) + ")";
  const std::string expected =
      "an " + expected_shape + " array or a sequence of " + std::to_string(C) + "-sequences";
  Array<std::array<double, C>> rows;
  static_assert(sizeof(std::array<double, C>) == C * sizeof(double));
  const auto prepare = [&](std::size_t n) {
    rows = Array<std::array<double, C>>({n});
    return n ? rows.data()->data() : nullptr;
  };
  if (read_buffer(o, arg, 2, C, expected_shape.c_str(), prepare)) return rows;
  const Ref seq = fast_sequence(o, arg, expected.c_str());
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  rows = Array<std::array<double, C>>({static_cast<std::size_t>(n)});
  for (Py_ssize_t i = 0; i < n; ++i) {
    // A float conversion may run code that changes the list under us.
    if (PySequence_Fast_GET_SIZE(seq.get()) != n) value_error(arg, "changed size while it was read");
    const Ref row = Ref::borrowed(PySequence_Fast_GET_ITEM(seq.get(), i));
    const std::string what = "row " + std::to_string(i);
    if (PyUnicode_Check(row.get()) || PyBytes_Check(row.get()) || !PySequence_Check(row.get()))
      argument_error(arg, what + " is " + type_name(row.get()) + ", expected a sequence of " +
                              std::to_string(C) + " numbers");
    const Ref items(PySequence_Fast(row.get(), "expected a sequence of numbers"));
    if (!items) argument_error(arg);
    const auto size = [&] { return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())); };
    if (size() != C)
      value_error(arg, what + " has " + std::to_string(size()) + " numbers, expected " + std::to_string(C));
    for (std::size_t j = 0; j < C; ++j) {
      if (size() != C) value_error(arg, what + " changed size while it was read");
      const Ref item = Ref::borrowed(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(j)));
      rows[static_cast<std::size_t>(i)][j] = to_f64(item.get(), arg);
    }
  }
  return rows;
}

template Array<std::array<double, 2>> to_rows<2>(PyObject*, const char*);
template Array<std::array<double, 3>> to_rows<3>(PyObject*, const char*);

Array<double> to_numbers(PyObject* o, const char* arg) {
  Array<double> out;
  const auto prepare = [&](std::size_t n) {
    out = Array<double>({n});
    return out.data();
  };
  if (read_buffer(o, arg, 1, 1, "(N,)", prepare)) return out;
  const Ref seq = fast_sequence(o, arg, "a 1-D array or a sequence of numbers");
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out = Array<double>({static_cast<std::size_t>(n)});
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PySequence_Fast_GET_SIZE(seq.get()) != n) value_error(arg, "changed size while it was read");
    const Ref item = Ref::borrowed(PySequence_Fast_GET_ITEM(seq.get(), i));
    out[static_cast<std::size_t>(i)] = to_f64(item.get(), arg);
  }
  return out;
}

Box to_box(PyObject* o, const char* arg) {
  const Array<Point> corners = to_rows<3>(o, arg);
  if (corners.size() != 2)
    value_error(arg, "expected two corners, (xmin, ymin, zmin) and (xmax, ymax, zmax), got " +
                         std::to_string(corners.size()));
  return {corners[0], corners[1]};
}

sample::ZYX to_zyx(PyObject* o, const char* arg) {
  const char* expected = "three non-negative ints (z, y, x)";
  const Ref seq = fast_sequence(o, arg, expected);
  if (PySequence_Fast_GET_SIZE(seq.get()) != 3)
    value_error(arg, std::string("expected ") + expected + ", got " +
                         std::to_string(PySequence_Fast_GET_SIZE(seq.get())) + " values");
  sample::ZYX out{};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    const Ref index(PyNumber_Index(PySequence_Fast_GET_ITEM(seq.get(), i)));
    if (!index) argument_error(arg);
    int overflow = 0;
    const long long signed_value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (signed_value == -1 && PyErr_Occurred()) argument_error(arg);
    if (overflow < 0 || signed_value < 0)
      value_error(arg, std::string("expected ") + expected + ", got a negative value");
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(arg);
    out[static_cast<std::size_t>(i)] = v;
  }
  return out;
}

// ------------------------------------------------------------ results

template <class T>
Ref array_to_py(Array<T>&& a) {
  PyTypeObject* type = native_array_type();
  if (!type) throw PyErrorSet{};
  Ref owner(PyType_GenericAlloc(type, 0));
  if (!owner) throw PyErrorSet{};
  auto* n = reinterpret_cast<NativeArray*>(owner.get());
  n->format = kFormat<T>;
  n->itemsize = sizeof(T);
  n->ndim = static_cast<int>(a.shape().size());
  Py_ssize_t stride = sizeof(T);
  for (int d = n->ndim - 1; d >= 0; --d) {
    n->shape[d] = static_cast<Py_ssize_t>(a.shape()[static_cast<std::size_t>(d)]);
    n->strides[d] = stride;
    stride *= n->shape[d];
  }
  n->free_data = [](void* p) { delete[] static_cast<T*>(p); };
  n->data = a.release();
  Ref view(PyMemoryView_FromObject(owner.get()));
  if (!view) throw PyErrorSet{};
  return view;
}

template Ref array_to_py(Array<double>&&);
template Ref array_to_py(Array<std::uint8_t>&&);
template Ref array_to_py(Array<std::uint16_t>&&);
template Ref array_to_py(Array<std::uint32_t>&&);
template Ref array_to_py(Array<std::int32_t>&&);

Ref array_to_py(PhaseArray&& a) {
  return std::visit([](auto& ids) { return array_to_py(std::move(ids)); }, a);
}

}  // namespace lvx::py
