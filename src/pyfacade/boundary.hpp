// The interpreter boundary shared by every Python-facing function: owned
// references, argument conversion, the making of results, error mapping and
// the release of the interpreter lock around long core work. The record of
// each function and the binding of its arguments are in binding.hpp.
//
// Locks. A call runs with the interpreter lock while it converts its
// arguments and builds its result; work that grows with its input runs in
// released() without it. The lock order is: the interpreter lock, then the
// registry's lock (then the tier maps' locks, see data_loader.hpp); never the
// reverse. The registry's locks are taken only inside core operations, which
// never wait for the interpreter lock while they hold one: Python objects are
// made from an entry after its lookup has returned (the entry stays alive
// through its shared pointer, and is never changed in place, so a concurrent
// py_save cannot tear it), and no loop polls for an interrupt (whose checker
// takes the interpreter lock) under a registry lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/geometry.hpp"
#include "core/interrupt.hpp"
#include "core/json.hpp"
#include "core/parallel.hpp"

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

// ------------------------------------------------------------ conversion
// Each raises TypeError "argument 'NAME': reason" (other exception classes,
// such as OverflowError or UnicodeEncodeError, pass unchanged) and throws
// PyErrorSet.

std::string_view to_str(PyObject* o, const char* arg);
double to_f64(PyObject* o, const char* arg);
bool to_bool(PyObject* o, const char* arg);
std::uint64_t to_u64(PyObject* o, const char* arg);
Point to_point3(PyObject* o, const char* arg);                       // a tuple of three numbers
Box to_bounds(PyObject* o, const char* arg);                         // a tuple of two such tuples
std::vector<std::string> to_str_list(PyObject* o, const char* arg);  // a sequence of str, not a str

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
// Every result is made by the constructors and builders below. They are for
// function bodies: when an object cannot be made they leave its exception
// set and throw PyErrorSet.

Ref new_str(std::string_view s);
Ref new_float(double v);
template <std::integral T>
Ref new_int(T v) {
  Ref r;
  if constexpr (std::is_signed_v<T>)
    r = Ref(PyLong_FromLongLong(v));
  else
    r = Ref(PyLong_FromUnsignedLongLong(v));
  if (!r) throw PyErrorSet{};
  return r;
}
// A registry value: null, booleans, numbers (64-bit integers as int), text,
// arrays as lists and objects as dicts in their members' order. A non-finite
// number, written as null in JSON text, becomes None.
Ref value_to_py(const Json& v);

namespace detail {
// The object of one value given to a builder: a number, text, a registry
// value, a new object (Ref) or a borrowed one (PyObject*).
inline Ref object_of(Ref&& owned) {
  if (!owned) throw PyErrorSet{};
  return std::move(owned);
}
inline Ref object_of(PyObject* borrowed) {
  if (!borrowed) throw PyErrorSet{};
  return Ref::borrowed(borrowed);
}
inline Ref object_of(double v) {
  return new_float(v);
}
inline Ref object_of(std::string_view s) {
  return new_str(s);
}
template <std::integral T>
Ref object_of(T v) {
  return new_int(v);
}
template <class T>
requires std::same_as<T, Json> Ref object_of(const T& v) {
  return value_to_py(v);
}
inline void set_item(PyObject* dict, PyObject* key, const Ref& value) {
  if (PyDict_SetItem(dict, key, value.get()) < 0) throw PyErrorSet{};
}
}  // namespace detail

template <class... V>
Ref tuple_of(V&&... values) {
  Ref tuple(PyTuple_New(sizeof...(V)));
  if (!tuple) throw PyErrorSet{};
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(tuple.get(), i++, detail::object_of(std::forward<V>(values)).release()), ...);
  return tuple;
}

template <class R>
Ref list_of(const R& items) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) throw PyErrorSet{};
  Py_ssize_t i = 0;
  for (const auto& item : items) PyList_SET_ITEM(list.get(), i++, detail::object_of(item).release());
  return list;
}

// A dict of computed keys: the (key, value) pairs in their order.
template <class R>
Ref dict_of(const R& pairs) {
  Ref dict(PyDict_New());
  if (!dict) throw PyErrorSet{};
  for (const auto& [key, value] : pairs)
    detail::set_item(dict.get(), detail::object_of(key).get(), detail::object_of(value));
  return dict;
}

// The fixed keys of one kind of result record, in their order. They are
// interned on first use and kept for the life of the process (the
// interpreter lock guards the first use).
template <std::size_t N>
class RecordKeys {
 public:
  template <class... S>
  explicit constexpr RecordKeys(S... names) : names_{names...} {}

  const std::array<PyObject*, N>& get() {
    if (!ready_) {
      std::array<PyObject*, N> keys{};
      for (std::size_t i = 0; i < N; ++i) {
        keys[i] = PyUnicode_InternFromString(names_[i]);
        if (!keys[i]) {  // nothing partial is kept; a later call tries again
          for (PyObject* k : keys) Py_XDECREF(k);
          throw PyErrorSet{};
        }
      }
      keys_ = keys;
      ready_ = true;
    }
    return keys_;
  }

 private:
  std::array<const char*, N> names_;
  std::array<PyObject*, N> keys_{};
  bool ready_ = false;
};
template <class... S>
RecordKeys(S...) -> RecordKeys<sizeof...(S)>;

// A dict of every key of a record, in order: the first values are `values`,
// the others None.
template <std::size_t N, class... V>
Ref record(RecordKeys<N>& keys, V&&... values) {
  static_assert(sizeof...(V) <= N);
  const std::array<PyObject*, N>& k = keys.get();
  Ref dict(PyDict_New());
  if (!dict) throw PyErrorSet{};
  std::size_t i = 0;
  (detail::set_item(dict.get(), k[i++], detail::object_of(std::forward<V>(values))), ...);
  for (; i < N; ++i) detail::set_item(dict.get(), k[i], Ref::borrowed(Py_None));
  return dict;
}

// A list of `count` records of the same keys, built one at a time. Each is a
// copy of a template record that already holds every key in order (and the
// values the records made from it share), which is much cheaper than
// inserting the keys one by one; the copy then only has its own values
// replaced. A long list polls for an interrupt as it grows, which also lets
// other threads run now and then (see check_interrupt).
template <std::size_t N>
class RecordList {
 public:
  RecordList(RecordKeys<N>& keys, std::size_t count)
      : keys_(keys.get()), list_(PyList_New(static_cast<Py_ssize_t>(count))) {
    if (!list_) throw PyErrorSet{};
    // Other threads may run while it is built: unreachable by the collector's
    // object lists, its empty slots are seen by no one.
    PyObject_GC_UnTrack(list_.get());
  }

  // Appends a copy of `tpl` (made by record() with the same keys) whose last
  // values are `values`.
  template <class... V>
  void add(const Ref& tpl, V&&... values) {
    static_assert(sizeof...(V) <= N);
    if (next_ == PyList_GET_SIZE(list_.get())) panic("RecordList: more records than counted");
    meter_.add(1);
    Ref dict(PyDict_Copy(tpl.get()));
    if (!dict) throw PyErrorSet{};
    std::size_t i = N - sizeof...(V);
    (detail::set_item(dict.get(), keys_[i++], detail::object_of(std::forward<V>(values))), ...);
    PyList_SET_ITEM(list_.get(), next_++, dict.release());
  }

  Ref release() {
    if (next_ != PyList_GET_SIZE(list_.get())) panic("RecordList: fewer records than counted");
    PyObject_GC_Track(list_.get());
    return std::move(list_);
  }

 private:
  // The new dicts cannot form cycles, so the collector has nothing to find
  // while they are built; without the pause it would rescan the growing list
  // every few hundred dicts. Declared first: it outlives the list's making.
  struct GcPause {
    int was_enabled = PyGC_Disable();
    ~GcPause() {
      if (was_enabled) PyGC_Enable();
    }
  } gc_pause_;
  const std::array<PyObject*, N>& keys_;
  Ref list_;
  Py_ssize_t next_ = 0;
  PollMeter meter_{64};
};

// ------------------------------------------------------------ long work

// The interrupt checker the boundary installs for every call (see
// core/interrupt.hpp). On the main thread it runs the interpreter's pending
// signal handlers, taking the interpreter lock for that when the call has
// released it; a handler that raises (KeyboardInterrupt for Ctrl-C) stops the
// call, its exception left pending for the call to raise. A call that holds
// the lock hands it to any thread that waits for it, as the interpreter's own
// loop does, so that building a long result does not freeze other threads.
bool check_interrupt(void*) noexcept;

// Registers the exit function that keeps calls' threads from being ended
// inside them while the interpreter shuts down (see boundary.cpp). False with
// the exception set when that fails.
bool register_exit_hook();

// The worker count of one call: LUMIVAREX_NUM_THREADS, read when made (the
// environment changes only under the interpreter lock), for as long as it
// lives. An invalid value is ignored with one RuntimeWarning per process
// (PyErrorSet when warnings are errors).
class CoreThreads {
 public:
  CoreThreads();

 private:
  WorkerLimit limit_;
};

// Releases the interpreter lock while it lives. The calling thread must hold
// it; nothing in its scope may touch a Python object.
class GilRelease {
 public:
  GilRelease() noexcept;
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
  PyThreadState* outer_;
};

// Runs core work f() and returns its result; when `long_work`, with the
// call's worker count (CoreThreads) and without the interpreter lock (short
// work never starts workers). f must
// only use converted (C++) values; its exceptions pass through, the lock
// taken back first. Short work keeps the lock: releasing it costs more than
// such work, and while another thread runs Python the call would wait for
// that thread's switch interval to get the lock back. Work that writes files
// always releases it (as the interpreter's own file writes do): a file
// system may block for any time.
template <class F>
decltype(auto) released(bool long_work, F&& f) {
  if (!long_work) return std::forward<F>(f)();
  const CoreThreads threads;
  const GilRelease release;
  return std::forward<F>(f)();
}
template <class F>
decltype(auto) released(F&& f) {
  return released(true, std::forward<F>(f));
}

// ------------------------------------------------------------ errors

// The PanicException class (created once per process).
PyObject* panic_exception_type();

// Runs a function body: OpError becomes `error_class` with the message,
// Panic becomes PanicException (with a diagnostic on standard error),
// PyErrorSet and Interrupted keep the pending exception, bad_alloc becomes
// MemoryError.
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
  } catch (const Interrupted&) {
    // The checker left the signal handler's exception pending.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
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
