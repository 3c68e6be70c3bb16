#pragma once
// The function objects of methods and of the module function: they carry
// their names, their signature text as __doc__ and __text_signature__ for
// introspection, and bind an instance as `self` like a method descriptor.

#include "registry.hpp"

namespace cy {

bool ready_function_type();

// A new function object for `def`; `owner` is the defining type of a method
// (null for the module function).
PyObject* new_function(const FunctionDef& def, PyTypeObject* owner);

}  // namespace cy
