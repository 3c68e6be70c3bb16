#pragma once
// What differs between the interpreter versions the module is built for.
// The module targets the free-threaded 3.15 runtime but builds against any
// 3.11+ headers: calls that only newer runtimes have are made where the
// headers provide them and fall back to doing nothing (or to the older
// equivalent) elsewhere. Nothing outside this header tests PY_VERSION_HEX.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdio>

#if PY_VERSION_HEX >= 0x030D0000
// Still exported, but only declared by the interpreter's internal headers.
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char*, const char*, int);
#endif
// Exported for the signal module; 3.11's intrcheck.h declares it, and the
// same declaration again is harmless where a header still does.
extern "C" PyAPI_FUNC(int) _PyOS_IsMainThread(void);

namespace cy::platform {

// The module's declaration that it runs without the GIL (3.13+ free-threaded);
// what it does in its place to keep engine calls apart is told where the
// module declares its slots (module.cpp).
inline int module_set_gil_not_used(PyObject* module) {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030D0000
  return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
  (void)module;
  return 0;
#endif
}

// Keeps calls from many threads from contending on one reference count (3.14+).
inline void enable_deferred_refcount(PyObject* op) {
#if PY_VERSION_HEX >= 0x030E0000
  (void)PyUnstable_Object_EnableDeferredRefcount(op);
#else
  (void)op;
#endif
}

// The running interpreter's major and minor version.
inline void running_version(int& major, int& minor) {
#if PY_VERSION_HEX >= 0x030B0000
  major = static_cast<int>((Py_Version >> 24) & 0xFF);
  minor = static_cast<int>((Py_Version >> 16) & 0xFF);
#else
  major = minor = 0;
  std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
#endif
}

// A new reference to item i of a list, or null once i is past its current
// end; the list may change under another thread while it is read.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* item = PyList_GetItemRef(list, i);
  if (item == nullptr) PyErr_Clear();
  return item;
#else
  if (i >= PyList_GET_SIZE(list)) return nullptr;
  PyObject* item = PyList_GET_ITEM(list, i);
  Py_INCREF(item);
  return item;
#endif
}

// Whether the calling thread is the one that runs the signal handlers (the
// main thread of the main interpreter), where PyErr_CheckSignals acts.
inline bool is_main_thread() { return _PyOS_IsMainThread() != 0; }

namespace detail {
inline thread_local bool interpreter_lost = false;
struct LossWatch {
  bool returned = false;
  ~LossWatch() {
    if (!returned) interpreter_lost = true;
  }
};
}  // namespace detail

// Takes the interpreter back after PyEval_SaveThread. On 3.11 to 3.13 a
// thread that finds the interpreter finalising leaves it here for good, by
// forced unwinding: every catch-all on the way rethrows that, and the
// destructors met on the way leave Python objects alone (interpreter_lost).
inline void restore_thread(PyThreadState* state) {
  detail::LossWatch watch;
  PyEval_RestoreThread(state);
  watch.returned = true;
}

// True in a thread that is being unwound out of restore_thread: it no longer
// holds the interpreter, so Python objects it holds are left as they are.
inline bool interpreter_lost() { return detail::interpreter_lost; }

// The interpreter's switch interval (sys.getswitchinterval()).
inline std::chrono::microseconds switch_interval() {
#if PY_VERSION_HEX < 0x030D0000
  return std::chrono::microseconds(_PyEval_GetSwitchInterval());
#else
  PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed
  PyObject* seconds = get != nullptr ? PyObject_CallNoArgs(get) : nullptr;
  const double value = seconds != nullptr ? PyFloat_AsDouble(seconds) : -1.0;
  Py_XDECREF(seconds);
  if (!(value > 0.0)) {
    PyErr_Clear();
    return std::chrono::microseconds(5000);
  }
  return std::chrono::microseconds(static_cast<long long>(value * 1e6));
#endif
}

// Lets another thread that waits for the interpreter take it, from a thread
// that runs without giving it up. A waiter asks for the interpreter once a
// switch interval passes without a switch, and a release it asked for
// hands the interpreter over; a release before that restarts its wait and
// the interpreter goes back to this thread. So it is released only once a
// switch interval and a bit have passed since this thread last did.
inline void offer_interpreter() {
  using Clock = std::chrono::steady_clock;
  static thread_local Clock::time_point last_release;
  const Clock::time_point now = Clock::now();
  if (now - last_release < switch_interval() + std::chrono::milliseconds(1)) return;
  last_release = now;
  restore_thread(PyEval_SaveThread());
}

// Adds one entry to the traceback of the pending exception.
inline void add_traceback(const char* function, const char* file, int line) {
  _PyTraceback_Add(function, file, line);
}

// Sets the pending exception aside for the lifetime of the object.
class StashedException {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  StashedException() : exc_(PyErr_GetRaisedException()) {}
  ~StashedException() { PyErr_SetRaisedException(exc_); }
#else
  StashedException() { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~StashedException() { PyErr_Restore(type_, value_, traceback_); }
#endif
  StashedException(const StashedException&) = delete;
  StashedException& operator=(const StashedException&) = delete;

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc_;
#else
  PyObject* type_;
  PyObject* value_;
  PyObject* traceback_;
#endif
};

// Raises ImportError with `message`, the pending exception becoming its context.
inline void raise_chained(PyObject* type, const char* message) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* cause = PyErr_GetRaisedException();
#else
  PyObject *cause_type, *cause, *cause_tb;
  PyErr_Fetch(&cause_type, &cause, &cause_tb);
  PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
  if (cause_tb != nullptr) PyException_SetTraceback(cause, cause_tb);
  Py_XDECREF(cause_type);
  Py_XDECREF(cause_tb);
#endif
  PyErr_SetString(type, message);
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  PyException_SetContext(exc, cause);  // steals cause
  PyErr_SetRaisedException(exc);
#else
  PyObject *type_, *exc, *tb;
  PyErr_Fetch(&type_, &exc, &tb);
  PyErr_NormalizeException(&type_, &exc, &tb);
  PyException_SetContext(exc, cause);  // steals cause
  PyErr_Restore(type_, exc, tb);
#endif
}

// A zeroed static type with the object header that static types start with.
inline PyTypeObject static_type_prototype() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
  PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
  return type;
}

// The namespace dictionary of a static type (borrowed).
inline PyObject* type_dict(PyTypeObject* type) { return type->tp_dict; }

}  // namespace cy::platform
