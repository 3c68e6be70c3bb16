#include "model/flexible_load.hpp"

#include <stdexcept>

#include <fmt/format.h>

template <class T>
AbstractFlexibleLoad<T>::AbstractFlexibleLoad(int n, const complex_d* theoretical_powers,
                                              std::vector<FlexibleParameter*> parameters)
    : PhaseLoad<T>(n), parameters(std::move(parameters)), powers(this->make_phase_values(theoretical_powers)) {
  // Each phase dereferences its entry at every current computation.
  const size_t phases = static_cast<size_t>(this->phase_count());
  if (this->parameters.size() < phases)
    throw std::invalid_argument(
        fmt::format("a flexible load of {} phases got {} flexible parameters", phases, this->parameters.size()));
  for (size_t i = 0; i < phases; ++i)
    if (this->parameters[i] == nullptr)
      throw std::invalid_argument(fmt::format("flexible parameter {} of a flexible load is null", i));
}

FlexibleLoad::FlexibleLoad(int n, const complex_d* powers, std::vector<FlexibleParameter*> parameters)
    : AbstractFlexibleLoad(n, powers, std::move(parameters)) {}
FlexibleLoad::~FlexibleLoad() = default;

DeltaFlexibleLoad::DeltaFlexibleLoad(int n, const complex_d* powers, std::vector<FlexibleParameter*> parameters)
    : AbstractFlexibleLoad(n, powers, std::move(parameters)) {}
DeltaFlexibleLoad::~DeltaFlexibleLoad() = default;
