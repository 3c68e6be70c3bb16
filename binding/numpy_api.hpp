#pragma once
// NumPy's native array interface, loaded once by the module's execution step
// (the only file that defines CY_IMPORT_NUMPY) and shared by every file.

#include "platform.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL cy_engine_ARRAY_API
#define PY_UFUNC_UNIQUE_SYMBOL cy_engine_UFUNC_API
#ifndef CY_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>
