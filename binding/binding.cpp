// The checks behind the declared preconditions: each raises a Python
// exception that names the argument, before the engine is called.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "binding.hpp"
#include "model/element.hpp"

namespace cy {

int Int::at_most(int bound) const {
  if (value_ > bound)
    raise(PyExc_ValueError, "Argument '%s' is too large: %d exceeds %d", name_->c_str(), value_, bound);
  return value_;
}

int Int::at_least(int bound) const {
  if (value_ >= 0 && value_ < bound)
    raise(PyExc_ValueError, "Argument '%s' is too small: %d is below %d", name_->c_str(), value_, bound);
  return at_most(std::max(bound, max_port_count));
}

int Int::index_below(int count) const {
  if (value_ < 0 || value_ >= count)
    raise(PyExc_IndexError, "Argument '%s' is out of range: %d is not in [0, %d)", name_->c_str(), value_, count);
  return value_;
}

const std::vector<Pairs::Pair>& Pairs::checked(int first_count, int second_count) const {
  for (size_t k = 0; k < pairs_.size(); ++k) {
    const Pair& p = pairs_[k];
    if (p.first < 0 || p.first >= first_count || p.second < 0 || p.second >= second_count)
      raise(PyExc_IndexError, "Item %zd of argument '%s' is out of range: (%d, %d) is not in [0, %d) x [0, %d)",
            static_cast<Py_ssize_t>(k), name_->c_str(), p.first, p.second, first_count, second_count);
  }
  return pairs_;
}

const void* HeldBuffer::items_checked(Py_ssize_t count, size_t alignment) const {
  detail::require_items(held_, size(), count, *name_);
  if (!held_) return nullptr;
  if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignment == 0) return view_.buf;
  if (count <= 0) return nullptr;
  const size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(view_.itemsize);
  aligned_copy_.resize((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
  std::memcpy(aligned_copy_.data(), view_.buf, bytes);
  return aligned_copy_.data();
}

namespace detail {

void require_items(bool held, Py_ssize_t size, Py_ssize_t count, const std::string& name) {
  if (count <= 0 || size >= count) return;
  if (!held) raise(PyExc_TypeError, "Argument '%s' is None, but %zd items are read", name.c_str(), count);
  raise(PyExc_ValueError, "Argument '%s' holds %zd items, but %zd are read", name.c_str(), size, count);
}

void require_indices(const int* data, Py_ssize_t size, int count, const std::string& name) {
  for (Py_ssize_t k = 0; k < size; ++k)
    if (data[k] < 0 || data[k] >= count)
      raise(PyExc_IndexError, "Item %zd of argument '%s' is out of range: %d is not in [0, %d)", k, name.c_str(),
            data[k], count);
}

void* item_engine(PyObject* item, TypeId id, Py_ssize_t index, const std::string& name) {
  PyTypeObject* type = type_object(id);
  if (item == nullptr || !PyObject_TypeCheck(item, type))
    raise(PyExc_TypeError, "Item %zd of argument '%s' has incorrect type (expected %s, got %s)", index, name.c_str(),
          type->tp_name, Py_TYPE(item != nullptr ? item : Py_None)->tp_name);
  void* engine = engine_slot(item);
  if (engine == nullptr)
    raise(PyExc_TypeError, "Item %zd of argument '%s' (%s object) owns no engine object", index, name.c_str(),
          Py_TYPE(item)->tp_name);
  return engine;
}

void* argument_engine(PyObject* value, const std::string& name) {
  if (value == Py_None) raise(PyExc_TypeError, "Argument '%s' must not be None", name.c_str());
  void* engine = engine_slot(value);
  if (engine == nullptr)
    raise(PyExc_TypeError, "Argument '%s' (%s object) owns no engine object", name.c_str(), Py_TYPE(value)->tp_name);
  return engine;
}

void hold_items(const void* data, Py_ssize_t count, std::vector<PyObject*>& held) {
  release_items(held);
  held.reserve(static_cast<size_t>(count));
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item;
    std::memcpy(&item, bytes + static_cast<size_t>(i) * sizeof item, sizeof item);
    Py_XINCREF(item);
    held.push_back(item);
  }
}

void release_items(std::vector<PyObject*>& held) {
  std::vector<PyObject*> released;
  released.swap(held);
  for (PyObject* item : released) Py_XDECREF(item);
}

PyObject* retained_tuple(const std::vector<PyObject*>& objects) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(objects.size()));
  if (tuple == nullptr) return nullptr;
  for (size_t i = 0; i < objects.size(); ++i) {
    Py_INCREF(objects[i]);
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), objects[i]);
  }
  return tuple;
}

void raise_no_engine(PyObject* self) {
  raise(PyExc_TypeError, "%s object owns no engine object: its type has no constructor of its own",
        Py_TYPE(self)->tp_name);
}

void raise_other_engine(PyObject* self, const FunctionDef& def) {
  const int made_by = binding_row_of(Py_TYPE(self));
  raise(PyExc_TypeError, "%s() of %s does not apply to a %s object: its engine object was made by %s",
        def.name.c_str(), type_rows[def.owner].name, Py_TYPE(self)->tp_name,
        made_by >= 0 ? type_rows[made_by].name : "another type");
}

}  // namespace detail
}  // namespace cy
