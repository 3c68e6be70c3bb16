// The bus, ground and reference types.

#include "binding.hpp"
#include "model/bus.hpp"

using namespace cy;

namespace {

const Family<Element> elements(FamilyId::element);

const auto cy_bus = elements.type<Bus>(TypeId::CyBus).constructor(
    {"n", "potentials"}, [](Int n, const Buffer<complex_d>& potentials) { return new Bus(n, potentials.items(n)); });

const auto cy_ground =
    elements.type<Ground>(TypeId::CyGround).constructor_ignoring_arguments([] { return new Ground(); });

const auto cy_potential_ref = elements.type<PotentialRef>(TypeId::CyPotentialRef).constructor_ignoring_arguments([] {
  return new PotentialRef();
});

}  // namespace
