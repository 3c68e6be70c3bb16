#include "model/load.hpp"

// Out-of-line destructors anchor each load's virtual table, and with it the
// instantiation of its current computations, in this file.

PowerLoad::PowerLoad(int n, const complex_d* powers) : AbstractPowerLoad(n, powers) {}
PowerLoad::~PowerLoad() = default;

DeltaPowerLoad::DeltaPowerLoad(int n, const complex_d* powers) : AbstractPowerLoad(n, powers) {}
DeltaPowerLoad::~DeltaPowerLoad() = default;

CurrentLoad::CurrentLoad(int n, const complex_d* currents) : AbstractCurrentLoad(n, currents) {}
CurrentLoad::~CurrentLoad() = default;

DeltaCurrentLoad::DeltaCurrentLoad(int n, const complex_d* currents) : AbstractCurrentLoad(n, currents) {}
DeltaCurrentLoad::~DeltaCurrentLoad() = default;

AdmittanceLoad::AdmittanceLoad(int n, const complex_d* admittances) : AbstractAdmittanceLoad(n, admittances) {}
AdmittanceLoad::~AdmittanceLoad() = default;

DeltaAdmittanceLoad::DeltaAdmittanceLoad(int n, const complex_d* admittances)
    : AbstractAdmittanceLoad(n, admittances) {}
DeltaAdmittanceLoad::~DeltaAdmittanceLoad() = default;
