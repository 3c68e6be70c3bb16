#include "ownership.hpp"

namespace cy {
namespace {

// The engine object goes before what it points into.
template <FamilyId F>
void release_engine(PyObject* self) {
  void* engine = engine_slot(self);
  Deleter deleter = family_deleter(F);
  if (engine != nullptr && deleter != nullptr) deleter(engine);
  engine_slot(self) = nullptr;
  PyObject* retained = retained_slot(self);
  if (retained != nullptr && engine != nullptr) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(retained); ++i) --users_slot(PyTuple_GET_ITEM(retained, i));
  }
  Py_CLEAR(retained_slot(self));
}

template <FamilyId F>
void owner_dealloc(PyObject* self) {
  if (PyType_IS_GC(Py_TYPE(self))) PyObject_GC_UnTrack(self);
  {
    // Deleting an object while an exception propagates must not disturb it.
    platform::StashedException pending;
    release_engine<F>(self);
  }
  Py_TYPE(self)->tp_free(self);
}

// Unreachable objects are cleared in any order: an object still pointed into
// waits, and goes when the engine objects of its users have gone (they are
// unreachable too, since they keep it).
template <FamilyId F>
int owner_clear(PyObject* self) {
  if (retained_slot(self) == nullptr || users_slot(self) > 0) return 0;
  platform::StashedException pending;
  release_engine<F>(self);
  return 0;
}

}  // namespace

void own_engine(PyObject* self, void* engine, PyObject* retained) {
  engine_slot(self) = engine;
  retained_slot(self) = retained;
  if (retained != nullptr) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(retained); ++i) ++users_slot(PyTuple_GET_ITEM(retained, i));
  }
}

int traverse_retained(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(retained_slot(self));
  return 0;
}

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

inquiry clear_for(FamilyId family) {
  switch (family) {
    case FamilyId::element: return owner_clear<FamilyId::element>;
    case FamilyId::solver: return owner_clear<FamilyId::solver>;
    case FamilyId::control: return owner_clear<FamilyId::control>;
    case FamilyId::projection: return owner_clear<FamilyId::projection>;
    case FamilyId::flexible_parameter: return owner_clear<FamilyId::flexible_parameter>;
    case FamilyId::network: return owner_clear<FamilyId::network>;
  }
  return nullptr;
}

}  // namespace cy
