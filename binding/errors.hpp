#pragma once
// Engine exceptions become Python exceptions at the boundary of every call,
// and a failing call adds its traceback entry.

#include "registry.hpp"

namespace cy {

// Thrown after a Python exception has been set: the boundary keeps that
// exception (a pending Python exception always wins over the C++ one).
struct PythonError {};

// Sets `type` with the formatted message (PyUnicode_FromFormat directives)
// and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Call inside a catch handler: turns the exception in flight into the
// matching Python exception, unless one is already pending.
void translate_engine_exception();

// Adds the traceback entry of a failing definition.
void add_traceback(const FunctionDef& def);

}  // namespace cy
