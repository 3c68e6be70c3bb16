#include "convert.hpp"

#include <algorithm>
#include <climits>

namespace cy {
namespace {

// A new reference released on every way out, exceptions included.
struct Owned {
  PyObject* object;
  ~Owned() { Py_XDECREF(object); }
};

bool long_to_int(PyObject* number, int& out) {
  const long v = PyLong_AsLong(number);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < INT_MIN || v > INT_MAX) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", "int");
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

void raise_unpack_count(Py_ssize_t count) {
  if (count > 2)
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
  else
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count, count == 1 ? "" : "s");
}

// Two values out of an item that is no exact tuple or list.
bool unpack_iterated(PyObject* item, PyObject*& first, PyObject*& second) {
  PyObject* it = PyObject_GetIter(item);
  if (it == nullptr) return false;
  PyObject* values[2] = {nullptr, nullptr};
  Py_ssize_t count = 0;
  bool ok = true;
  for (; count < 2; ++count) {
    values[count] = PyIter_Next(it);
    if (values[count] == nullptr) break;
  }
  if (count < 2) {
    ok = false;
    if (!PyErr_Occurred()) raise_unpack_count(count);
  } else {
    PyObject* extra = PyIter_Next(it);
    if (extra != nullptr) {
      Py_DECREF(extra);
      raise_unpack_count(3);
      ok = false;
    } else if (PyErr_Occurred()) {
      ok = false;
    }
  }
  Py_DECREF(it);
  if (!ok) {
    Py_XDECREF(values[0]);
    Py_XDECREF(values[1]);
    return false;
  }
  first = values[0];
  second = values[1];
  return true;
}

bool convert_pair(PyObject* item, std::vector<std::pair<int, int>>& out) {
  PyObject* first;
  PyObject* second;
  if (PyTuple_CheckExact(item)) {
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2) {
      raise_unpack_count(size);
      return false;
    }
    first = PyTuple_GET_ITEM(item, 0);
    second = PyTuple_GET_ITEM(item, 1);
    Py_INCREF(first);
    Py_INCREF(second);
  } else if (PyList_CheckExact(item)) {
    const Py_ssize_t size = PyList_GET_SIZE(item);
    if (size != 2) {
      raise_unpack_count(size);
      return false;
    }
    first = platform::list_item_ref(item, 0);
    second = platform::list_item_ref(item, 1);
    if (first == nullptr || second == nullptr) {  // shrunk by another thread
      Py_XDECREF(first);
      raise_unpack_count(first == nullptr ? 0 : 1);
      return false;
    }
  } else if (!unpack_iterated(item, first, second)) {
    return false;
  }
  int i = 0, j = 0;
  const bool ok = convert_int(first, i) && convert_int(second, j);
  Py_DECREF(first);
  Py_DECREF(second);
  if (!ok) return false;
  out.emplace_back(i, j);
  return true;
}

}  // namespace

bool convert_int(PyObject* value, int& out) {
  if (PyLong_Check(value)) return long_to_int(value, out);
  PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return false;
  }
  PyObject* result = number->nb_int(value);
  if (result == nullptr) return false;
  if (!PyLong_CheckExact(result)) {
    if (!PyLong_Check(result)) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
      Py_DECREF(result);
      return false;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
                         "subclass of int is deprecated, and may be removed in a future version of Python.",
                         Py_TYPE(result)->tp_name) < 0) {
      Py_DECREF(result);
      return false;
    }
  }
  const bool ok = long_to_int(result, out);
  Py_DECREF(result);
  return ok;
}

bool convert_double(PyObject* value, double& out) {
  if (PyFloat_CheckExact(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return true;
  }
  out = PyFloat_AsDouble(value);
  return !(out == -1.0 && PyErr_Occurred());
}

bool convert_complex(PyObject* value, std::complex<double>& out) {
  Py_complex c;
  if (PyComplex_CheckExact(value)) {
    c = reinterpret_cast<PyComplexObject*>(value)->cval;
  } else {
    c = PyComplex_AsCComplex(value);
    if (c.real == -1.0 && PyErr_Occurred()) return false;
  }
  out = std::complex<double>(c.real, c.imag);
  return true;
}

bool convert_bool(PyObject* value, bool& out) {
  if (value == Py_True) {
    out = true;
  } else if (value == Py_False || value == Py_None) {
    out = false;
  } else {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
  }
  return true;
}

bool convert_string(PyObject* value, std::string& out) {
  const char* data;
  Py_ssize_t size;
  if (PyUnicode_Check(value)) {
    data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;
  } else if (PyByteArray_Check(value)) {
    data = PyByteArray_AS_STRING(value);
    size = PyByteArray_GET_SIZE(value);
  } else {
    char* bytes;
    if (PyBytes_AsStringAndSize(value, &bytes, &size) < 0) return false;
    data = bytes;
  }
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool convert_exact_str(PyObject* value, const std::string& name, std::string& out) {
  if (Py_TYPE(value) != &PyUnicode_Type) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name.c_str(),
                 "str", Py_TYPE(value)->tp_name);
    return false;
  }
  const Owned encoded{PyUnicode_AsUTF8String(value)};
  return encoded.object != nullptr && convert_string(encoded.object, out);
}

bool convert_pairs(PyObject* value, std::vector<std::pair<int, int>>& out) {
  // A claimed length is only a hint: the iteration decides the size, and
  // no more is reserved than a caller could plausibly pass.
  constexpr Py_ssize_t most_reserved = 1024;
  const Py_ssize_t hint = PyObject_LengthHint(value, 0);
  if (hint < 0) return false;
  out.reserve(static_cast<size_t>(std::min(hint, most_reserved)));
  if (PyList_CheckExact(value)) {
    for (Py_ssize_t i = 0;; ++i) {
      const Owned item{platform::list_item_ref(value, i)};
      if (item.object == nullptr) return true;
      if (!convert_pair(item.object, out)) return false;
    }
  }
  if (PyTuple_CheckExact(value)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i)
      if (!convert_pair(PyTuple_GET_ITEM(value, i), out)) return false;
    return true;
  }
  const Owned it{PyObject_GetIter(value)};
  if (it.object == nullptr) return false;
  while (true) {
    const Owned item{PyIter_Next(it.object)};
    if (item.object == nullptr) return !PyErr_Occurred();
    if (!convert_pair(item.object, out)) return false;
  }
}

bool check_argument_type(PyObject* value, PyTypeObject* type, const std::string& name) {
  if (value == Py_None || PyObject_TypeCheck(value, type)) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name.c_str(),
               type->tp_name, Py_TYPE(value)->tp_name);
  return false;
}

}  // namespace cy
