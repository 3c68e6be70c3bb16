#include "type_table.hpp"

namespace cy {
namespace {
constexpr const char* abstract_element = "self.element cannot be converted to a Python object for pickling";
constexpr const char* abstract_solver = "self.solver cannot be converted to a Python object for pickling";
constexpr const char* concrete = "no default __reduce__ due to non-trivial __cinit__";
constexpr int object_base = -1;
constexpr int base(TypeId id) { return static_cast<int>(id); }
}  // namespace

#define CY_ROW(type, base_index, family, own, message) \
  {TypeId::type, #type, "load_flow_engine.cy_engine." #type, base_index, FamilyId::family, own, message}

// Constant-initialised, so type files may read it during static initialisation.
const TypeRow type_rows[type_count] = {
    CY_ROW(CyElement, object_base, element, false, abstract_element),
    CY_ROW(CyBranch, base(TypeId::CyElement), element, false, abstract_element),
    CY_ROW(CySwitch, base(TypeId::CyBranch), element, true, concrete),
    CY_ROW(CyOpenSwitch, base(TypeId::CyBranch), element, true, concrete),
    CY_ROW(CySimplifiedLine, base(TypeId::CyBranch), element, true, concrete),
    CY_ROW(CyShuntLine, base(TypeId::CyBranch), element, true, concrete),
    CY_ROW(CyBus, base(TypeId::CyElement), element, true, concrete),
    CY_ROW(CyLoad, base(TypeId::CyElement), element, false, abstract_element),
    CY_ROW(CyPowerLoad, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyDeltaPowerLoad, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyAdmittanceLoad, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyDeltaAdmittanceLoad, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyCurrentLoad, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyDeltaCurrentLoad, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyLoadBalancer, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyControl, object_base, control, true, concrete),
    CY_ROW(CyProjection, object_base, projection, true, concrete),
    CY_ROW(CyFlexibleParameter, object_base, flexible_parameter, true, concrete),
    CY_ROW(CyFlexibleLoad, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyDeltaFlexibleLoad, base(TypeId::CyLoad), element, true, concrete),
    CY_ROW(CyGround, base(TypeId::CyElement), element, true, concrete),
    CY_ROW(CyPotentialRef, base(TypeId::CyElement), element, true, concrete),
    CY_ROW(CyDeltaPotentialRef, base(TypeId::CyElement), element, true, concrete),
    CY_ROW(CyVoltageSource, base(TypeId::CyElement), element, true, concrete),
    CY_ROW(CyDeltaVoltageSource, base(TypeId::CyElement), element, true, concrete),
    CY_ROW(CyTransformer, base(TypeId::CyBranch), element, false, abstract_element),
    CY_ROW(CyThreePhaseTransformer, base(TypeId::CyTransformer), element, true, concrete),
    CY_ROW(CySingleTransformer, base(TypeId::CyTransformer), element, true, concrete),
    CY_ROW(CyCenterTransformer, base(TypeId::CyTransformer), element, true, concrete),
    CY_ROW(CySingleVoltageRegulator, base(TypeId::CyBranch), element, true, concrete),
    CY_ROW(CyElectricalNetwork, object_base, network, true, concrete),
    CY_ROW(CyAbstractSolver, object_base, solver, false, abstract_solver),
    CY_ROW(CyAbstractNewton, base(TypeId::CyAbstractSolver), solver, false, abstract_solver),
    CY_ROW(CyNewton, base(TypeId::CyAbstractNewton), solver, true, concrete),
    CY_ROW(CyNewtonGoldstein, base(TypeId::CyAbstractNewton), solver, true, concrete),
    CY_ROW(CyBackwardForward, base(TypeId::CyAbstractSolver), solver, true, concrete),
};

#undef CY_ROW

}  // namespace cy
