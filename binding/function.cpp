#include "function.hpp"

#include <cstddef>

#include "type_table.hpp"

namespace cy {
namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyTypeObject* owner;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* text_signature;
  PyObject* module;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* f = as_function(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (f->owner == nullptr) return f->def->call(*f->def, nullptr, args, nargs, kwnames);
  if (nargs == 0) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", f->def->name.c_str(), "needs an argument");
    return nullptr;
  }
  PyObject* self = args[0];
  if (!PyObject_TypeCheck(self, f->owner)) {
    PyErr_Format(PyExc_TypeError, "descriptor '%.200s' for '%.100s' objects doesn't apply to a '%.100s' object",
                 f->def->name.c_str(), f->owner->tp_name, Py_TYPE(self)->tp_name);
    return nullptr;
  }
  return f->def->call(*f->def, self, args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
  if (instance == nullptr || as_function(self)->owner == nullptr) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, instance);
}

void function_dealloc(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_XDECREF(f->name);
  Py_XDECREF(f->qualname);
  Py_XDECREF(f->doc);
  Py_XDECREF(f->text_signature);
  Py_XDECREF(f->module);
  Py_TYPE(self)->tp_free(self);
}

#define CY_STRING_GETTER(field)                     \
  PyObject* get_##field(PyObject* self, void*) {    \
    PyObject* value = as_function(self)->field;     \
    Py_INCREF(value);                               \
    return value;                                   \
  }
CY_STRING_GETTER(name)
CY_STRING_GETTER(qualname)
CY_STRING_GETTER(doc)
CY_STRING_GETTER(text_signature)
CY_STRING_GETTER(module)
#undef CY_STRING_GETTER

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = platform::static_type_prototype();

}  // namespace

bool ready_function_type() {
  if (function_type.tp_flags & Py_TPFLAGS_READY) return true;
  function_type.tp_name = "load_flow_engine.cy_engine.engine_function";
  function_type.tp_basicsize = sizeof(FunctionObject);
  function_type.tp_dealloc = function_dealloc;
  function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  function_type.tp_call = PyVectorcall_Call;
  // A method descriptor: `obj.method(...)` calls it with obj first, without
  // making a bound method.
  function_type.tp_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE;
  function_type.tp_getset = function_getset;
  function_type.tp_descr_get = function_descr_get;
  return PyType_Ready(&function_type) == 0;
}

PyObject* new_function(const FunctionDef& def, PyTypeObject* owner) {
  FunctionObject* f = PyObject_New(FunctionObject, &function_type);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->owner = owner;
  f->name = PyUnicode_InternFromString(def.name.c_str());
  f->qualname = PyUnicode_FromString(def.qualname.c_str());
  f->doc = PyUnicode_FromString(def.doc.c_str());
  f->text_signature = PyUnicode_FromString(def.text_signature.c_str());
  f->module = PyUnicode_InternFromString(module_name);
  PyObject* self = reinterpret_cast<PyObject*>(f);
  if (!f->name || !f->qualname || !f->doc || !f->text_signature || !f->module) {
    Py_DECREF(self);
    return nullptr;
  }
  platform::enable_deferred_refcount(self);
  return self;
}

}  // namespace cy
