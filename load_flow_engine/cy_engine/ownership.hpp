#pragma once
// The layout shared by the objects of all the module's types, and their
// static type objects.

#include "registry.hpp"

namespace cy {

// The object header and one owned pointer to the engine object; the pointer
// is the family's base class pointer (an Element* for every element type),
// empty until the constructor has built the object. The engine holds plain
// pointers into other binding objects (a network to its elements, a solver
// to its network, a flexible load to its parameters): `retained` keeps the
// objects it was built from alive for as long as it lives.
struct CyObject {
  PyObject_HEAD
  void* engine;
  PyObject* retained;  // a tuple, or null
};

inline void*& engine_slot(PyObject* object) { return reinterpret_cast<CyObject*>(object)->engine; }
inline PyObject*& retained_slot(PyObject* object) { return reinterpret_cast<CyObject*>(object)->retained; }

// The static type object of a row of the table.
PyTypeObject* type_object(TypeId id);
inline PyTypeObject* type_object(int row_index) { return type_object(static_cast<TypeId>(row_index)); }

// The row of the nearest binding type among the bases of `type` (the type
// itself included), -1 when there is none.
int binding_row_of(PyTypeObject* type);

// The deallocation function of a family: deletes the engine object with the
// family's deleter, leaving a pending exception intact.
destructor dealloc_for(FamilyId family);

}  // namespace cy
