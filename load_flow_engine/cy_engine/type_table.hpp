#pragma once
// The module's Python types, in declaration order: the order in which they
// are readied and bound. Free of the interpreter's headers so that the type
// files and the table can be read without them.

namespace cy {

enum class TypeId : int {
  CyElement,
  CyBranch,
  CySwitch,
  CyOpenSwitch,
  CySimplifiedLine,
  CyShuntLine,
  CyBus,
  CyLoad,
  CyPowerLoad,
  CyDeltaPowerLoad,
  CyAdmittanceLoad,
  CyDeltaAdmittanceLoad,
  CyCurrentLoad,
  CyDeltaCurrentLoad,
  CyLoadBalancer,
  CyControl,
  CyProjection,
  CyFlexibleParameter,
  CyFlexibleLoad,
  CyDeltaFlexibleLoad,
  CyGround,
  CyPotentialRef,
  CyDeltaPotentialRef,
  CyVoltageSource,
  CyDeltaVoltageSource,
  CyTransformer,
  CyThreePhaseTransformer,
  CySingleTransformer,
  CyCenterTransformer,
  CySingleVoltageRegulator,
  CyElectricalNetwork,
  CyAbstractSolver,
  CyAbstractNewton,
  CyNewton,
  CyNewtonGoldstein,
  CyBackwardForward,
};

constexpr int type_count = 36;

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
