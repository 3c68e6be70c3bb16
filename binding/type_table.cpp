#include "type_table.hpp"

namespace cy {
namespace {
constexpr const char* abstract_element = "self.element cannot be converted to a Python object for pickling";
constexpr const char* abstract_solver = "self.solver cannot be converted to a Python object for pickling";
constexpr const char* concrete = "no default __reduce__ due to non-trivial __cinit__";
}  // namespace

// Row index of each type, and -1 for `object`, by name.
namespace base_index {
constexpr int object = -1;
#define CY_BASE_INDEX(type, base, family, own, message) constexpr int type = static_cast<int>(TypeId::type);
CY_BINDING_TYPES(CY_BASE_INDEX)
#undef CY_BASE_INDEX
}  // namespace base_index

// The types are readied in row order, so a base must be an earlier row.
#define CY_CHECK_BASE(type, base, family, own, message) \
  static_assert(base_index::base < base_index::type, #type ": its base must be an earlier row");
CY_BINDING_TYPES(CY_CHECK_BASE)
#undef CY_CHECK_BASE

#define CY_ROW(type, base_type, family, own, message) \
  {TypeId::type, #type, "load_flow_engine.cy_engine." #type, base_index::base_type, FamilyId::family, own, message},

// Constant-initialised, so type files may read it during static initialisation.
const TypeRow type_rows[type_count] = {CY_BINDING_TYPES(CY_ROW)};

#undef CY_ROW

}  // namespace cy
