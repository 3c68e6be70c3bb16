#include "registry.hpp"

namespace cy {

TypeRegistration& registration(TypeId id) {
  static TypeRegistration registrations[type_count];
  return registrations[static_cast<int>(id)];
}

std::vector<FunctionDef*>& module_functions() {
  static std::vector<FunctionDef*> functions;
  return functions;
}

namespace {
Deleter* deleters() {
  static Deleter table[family_count] = {};
  return table;
}

// Traceback entries name a source by the module's own path, whichever
// folder it was compiled from.
std::string source_path(const char* file) {
  const std::string path(file);
  const size_t slash = path.find_last_of('/');
  return "load_flow_engine/cy_engine/" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

bool intern(FunctionDef& def) {
  if (def.param_names.size() == def.params.size()) return true;
  def.param_names.clear();
  for (const std::string& p : def.params) {
    PyObject* name = PyUnicode_InternFromString(p.c_str());
    if (name == nullptr) return false;
    def.param_names.push_back(name);  // kept for the life of the process
  }
  return true;
}
}  // namespace

void set_family_deleter(FamilyId family, Deleter deleter) { deleters()[static_cast<int>(family)] = deleter; }

Deleter family_deleter(FamilyId family) { return deleters()[static_cast<int>(family)]; }

std::vector<std::string>& declaration_errors() {
  static std::vector<std::string> errors;
  return errors;
}

FunctionDef* new_function_def(int owner, const char* name, const std::vector<std::string>& params,
                              const std::vector<std::string>& declared, const char* file, int line) {
  auto* def = new FunctionDef;  // lives as long as the process
  def->name = name;
  def->owner = owner;
  def->params = params;
  def->file = source_path(file);
  def->line = line;
  const bool method = owner >= 0;
  def->qualname = method ? std::string(type_rows[owner].name) + "." + name : std::string(name);
  def->traceback_name = std::string(module_name) + "." + def->qualname;
  std::string doc = def->qualname + "(";
  std::string sig = "(";
  const char* sep = "";
  if (method) {
    doc += "self";
    sig += "$self";
    sep = ", ";
  }
  for (size_t i = 0; i < params.size(); ++i) {
    doc += sep;
    sig += sep;
    if (!declared[i].empty()) doc += declared[i] + " ";
    doc += params[i];
    sig += params[i];
    sep = ", ";
  }
  def->doc = doc + ")";
  def->text_signature = sig + ")";
  return def;
}

bool intern_declared_names() {
  for (int i = 0; i < type_count; ++i) {
    TypeRegistration& reg = registration(static_cast<TypeId>(i));
    if (reg.constructor != nullptr && !intern(*reg.constructor)) return false;
    for (FunctionDef* m : reg.methods)
      if (!intern(*m)) return false;
  }
  for (FunctionDef* f : module_functions())
    if (!intern(*f)) return false;
  return true;
}

}  // namespace cy
