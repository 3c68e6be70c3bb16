#pragma once
// Process-wide state of the module, never released: the current module, its
// namespace and the strings the binding passes to the interpreter.

#include "platform.hpp"

namespace cy {

struct ModuleState {
  PyObject* module = nullptr;    // the module whose execution step has started
  PyObject* dict = nullptr;      // its namespace
  PyObject* builtins = nullptr;  // the builtins module
  PyObject* str_np = nullptr;
  PyObject* str_empty = nullptr;
  PyObject* str_complex128 = nullptr;
  PyObject* str_double = nullptr;
  PyObject* str_reshape = nullptr;
  PyObject* dtype_kwnames = nullptr;  // ("dtype",)
};

ModuleState& module_state();

}  // namespace cy
