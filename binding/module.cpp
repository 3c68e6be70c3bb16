// The module definition and its two-step initialisation.

#define CY_IMPORT_NUMPY
#include "numpy_api.hpp"

#include <cstdint>
#include <string>

#include "errors.hpp"
#include "function.hpp"
#include "module.hpp"
#include "type_table.hpp"
#include "types.hpp"
#include "version_check.hpp"

namespace cy {

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

namespace {

constexpr int no_interpreter = -1;
int64_t first_interpreter = no_interpreter;

// Copies one attribute of the module's import record (its __spec__) into the
// namespace; a missing attribute is skipped.
bool copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to, bool skip_none) {
  PyObject* value = PyObject_GetAttrString(spec, from);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  int status = 0;
  if (!(skip_none && value == Py_None)) status = PyObject_SetAttrString(module, to, value);
  Py_DECREF(value);
  return status == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  if (first_interpreter == no_interpreter) {
    first_interpreter = current;
  } else if (first_interpreter != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  ModuleState& s = module_state();
  if (s.module != nullptr) {
    Py_INCREF(s.module);
    return s.module;
  }
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr) return nullptr;
  if (!copy_spec_attribute(spec, module, "loader", "__loader__", false) ||
      !copy_spec_attribute(spec, module, "origin", "__file__", false) ||
      !copy_spec_attribute(spec, module, "parent", "__package__", false) ||
      !copy_spec_attribute(spec, module, "submodule_search_locations", "__path__", true)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

bool warn_on_version_mismatch() {
  int major = 0, minor = 0;
  platform::running_version(major, minor);
  const std::string warning = version_mismatch_warning(PY_MAJOR_VERSION, PY_MINOR_VERSION, major, minor);
  return warning.empty() || PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) == 0;
}

bool make_strings() {
  ModuleState& s = module_state();
  if (s.dtype_kwnames != nullptr) return true;
  s.str_np = PyUnicode_InternFromString("np");
  s.str_empty = PyUnicode_InternFromString("empty");
  s.str_complex128 = PyUnicode_InternFromString("complex128");
  s.str_double = PyUnicode_InternFromString("double");
  s.str_reshape = PyUnicode_InternFromString("reshape");
  if (!s.str_np || !s.str_empty || !s.str_complex128 || !s.str_double || !s.str_reshape) return false;
  PyObject* dtype = PyUnicode_InternFromString("dtype");
  if (dtype == nullptr) return false;
  s.dtype_kwnames = PyTuple_Pack(1, dtype);
  Py_DECREF(dtype);
  return s.dtype_kwnames != nullptr && ready_function_type() && intern_declared_names();
}

// One type that the binding relies on: present, a type, and at least as
// large as at build time. `warn_if_larger` decides between a warning and
// silence when the running type is larger.
bool check_type(PyObject* module, const char* module_text, const char* type_name, size_t expected,
                bool warn_if_larger) {
  PyObject* object = PyObject_GetAttrString(module, type_name);
  if (object == nullptr) return false;
  if (!PyType_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_text, type_name);
    Py_DECREF(object);
    return false;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(object);
  const Py_ssize_t basic = type->tp_basicsize;
  const Py_ssize_t with_item = basic + type->tp_itemsize;
  Py_DECREF(object);
  const char* text =
      "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from "
      "PyObject";
  if (static_cast<size_t>(with_item) < expected) {
    PyErr_Format(PyExc_ValueError, text, module_text, type_name, static_cast<Py_ssize_t>(expected), with_item);
    return false;
  }
  if (warn_if_larger && static_cast<size_t>(basic) > expected)
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 0, text, module_text, type_name,
                            static_cast<Py_ssize_t>(expected), basic) == 0;
  return true;
}

bool check_binary_compatibility() {
  PyObject* builtins = PyImport_ImportModule("builtins");
  if (builtins == nullptr) return false;
  const bool type_ok = check_type(builtins, "builtins", "type", sizeof(PyHeapTypeObject), true);
  Py_DECREF(builtins);
  if (!type_ok) return false;
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return false;
  struct Expected {
    const char* name;
    size_t size;
    bool warn;
  };
  const Expected types[] = {
      {"dtype", sizeof(PyArray_Descr), false},
      {"flatiter", sizeof(PyArrayIterObject), false},
      {"broadcast", sizeof(PyArrayMultiIterObject), false},
      {"ndarray", sizeof(PyArrayObject_fields), false},
      {"generic", sizeof(PyObject), true},
      {"number", sizeof(PyObject), true},
      {"integer", sizeof(PyObject), true},
      {"signedinteger", sizeof(PyObject), true},
      {"unsignedinteger", sizeof(PyObject), true},
      {"inexact", sizeof(PyObject), true},
      {"floating", sizeof(PyObject), true},
      {"complexfloating", sizeof(PyObject), true},
      {"flexible", sizeof(PyObject), true},
      {"character", sizeof(PyObject), true},
      {"ufunc", sizeof(PyUFuncObject), false},
  };
  bool ok = true;
  for (const Expected& e : types)
    if (!(ok = check_type(numpy, "numpy", e.name, e.size, e.warn))) break;
  Py_DECREF(numpy);
  return ok;
}

bool load_numpy(PyObject* module) {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return false;
  const int status = PyModule_AddObjectRef(module, "np", numpy);
  Py_DECREF(numpy);
  if (status < 0) return false;
  if (_import_array() < 0) {
    if (PyErr_ExceptionMatches(PyExc_Exception))
      platform::raise_chained(PyExc_ImportError, "numpy._core.multiarray failed to import");
    return false;
  }
  return true;
}

bool add_module_functions(PyObject* module) {
  for (const FunctionDef* def : module_functions()) {
    PyObject* function = new_function(*def, nullptr);
    if (function == nullptr) return false;
    const int status = PyModule_AddObjectRef(module, def->name.c_str(), function);
    Py_DECREF(function);
    if (status < 0) return false;
  }
  return true;
}

// Steps 6 on; a failure here gets the module's traceback entry.
bool populate(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* key = PyUnicode_FromString(module_name);
  if (key == nullptr) return false;
  int present = PyDict_Contains(modules, key);
  if (present == 0) present = PyDict_SetItem(modules, key, module) == 0 ? 1 : -1;
  Py_DECREF(key);
  if (present < 0) return false;
  if (!ready_types(module) || !check_binary_compatibility() || !load_numpy(module) || !install_methods() ||
      !add_module_functions(module))
    return false;
  PyObject* test = PyDict_New();
  if (test == nullptr) return false;
  const int status = PyModule_AddObjectRef(module, "__test__", test);
  Py_DECREF(test);
  return status == 0;
}

int exec_module(PyObject* module) {
  ModuleState& s = module_state();
  if (s.module != nullptr) {
    if (s.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'cy_engine' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  s.module = module;
  Py_INCREF(module);
  bool traced = false;
  bool ok = platform::module_set_gil_not_used(module) == 0;
  if (ok) {
    s.dict = PyModule_GetDict(module);
    s.builtins = PyImport_ImportModule("builtins");
    ok = s.builtins != nullptr && PyModule_AddObjectRef(module, "__builtins__", s.builtins) == 0;
  }
  ok = ok && warn_on_version_mismatch() && make_strings();
  if (ok) {
    traced = true;
    ok = populate(module);
  }
  if (ok) return 0;
  if (traced) platform::add_traceback("init load_flow_engine.cy_engine", "load_flow_engine/cy_engine/module.cpp", __LINE__);
  Py_CLEAR(s.builtins);
  s.dict = nullptr;
  Py_CLEAR(s.module);
  return -1;
}

// Threads. The module declares that it needs no GIL; the engine still wants
// one thread at a time on a network and its solver, and no two Newton
// solvers created, solved or queried at once anywhere in the process
// (engine/solvers/solver.hpp). The binding keeps that promise itself: every
// call that crosses into the engine passes one process-wide gate
// (engine_gate.hpp), re-entrant on its own thread, so calls from other
// threads wait; a solve run in a worker thread lets the interpreter lock go
// at its polls, once a switch interval. Deallocation passes no gate: what a
// running call uses is kept alive by it, and with an interpreter lock nothing
// else runs beside it; on a free-threaded runtime, releasing engine objects
// while another thread is inside the engine is the caller's to avoid.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "cy_engine",
    nullptr,  // no docstring
    0,        // state lives in process-wide storage
    nullptr,  // the module function is added by the execution step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace cy

PyMODINIT_FUNC PyInit_cy_engine() { return PyModuleDef_Init(&cy::module_def); }
