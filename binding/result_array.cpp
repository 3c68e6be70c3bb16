#include "result_array.hpp"

#include <climits>
#include <cstdint>

#include "buffer.hpp"
#include "module.hpp"
#include "numpy_api.hpp"

namespace cy {
namespace {

// `np` from the module namespace, else from the builtins (a new reference).
PyObject* lookup_np() {
  ModuleState& s = module_state();
  PyObject* np = PyDict_GetItemWithError(s.dict, s.str_np);
  if (np != nullptr) {
    Py_INCREF(np);
    return np;
  }
  if (PyErr_Occurred()) return nullptr;
  np = PyObject_GetAttr(s.builtins, s.str_np);
  if (np == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", s.str_np);
  }
  return np;
}

PyObject* attribute_of_np(PyObject* name) {
  PyObject* np = lookup_np();
  if (np == nullptr) return nullptr;
  PyObject* attribute = PyObject_GetAttr(np, name);
  Py_DECREF(np);
  return attribute;
}

PyObject* call_empty(Py_ssize_t size, ResultDtype dtype) {
  ModuleState& s = module_state();
  PyObject* empty = attribute_of_np(s.str_empty);
  if (empty == nullptr) return nullptr;
  PyObject* shape = Py_BuildValue("(n)", size);
  PyObject* type = shape != nullptr
                       ? attribute_of_np(dtype == ResultDtype::complex128 ? s.str_complex128 : s.str_double)
                       : nullptr;
  PyObject* result = nullptr;
  if (type != nullptr) {
    PyObject* args[] = {shape, type};
    result = PyObject_Vectorcall(empty, args, 1, s.dtype_kwnames);
  }
  Py_XDECREF(type);
  Py_XDECREF(shape);
  Py_DECREF(empty);
  return result;
}

}  // namespace

ResultArray::~ResultArray() {
  if (platform::interpreter_lost()) return;
  if (held_) PyBuffer_Release(&view_);
  Py_XDECREF(array_);
}

bool ResultArray::make(Py_ssize_t size, ResultDtype dtype, Py_ssize_t written) {
  array_ = call_empty(size, dtype);
  if (array_ == nullptr) return false;
  if (written < 0) written = 0;
  if (array_ == Py_None) {
    // No array to write to: acceptable only when nothing is written.
    if (written == 0) return true;
    PyErr_Format(PyExc_ValueError, "np.empty returned None, but %zd entries are written", written);
    return false;
  }
  if (!PyObject_TypeCheck(array_, &PyArray_Type)) {
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(array_)->tp_name,
                 PyArray_Type.tp_name);
    return false;
  }
  if (PyObject_GetBuffer(array_, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) return false;
  const ItemSpec item = dtype == ResultDtype::complex128
                            ? ItemSpec{"double complex", ItemKind::complex, sizeof(double) * 2}
                            : ItemSpec{"double", ItemKind::real, sizeof(double)};
  if (!check_buffer_item(view_, item)) return false;
  held_ = true;
  const Py_ssize_t length = view_.shape[0];
  if (view_.readonly) {
    PyErr_SetString(PyExc_ValueError, "the result array made by np.empty is not writable");
    return false;
  }
  if (length > 1 && view_.strides[0] != view_.itemsize) {
    PyErr_SetString(PyExc_ValueError, "the result array made by np.empty is not contiguous");
    return false;
  }
  // The engine writes whole doubles: a rebound np.empty may give a view at any offset.
  if (length > 0 && reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
    PyErr_SetString(PyExc_ValueError, "the result array made by np.empty is not aligned");
    return false;
  }
  if (length < written) {
    PyErr_Format(PyExc_ValueError, "the result array made by np.empty holds %zd entries, but %zd are written", length,
                 written);
    return false;
  }
  return true;
}

PyObject* ResultArray::release() {
  if (held_) PyBuffer_Release(&view_);
  held_ = false;
  PyObject* array = array_;
  array_ = nullptr;
  return array;
}

bool check_square_size(Py_ssize_t n) {
  if (n > 0 && n > INT_MAX / n) {
    PyErr_Format(PyExc_OverflowError, "a square result of %zd by %zd entries does not fit the index type", n, n);
    return false;
  }
  return true;
}

PyObject* reshape_square(PyObject* array, Py_ssize_t n) {
  PyObject* dim = PyLong_FromSsize_t(n);
  PyObject* shaped = dim != nullptr ? PyObject_CallMethodObjArgs(array, module_state().str_reshape, dim, dim, nullptr)
                                    : nullptr;
  Py_XDECREF(dim);
  Py_DECREF(array);
  return shaped;
}

}  // namespace cy
