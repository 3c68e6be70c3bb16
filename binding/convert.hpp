#pragma once
// Conversions of Python arguments into engine values. Each returns false with
// a Python exception set when the argument does not convert.

#include <complex>
#include <string>
#include <utility>
#include <vector>

#include "platform.hpp"

namespace cy {

bool convert_int(PyObject* value, int& out);
bool convert_double(PyObject* value, double& out);
bool convert_complex(PyObject* value, std::complex<double>& out);
bool convert_bool(PyObject* value, bool& out);
// str (UTF-8), bytes or bytearray, embedded zero bytes kept. May throw bad_alloc.
bool convert_string(PyObject* value, std::string& out);
// Exactly str, else the argument-type message naming `name` and str.
bool convert_exact_str(PyObject* value, const std::string& name, std::string& out);
// An iterable of integer pairs. May throw bad_alloc.
bool convert_pairs(PyObject* value, std::vector<std::pair<int, int>>& out);

// None, or an instance of `type` or of a subclass; else the argument-type message.
bool check_argument_type(PyObject* value, PyTypeObject* type, const std::string& name);

}  // namespace cy
