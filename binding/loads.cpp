// The load types: CyLoad, the constant star and delta loads and the load
// balancer.

#include "binding.hpp"
#include "model/load.hpp"
#include "model/load_balancer.hpp"

using namespace cy;

namespace {

const Family<Element> elements(FamilyId::element);

const auto cy_load = elements.type<LoadBase>(TypeId::CyLoad)
                         .method("get_inner_currents", {"size"}, [](LoadBase& self, Int size) {
                           return complex_array(size.at_least(self.phase_count()), self.phase_count(),
                                                [&self](complex_d* out) { self.get_inner_currents(out); });
                         });

// One constant-load type: its constructor (n, values) and its update
// methods, `plural` reading every phase value and `single` (when named) the
// one value of a two-port star load.
template <class L>
void constant_load(TypeId id, const char* buffer_name, const char* plural, const char* single = nullptr,
                   const char* single_name = nullptr, int line = __builtin_LINE()) {
  const char* const file = __builtin_FILE();
  const char* const ctor_names[] = {"n", buffer_name};
  const char* const update_names[] = {buffer_name};
  auto type = elements.type<L>(id)
                  .constructor(
                      ctor_names,
                      [](Int n, const Buffer<complex_d>& given) {
                        return new L(n, given.items(L::phase_count_of(n)));
                      },
                      line, file)
                  .method(
                      plural, update_names,
                      [](L& self, const Buffer<complex_d>& given) {
                        update_variable_values(self.phase_values(), given.items(self.phase_count()));
                      },
                      line, file);
  if (single != nullptr) {
    const char* const single_names[] = {single_name};
    type.method(
        single, single_names, [](L& self, complex_d value) { update_single_value(self.phase_values(), value); },
        line, file);
  }
}

const bool constant_loads = [] {
  constant_load<PowerLoad>(TypeId::CyPowerLoad, "powers", "update_powers", "update_power", "power");
  constant_load<DeltaPowerLoad>(TypeId::CyDeltaPowerLoad, "powers", "update_powers");
  constant_load<AdmittanceLoad>(TypeId::CyAdmittanceLoad, "admittances", "update_admittances", "update_admittance",
                                "admittance");
  constant_load<DeltaAdmittanceLoad>(TypeId::CyDeltaAdmittanceLoad, "admittances", "update_admittances");
  constant_load<CurrentLoad>(TypeId::CyCurrentLoad, "currents", "update_currents", "update_current", "current");
  constant_load<DeltaCurrentLoad>(TypeId::CyDeltaCurrentLoad, "currents", "update_currents");
  return true;
}();

const auto cy_load_balancer = elements.type<LoadBalancer>(TypeId::CyLoadBalancer)
                                  .constructor({"z2", "ym", "k"}, [](complex_d z2, complex_d ym, double k) {
                                    return new LoadBalancer(z2, ym, k);
                                  });

}  // namespace
