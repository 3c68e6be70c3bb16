#include "errors.hpp"

#include <cstdarg>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "util/errors.hpp"

namespace cy {

void raise(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyObject* message = PyUnicode_FromFormatV(format, args);
  va_end(args);
  if (message != nullptr) {
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  }
  throw PythonError{};
}

void translate_engine_exception() {
  if (PyErr_Occurred()) return;
  try {
    throw;
  } catch (const std::bad_alloc& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_cast& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::bad_typeid& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::domain_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::ios_base::failure& e) {
    PyErr_SetString(PyExc_OSError, e.what());
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::overflow_error& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::range_error& e) {
    PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::underflow_error& e) {
    PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const MessageError& e) {
    PyObject* text = PyUnicode_DecodeUTF8(e.text().data(), static_cast<Py_ssize_t>(e.text().size()), "replace");
    if (text != nullptr) {
      PyErr_SetObject(PyExc_RuntimeError, text);
      Py_DECREF(text);
    }
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
  }
}

void add_traceback(const FunctionDef& def) {
  platform::add_traceback(def.traceback_name.c_str(), def.file.c_str(), def.line);
}

}  // namespace cy
