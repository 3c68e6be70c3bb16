#include "pickling.hpp"

#include "arguments.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "type_table.hpp"

namespace cy {
namespace {

PyObject* refuse(const FunctionDef& def, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!match_arguments(def, args, nargs, kwnames, slots)) {
    if (def.param_count() > 0) add_traceback(def);
    return nullptr;
  }
  PyErr_SetString(PyExc_TypeError, type_rows[def.owner].pickling_message);
  add_traceback(def);
  return nullptr;
}

FunctionDef* refusal(int row_index, const char* name, const std::vector<std::string>& params) {
  FunctionDef* def = new_function_def(row_index, name, params, std::vector<std::string>(params.size()), __FILE__,
                                      __LINE__);
  def->call = refuse;
  return def;
}

bool install(PyTypeObject* type, FunctionDef* def) {
  if (def->param_names.empty() && !def->params.empty()) {
    PyObject* name = PyUnicode_InternFromString(def->params[0].c_str());
    if (name == nullptr) return false;
    def->param_names.push_back(name);
  }
  PyObject* function = new_function(*def, type);
  if (function == nullptr) return false;
  const int status = PyDict_SetItemString(platform::type_dict(type), def->name.c_str(), function);
  Py_DECREF(function);
  return status == 0;
}

}  // namespace

bool install_pickling_refusal(PyTypeObject* type, int row_index) {
  static FunctionDef* defs[type_count][2] = {};
  if (defs[row_index][0] == nullptr) {
    defs[row_index][0] = refusal(row_index, "__reduce__", {});
    defs[row_index][1] = refusal(row_index, "__setstate__", {"state"});
  }
  if (!install(type, defs[row_index][0]) || !install(type, defs[row_index][1])) return false;
  PyType_Modified(type);
  return true;
}

}  // namespace cy
