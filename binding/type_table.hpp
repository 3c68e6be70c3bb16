#pragma once
// The module's Python types. Free of the interpreter's headers so that the
// type files and the table can be read without them.

namespace cy {

// Every Python type of the module, in declaration order (the order in which
// they are readied and bound): name, base type (object or an earlier row),
// family, whether it has a constructor of its own, pickling refusal text.
// The enum, the count and the row table all follow from this one list.
#define CY_BINDING_TYPES(X) \
  X(CyElement, object, element, false, abstract_element) \
  X(CyBranch, CyElement, element, false, abstract_element) \
  X(CySwitch, CyBranch, element, true, concrete) \
  X(CyOpenSwitch, CyBranch, element, true, concrete) \
  X(CySimplifiedLine, CyBranch, element, true, concrete) \
  X(CyShuntLine, CyBranch, element, true, concrete) \
  X(CyBus, CyElement, element, true, concrete) \
  X(CyLoad, CyElement, element, false, abstract_element) \
  X(CyPowerLoad, CyLoad, element, true, concrete) \
  X(CyDeltaPowerLoad, CyLoad, element, true, concrete) \
  X(CyAdmittanceLoad, CyLoad, element, true, concrete) \
  X(CyDeltaAdmittanceLoad, CyLoad, element, true, concrete) \
  X(CyCurrentLoad, CyLoad, element, true, concrete) \
  X(CyDeltaCurrentLoad, CyLoad, element, true, concrete) \
  X(CyLoadBalancer, CyLoad, element, true, concrete) \
  X(CyControl, object, control, true, concrete) \
  X(CyProjection, object, projection, true, concrete) \
  X(CyFlexibleParameter, object, flexible_parameter, true, concrete) \
  X(CyFlexibleLoad, CyLoad, element, true, concrete) \
  X(CyDeltaFlexibleLoad, CyLoad, element, true, concrete) \
  X(CyGround, CyElement, element, true, concrete) \
  X(CyPotentialRef, CyElement, element, true, concrete) \
  X(CyDeltaPotentialRef, CyElement, element, true, concrete) \
  X(CyVoltageSource, CyElement, element, true, concrete) \
  X(CyDeltaVoltageSource, CyElement, element, true, concrete) \
  X(CyTransformer, CyBranch, element, false, abstract_element) \
  X(CyThreePhaseTransformer, CyTransformer, element, true, concrete) \
  X(CySingleTransformer, CyTransformer, element, true, concrete) \
  X(CyCenterTransformer, CyTransformer, element, true, concrete) \
  X(CySingleVoltageRegulator, CyBranch, element, true, concrete) \
  X(CyElectricalNetwork, object, network, true, concrete) \
  X(CyAbstractSolver, object, solver, false, abstract_solver) \
  X(CyAbstractNewton, CyAbstractSolver, solver, false, abstract_solver) \
  X(CyNewton, CyAbstractNewton, solver, true, concrete) \
  X(CyNewtonGoldstein, CyAbstractNewton, solver, true, concrete) \
  X(CyBackwardForward, CyAbstractSolver, solver, true, concrete)

enum class TypeId : int {
#define CY_TYPE_ID(type, base, family, own, message) type,
  CY_BINDING_TYPES(CY_TYPE_ID)
#undef CY_TYPE_ID
};

constexpr int type_count = 0
#define CY_TYPE_ONE(type, base, family, own, message) +1
    CY_BINDING_TYPES(CY_TYPE_ONE)
#undef CY_TYPE_ONE
    ;

// What an object of the type owns, and so how its engine object is deleted.
enum class FamilyId : int { element, solver, control, projection, flexible_parameter, network };

constexpr int family_count = 6;

struct TypeRow {
  TypeId id;
  const char* name;            // "CyBus"
  const char* qualified_name;  // "load_flow_engine.cy_engine.CyBus", the type's tp_name
  int base;                    // row index of the base type, -1 for object
  FamilyId family;
  bool own_constructor;
  const char* pickling_message;
};

extern const TypeRow type_rows[type_count];

inline const TypeRow& row(TypeId id) { return type_rows[static_cast<int>(id)]; }

constexpr const char* module_name = "load_flow_engine.cy_engine";

}  // namespace cy
