// The bus, ground and reference types.

#include "binding.hpp"
#include "model/bus.hpp"

using namespace cy;

namespace {

const Family<Element> elements(FamilyId::element);

const auto cy_bus =
    elements.type<Bus>(TypeId::CyBus)
        .constructor({"n", "potentials"},
                     [](Int n, const Buffer<complex_d>& potentials) { return new Bus(n, potentials.items(n)); })
        .method("initialize_potentials", {"potentials"}, [](Bus& self, const Buffer<complex_d>& potentials) {
          self.initialize_potentials(potentials.items(self.port_count()));
        });

const auto cy_ground =
    elements.type<Ground>(TypeId::CyGround).constructor_ignoring_arguments([] { return new Ground(); });

const auto cy_potential_ref = elements.type<PotentialRef>(TypeId::CyPotentialRef)
                                  .constructor_ignoring_arguments([] { return new PotentialRef(); })
                                  .method("get_current", [](PotentialRef& self) { return self.get_current(); });

const auto cy_delta_potential_ref =
    elements.type<DeltaPotentialRef>(TypeId::CyDeltaPotentialRef)
        .constructor({"n"}, [](Int n) { return new DeltaPotentialRef(n); })
        .method("get_current", [](DeltaPotentialRef& self) {
          // The current enters at port 0: a reference without ports has none.
          self.check_port_index(0);
          return self.get_current();
        });

}  // namespace
