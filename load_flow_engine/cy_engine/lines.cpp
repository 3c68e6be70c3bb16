// The switch and line types.

#include "binding.hpp"
#include "model/switch.hpp"

using namespace cy;

namespace {

const Family<Element> elements(FamilyId::element);

const auto cy_switch = elements.type<Switch>(TypeId::CySwitch).constructor({"n"}, [](Int n) { return new Switch(n); });

}  // namespace
