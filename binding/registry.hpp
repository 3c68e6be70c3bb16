#pragma once
// What the type files declare, collected during static initialisation (no
// interpreter exists yet) and turned into Python objects by the module's
// execution step.

#include <string>
#include <vector>

#include "platform.hpp"
#include "type_table.hpp"

namespace cy {

struct FunctionDef;

// Runs a method or module function: `self` is the instance (null for a module
// function), the arguments follow the vectorcall convention.
using CallFn = PyObject* (*)(const FunctionDef&, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// Builds the engine object of a constructor call; null with an exception set
// on failure. On success `retained` receives a new tuple of the binding
// objects the engine object was built from (or null when there are none).
using ConstructFn = void* (*)(const FunctionDef&, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              PyObject** retained);

// One Python-callable definition: a method, a constructor or a module function.
struct FunctionDef {
  std::string name;             // the short name in messages: "connect", "__cinit__"
  std::string qualname;         // "CyElement.connect"
  std::string doc;              // the signature text with declared types
  std::string text_signature;   // "($self, cy_element, connections)", for introspection
  std::string traceback_name;   // "load_flow_engine.cy_engine.CyElement.connect"
  std::vector<std::string> params;
  std::vector<PyObject*> param_names;  // interned by the execution step
  std::string file;             // the declaring source, as load_flow_engine/cy_engine/<file>
  int line = 0;
  int owner = -1;               // row of the defining type; -1 for a module function
  bool ignores_arguments = false;
  bool retains = false;         // a constructor whose object keeps binding objects alive
  CallFn call = nullptr;
  ConstructFn construct = nullptr;
  const void* payload = nullptr;  // the declared callable

  Py_ssize_t param_count() const { return static_cast<Py_ssize_t>(params.size()); }
};

struct TypeRegistration {
  FunctionDef* constructor = nullptr;
  std::vector<FunctionDef*> methods;
};

using Deleter = void (*)(void*);

TypeRegistration& registration(TypeId id);
std::vector<FunctionDef*>& module_functions();
void set_family_deleter(FamilyId family, Deleter deleter);
Deleter family_deleter(FamilyId family);
// Declarations that contradict the table (found while registering); the
// import fails with them rather than build a wrong module.
std::vector<std::string>& declaration_errors();

// Builds the texts of a definition from its names and declared types.
FunctionDef* new_function_def(int owner, const char* name, const std::vector<std::string>& params,
                              const std::vector<std::string>& declared, const char* file, int line);

// Interns every parameter name of every declaration; run once by the
// execution step.
bool intern_declared_names();

}  // namespace cy
