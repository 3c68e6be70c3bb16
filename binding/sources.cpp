// The voltage source types.

#include "binding.hpp"
#include "model/voltage_source.hpp"

using namespace cy;

namespace {

const Family<Element> elements(FamilyId::element);

const auto cy_voltage_source =
    elements.type<VoltageSource>(TypeId::CyVoltageSource)
        .constructor({"n", "voltages"},
                     [](Int n, const Buffer<complex_d>& voltages) {
                       return new VoltageSource(n, voltages.items(VoltageSource::voltage_count(n)));
                     })
        .method("update_voltages", {"voltages"},
                [](VoltageSource& self, const Buffer<complex_d>& voltages) {
                  self.update_voltages(voltages.items(self.voltage_count()));
                })
        .method("update_voltage", {"voltage"},
                [](VoltageSource& self, complex_d voltage) { self.update_voltage(voltage); });

const auto cy_delta_voltage_source =
    elements.type<DeltaVoltageSource>(TypeId::CyDeltaVoltageSource)
        .constructor({"n", "voltages"},
                     [](Int n, const Buffer<complex_d>& voltages) {
                       return new DeltaVoltageSource(n, voltages.items(DeltaVoltageSource::voltage_count(n)));
                     })
        .method("update_voltages", {"voltages"}, [](DeltaVoltageSource& self, const Buffer<complex_d>& voltages) {
          self.update_voltages(voltages.items(self.voltage_count()));
        });

}  // namespace
