#include "types.hpp"

#include <vector>

#include "errors.hpp"
#include "function.hpp"
#include "ownership.hpp"
#include "pickling.hpp"

namespace cy {
namespace {

PyTypeObject binding_types[type_count];
bool filled[type_count];

// Engine pointers are set only by a declared constructor: a type whose
// constructor has not been written yet refuses to make objects.
PyObject* construct_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds) {
  const int index = binding_row_of(subtype);
  const TypeRow& r = type_rows[index];
  const FunctionDef* ctor = registration(r.id).constructor;
  if (r.own_constructor && ctor == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s cannot be instantiated yet", r.name);
    return nullptr;
  }
  PyObject* self = subtype->tp_alloc(subtype, 0);
  if (self == nullptr) return nullptr;
  engine_slot(self) = nullptr;
  retained_slot(self) = nullptr;
  users_slot(self) = 0;
  if (!r.own_constructor) return self;  // accepts and ignores any arguments

  void* engine;
  PyObject* retained = nullptr;
  if (ctor->ignores_arguments) {
    engine = ctor->construct(*ctor, nullptr, 0, nullptr, &retained);
  } else {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwds != nullptr ? PyDict_GET_SIZE(kwds) : 0;
    std::vector<PyObject*> stack;
    PyObject* kwnames = nullptr;
    try {
      stack.reserve(static_cast<size_t>(nargs + nkw));
    } catch (const std::bad_alloc&) {
      Py_DECREF(self);
      return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(args, i));
    if (nkw > 0) {
      kwnames = PyTuple_New(nkw);
      if (kwnames == nullptr) {
        Py_DECREF(self);
        return nullptr;
      }
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwds, &pos, &key, &value) && k < nkw) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames, k++, key);
        Py_INCREF(value);  // a conversion may run code that changes the dict
        stack.push_back(value);
      }
    }
    engine = ctor->construct(*ctor, stack.data(), nargs, kwnames, &retained);
    for (size_t i = static_cast<size_t>(nargs); i < stack.size(); ++i) Py_DECREF(stack[i]);
    Py_XDECREF(kwnames);
  }
  if (engine == nullptr) {
    Py_DECREF(self);  // its deallocation finds the pointer empty
    return nullptr;
  }
  own_engine(self, engine, retained);
  return self;
}

void fill(int index) {
  const TypeRow& r = type_rows[index];
  PyTypeObject& t = binding_types[index];
  t = platform::static_type_prototype();
  t.tp_name = r.qualified_name;
  t.tp_basicsize = sizeof(CyObject);
  t.tp_itemsize = 0;
  t.tp_dealloc = dealloc_for(r.family);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
  // Objects that keep others alive (networks, solvers, flexible loads and
  // parameters) may be part of a cycle: they take part in the collector.
  const FunctionDef* ctor = registration(r.id).constructor;
  if (ctor != nullptr && ctor->retains) {
    t.tp_flags |= Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = traverse_retained;
    t.tp_clear = clear_for(r.family);
    t.tp_free = PyObject_GC_Del;
  }
  t.tp_new = construct_new;
  if (r.base >= 0) t.tp_base = &binding_types[r.base];
  filled[index] = true;
}

bool check_declarations() {
  std::vector<std::string>& errors = declaration_errors();
  for (int i = 0; i < type_count; ++i) {
    const TypeRegistration& reg = registration(static_cast<TypeId>(i));
    if (reg.constructor != nullptr && !type_rows[i].own_constructor)
      errors.push_back(std::string(type_rows[i].name) + " has no constructor of its own");
  }
  if (errors.empty()) return true;
  PyErr_Format(PyExc_SystemError, "inconsistent type declarations: %s", errors.front().c_str());
  return false;
}

}  // namespace

PyTypeObject* type_object(TypeId id) { return &binding_types[static_cast<int>(id)]; }

int binding_row_of(PyTypeObject* type) {
  for (PyTypeObject* t = type; t != nullptr; t = t->tp_base)
    if (t >= binding_types && t < binding_types + type_count) return static_cast<int>(t - binding_types);
  return -1;
}

bool ready_types(PyObject* module) {
  if (!check_declarations()) return false;
  for (int i = 0; i < type_count; ++i) {
    PyTypeObject* t = &binding_types[i];
    if (!(t->tp_flags & Py_TPFLAGS_READY)) {
      if (!filled[i]) fill(i);
      if (PyType_Ready(t) < 0) return false;
      platform::enable_deferred_refcount(reinterpret_cast<PyObject*>(t));
    }
    if (PyModule_AddObjectRef(module, type_rows[i].name, reinterpret_cast<PyObject*>(t)) < 0) return false;
    if (!install_pickling_refusal(t, i)) return false;
  }
  return true;
}

bool install_methods() {
  for (int i = 0; i < type_count; ++i) {
    PyTypeObject* t = &binding_types[i];
    PyObject* dict = platform::type_dict(t);
    for (const FunctionDef* def : registration(static_cast<TypeId>(i)).methods) {
      if (def->name == "__reduce__" || def->name == "__setstate__") continue;
      PyObject* function = new_function(*def, t);
      if (function == nullptr) return false;
      const int status = PyDict_SetItemString(dict, def->name.c_str(), function);
      Py_DECREF(function);
      if (status < 0) return false;
    }
    PyType_Modified(t);
  }
  return true;
}

}  // namespace cy
