#include "buffer.hpp"

namespace cy {

bool check_buffer_item(Py_buffer& view, const ItemSpec& item) {
  auto fail = [&](const std::string& message) {
    PyBuffer_Release(&view);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  };
  if (view.ndim != 1) {
    PyBuffer_Release(&view);
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, view.ndim);
    return false;
  }
  const FormatVerdict verdict = check_item_format(view.format, item);
  if (!verdict.ok) return fail(verdict.message);
  if (static_cast<size_t>(view.itemsize) != item.size) return fail(item_size_mismatch(view.itemsize, item));
  return true;
}

bool acquire_argument_buffer(PyObject* value, const ItemSpec& item, Py_buffer& view, bool& held) {
  held = false;
  if (value == Py_None) return true;
  if (PyObject_GetBuffer(value, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) return false;
  if (!check_buffer_item(view, item)) return false;
  const Py_ssize_t length = view.shape != nullptr ? view.shape[0] : view.len / view.itemsize;
  if (length > 1 && view.strides != nullptr && view.strides[0] != view.itemsize) {
    PyBuffer_Release(&view);
    PyErr_SetString(PyExc_ValueError, "Buffer and memoryview are not contiguous in the same dimension.");
    return false;
  }
  if (view.suboffsets != nullptr && view.suboffsets[0] >= 0) {
    PyBuffer_Release(&view);
    PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", 0);
    return false;
  }
  held = true;
  return true;
}

}  // namespace cy
