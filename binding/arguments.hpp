#pragma once
// Matches the arguments of a call to the declared parameters.

#include "registry.hpp"

namespace cy {

// Fills out[0 .. N-1] (borrowed) from positional arguments and keywords
// (vectorcall convention: keyword values follow the positional ones). On a
// mismatch sets the TypeError of the matching rule and returns false.
bool match_arguments(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);

// The arity message: "<name>() takes exactly N positional argument(s) (G given)".
void raise_arity(const FunctionDef& def, Py_ssize_t given);

}  // namespace cy
