#include "arguments.hpp"

namespace cy {

void raise_arity(const FunctionDef& def, Py_ssize_t given) {
  const Py_ssize_t n = def.param_count();
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name.c_str(),
               "exactly", n, n == 1 ? "" : "s", given);
}

namespace {
void raise_keyword(const char* format, const FunctionDef& def, PyObject* key) {
  PyErr_Format(PyExc_TypeError, format, def.name.c_str(), key);
}

// The parameter a keyword names, by identity first and then by value; -1 if none.
Py_ssize_t find_parameter(const FunctionDef& def, PyObject* key) {
  const Py_ssize_t n = def.param_count();
  for (Py_ssize_t i = 0; i < n; ++i)
    if (def.param_names[i] == key) return i;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyUnicode_Compare(def.param_names[i], key) == 0) return i;
  return -1;
}
}  // namespace

bool match_arguments(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
  const Py_ssize_t n = def.param_count();
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs != n) {
      raise_arity(def, nargs);
      return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = args[i];
    return true;
  }
  if (n == 0) {
    if (nargs > 0) {
      raise_arity(def, nargs);
      return false;
    }
    PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
    if (!PyUnicode_Check(key))
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name.c_str());
    else
      raise_keyword("%s() got an unexpected keyword argument '%U'", def, key);
    return false;
  }
  if (nargs > n) {
    raise_arity(def, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name.c_str());
      return false;
    }
    const Py_ssize_t index = find_parameter(def, key);
    if (index >= 0 && out[index] == nullptr) {
      out[index] = args[nargs + k];
    } else if (index >= 0 && index < nargs) {
      raise_keyword("%s() got multiple values for keyword argument '%U'", def, key);
      return false;
    } else {
      raise_keyword("%s() got an unexpected keyword argument '%U'", def, key);
      return false;
    }
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (out[i] == nullptr) {
      raise_arity(def, i);
      return false;
    }
  }
  return true;
}

}  // namespace cy
