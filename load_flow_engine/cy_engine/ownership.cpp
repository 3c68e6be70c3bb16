#include "ownership.hpp"

namespace cy {
namespace {

template <FamilyId F>
void owner_dealloc(PyObject* self) {
  void* engine = engine_slot(self);
  {
    // Deleting an object while an exception propagates must not disturb it.
    platform::StashedException pending;
    Deleter deleter = family_deleter(F);
    if (engine != nullptr && deleter != nullptr) deleter(engine);
    engine_slot(self) = nullptr;
    // Only now that the engine object is gone may what it points into go.
    Py_CLEAR(retained_slot(self));
  }
  Py_TYPE(self)->tp_free(self);
}

}  // namespace

destructor dealloc_for(FamilyId family) {
  switch (family) {
    case FamilyId::element: return owner_dealloc<FamilyId::element>;
    case FamilyId::solver: return owner_dealloc<FamilyId::solver>;
    case FamilyId::control: return owner_dealloc<FamilyId::control>;
    case FamilyId::projection: return owner_dealloc<FamilyId::projection>;
    case FamilyId::flexible_parameter: return owner_dealloc<FamilyId::flexible_parameter>;
    case FamilyId::network: return owner_dealloc<FamilyId::network>;
  }
  return nullptr;
}

}  // namespace cy
