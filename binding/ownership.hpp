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
// objects it was built from alive for as long as it lives, and `users`
// counts the live engine objects of others that point into this one's.
struct CyObject {
  PyObject_HEAD
  void* engine;
  PyObject* retained;  // a tuple, or null
  Py_ssize_t users;
};

inline void*& engine_slot(PyObject* object) { return reinterpret_cast<CyObject*>(object)->engine; }
inline PyObject*& retained_slot(PyObject* object) { return reinterpret_cast<CyObject*>(object)->retained; }
inline Py_ssize_t& users_slot(PyObject* object) { return reinterpret_cast<CyObject*>(object)->users; }

// Stores a constructed engine object and what it was built from.
void own_engine(PyObject* self, void* engine, PyObject* retained);

// The static type object of a row of the table.
PyTypeObject* type_object(TypeId id);
inline PyTypeObject* type_object(int row_index) { return type_object(static_cast<TypeId>(row_index)); }

// The row of the nearest binding type among the bases of `type` (the type
// itself included), -1 when there is none.
int binding_row_of(PyTypeObject* type);

// The deallocation function of a family: deletes the engine object with the
// family's deleter, leaving a pending exception intact.
destructor dealloc_for(FamilyId family);
// The collector's clearing function of a family: an object whose engine
// object points into retained objects gives them up, engine object first,
// once no other engine object points into its own.
inquiry clear_for(FamilyId family);
// The collector's traversal: the retained objects.
int traverse_retained(PyObject* self, visitproc visit, void* arg);

}  // namespace cy
