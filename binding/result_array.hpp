#pragma once
// Result arrays: made at every call by the module attribute `np`, so that
// rebinding it changes how results are made.

#include "platform.hpp"

namespace cy {

enum class ResultDtype { complex128, float64 };

// One new array of `size` entries whose data the engine fills.
class ResultArray {
 public:
  ResultArray() = default;
  ~ResultArray();
  ResultArray(const ResultArray&) = delete;
  ResultArray& operator=(const ResultArray&) = delete;

  // Makes the array and takes a writable view of its data, refusing one that
  // cannot take `written` entries. False with a Python exception set.
  bool make(Py_ssize_t size, ResultDtype dtype, Py_ssize_t written);
  void* data() const { return held_ ? view_.buf : nullptr; }
  // Releases the view and hands over the array (a new reference).
  PyObject* release();

 private:
  PyObject* array_ = nullptr;
  Py_buffer view_{};
  bool held_ = false;
};

// Fails with OverflowError when n by n entries do not fit the engine's int index.
bool check_square_size(Py_ssize_t n);

// The array reshaped to n by n (a new reference); steals `array`.
PyObject* reshape_square(PyObject* array, Py_ssize_t n);

}  // namespace cy
