#include "pyfacade/boundary.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace lvx::py {

// ------------------------------------------------------------ conversion

std::string type_name(PyObject* o) {
  return Py_TYPE(o)->tp_name ? Py_TYPE(o)->tp_name : "object";
}

void argument_error(const char* arg) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    Ref text(v ? PyObject_Str(v.get()) : nullptr);
    PyErr_Clear();
    if (text)
      PyErr_Format(PyExc_TypeError, "argument '%s': %U", arg, text.get());
    else
      PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", arg);
  }
  throw PyErrorSet{};
}

void argument_error(const char* arg, const std::string& reason) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", arg, reason.c_str());
  throw PyErrorSet{};
}

std::string_view to_str(PyObject* o, const char* arg) {
  if (!PyUnicode_Check(o)) argument_error(arg, "expected str, got " + type_name(o));
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (!s) argument_error(arg);
  return {s, static_cast<std::size_t>(len)};
}

double to_f64(PyObject* o, const char* arg) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) argument_error(arg);
  return v;
}

bool to_bool(PyObject* o, const char* arg) {
  if (!PyBool_Check(o)) argument_error(arg, "expected bool, got " + type_name(o));
  return o == Py_True;
}

std::uint64_t to_u64(PyObject* o, const char* arg) {
  Ref idx(PyNumber_Index(o));
  if (!idx) argument_error(arg);
  const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(arg);
  return static_cast<std::uint64_t>(v);
}

Point to_point3(PyObject* o, const char* arg) {
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 3)
    argument_error(arg, "expected a tuple of 3 numbers, got " + type_name(o));
  Point p{};
  for (Py_ssize_t i = 0; i < 3; ++i) p[static_cast<std::size_t>(i)] = to_f64(PyTuple_GET_ITEM(o, i), arg);
  return p;
}

Box to_bounds(PyObject* o, const char* arg) {
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 2)
    argument_error(arg, "expected a tuple of two (x, y, z) tuples, got " + type_name(o));
  Box b{};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* corner = PyTuple_GET_ITEM(o, i);
    if (!PyTuple_Check(corner) || PyTuple_GET_SIZE(corner) != 3)
      argument_error(arg, "expected a tuple of two (x, y, z) tuples, got a " + type_name(corner) +
                              " as corner " + std::to_string(i));
    b[static_cast<std::size_t>(i)] = to_point3(corner, arg);
  }
  return b;
}

std::vector<std::string> to_str_list(PyObject* o, const char* arg) {
  return to_list<std::string>(o, arg, "str", [arg](PyObject* item) -> std::optional<std::string> {
    if (!PyUnicode_Check(item)) return std::nullopt;
    return std::string(to_str(item, arg));
  });
}

// ------------------------------------------------------------ results

Ref new_str(std::string_view s) {
  Ref r(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
  if (!r) throw PyErrorSet{};
  return r;
}

Ref new_float(double v) {
  Ref r(PyFloat_FromDouble(v));
  if (!r) throw PyErrorSet{};
  return r;
}

Ref value_to_py(const Json& v) {
  using T = Json::value_t;
  switch (v.type()) {
    case T::null:
    case T::discarded:
      return Ref::borrowed(Py_None);
    case T::boolean:
      return Ref::borrowed(v.get<bool>() ? Py_True : Py_False);
    case T::number_unsigned:
      return new_int(v.get<std::uint64_t>());
    case T::number_integer:
      return new_int(v.get<std::int64_t>());
    case T::number_float: {
      const double d = v.get<double>();
      return std::isfinite(d) ? new_float(d) : Ref::borrowed(Py_None);
    }
    case T::string:
      return new_str(v.get_ref<const std::string&>());
    case T::array:
      return list_of(v.get_ref<const Json::array_t&>());
    case T::object:
      return dict_of(v.get_ref<const Json::object_t&>());
    case T::binary:
      break;
  }
  PyErr_SetString(PyExc_ValueError, "json serialise: binary values cannot be written as JSON");
  throw PyErrorSet{};
}

// ------------------------------------------------------------ long work

namespace {

// The thread state of a call of this thread that released the interpreter
// lock (GilRelease), null while the thread holds it.
thread_local PyThreadState* t_released = nullptr;

// Once the interpreter shuts down, a thread other than the one shutting it
// down that takes the lock back is ended by the interpreter (pthread_exit)
// right there, unwinding through our frames: objects being built would be
// released without the lock, and a noexcept frame would abort the process.
// So from the moment the interpreter calls its exit functions (on_exit below,
// before it starts to end threads) a call's thread does not take the lock
// back: it waits there for the process to end, as the interpreter's own
// threads are made to. The thread that shuts the interpreter down (which may
// still call us from a later exit function) goes on as ever.
std::atomic<PyThreadState*> g_exiting{nullptr};  // the shutting-down thread
std::atomic<int> g_reacquiring{0};               // threads between the check and the lock

void reacquire(PyThreadState* state) {
  g_reacquiring.fetch_add(1);
  if (PyThreadState* exiting = g_exiting.load(); exiting != nullptr && exiting != state) {
    g_reacquiring.fetch_sub(1);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  PyEval_RestoreThread(state);
  g_reacquiring.fetch_sub(1);
}

// An atexit function: the interpreter calls it with the lock held, before it
// ends any thread. Threads on their way to the lock get it before we return.
PyObject* on_exit(PyObject*, PyObject*) noexcept {
  g_exiting.store(PyThreadState_Get());
  Py_BEGIN_ALLOW_THREADS;
  while (g_reacquiring.load() > 0) std::this_thread::yield();
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}
PyMethodDef kOnExit = {"_lumivarex_core_exit", on_exit, METH_NOARGS, nullptr};

// Signal handlers run on the main thread only: elsewhere there is nothing
// to ask the interpreter while the lock is released. (The interpreter's main
// thread is the process's, unless it was embedded from another one; there
// Ctrl-C waits for the end of the call, as it always did.)
bool on_main_thread() noexcept {
  static thread_local const bool main = ::gettid() == ::getpid();
  return main;
}

}  // namespace

bool register_exit_hook() {
  Ref hook(PyCFunction_New(&kOnExit, nullptr));
  Ref atexit(hook ? PyImport_ImportModule("atexit") : nullptr);
  Ref done(atexit ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get()) : nullptr);
  return bool(done);
}

bool check_interrupt(void*) noexcept {
  if (PyThreadState* state = t_released) {
    if (!on_main_thread()) return false;
    reacquire(state);
    const bool stop = PyErr_CheckSignals() != 0;
    PyEval_SaveThread();
    return stop;
  }
  if (PyErr_CheckSignals() != 0) return true;
  reacquire(PyEval_SaveThread());  // a thread that waits for the lock takes it here
  return false;
}

CoreThreads::CoreThreads()
    : limit_([] {
        const char* value = std::getenv(kThreadsVariable);
        const WorkerSetting setting = worker_setting(value);
        static bool warned = false;  // guarded by the interpreter lock
        if (setting.invalid && !warned) {
          warned = true;
          Ref text(PyUnicode_DecodeFSDefault(value));
          if (!text || PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                        "%s=%R is not a positive integer and is ignored: the native "
                                        "core uses every processor",
                                        kThreadsVariable, text.get()) < 0)
            throw PyErrorSet{};
        }
        return setting.workers;
      }()) {}

GilRelease::GilRelease() noexcept : outer_(t_released) {
  state_ = PyEval_SaveThread();
  t_released = state_;
}

GilRelease::~GilRelease() {
  t_released = outer_;
  reacquire(state_);
}

// ------------------------------------------------------------ errors

PyObject* panic_exception_type() {
  static PyObject* type = [] {
    return PyErr_NewExceptionWithDoc(
        "lumivarex._lumivarex_core.PanicException",
        "Raised when a call breaks a precondition of the native core (an empty required name,\n"
        "an implausible formula count, ...). Derives from BaseException, so `except Exception`\n"
        "does not catch it.",
        PyExc_BaseException, nullptr);
  }();
  return type;
}

void raise_op_error(PyObject* error_class, std::string_view message) {
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(error_class, text.get());
}

void write_stderr_line(std::string_view prefix, std::string_view text) {
  // Written by length: a name in the text may hold a NUL.
  std::fwrite(prefix.data(), 1, prefix.size(), stderr);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void raise_panic(std::string_view message) {
  write_stderr_line("lumivarex_core: assertion failed: ", message);
  PyObject* type = panic_exception_type();
  if (!type) return;  // creating the class failed; its exception is set
  raise_op_error(type, message);
}

}  // namespace lvx::py
