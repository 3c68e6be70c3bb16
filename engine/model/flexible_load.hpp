#pragma once
// Flexible loads: power loads whose phase power follows the phase voltage
// through a flexible parameter, from a theoretical power that is a dynamic
// parameter of the solver.

#include <vector>

#include "model/flexible_parameter.hpp"
#include "model/load.hpp"

template <class T>
class AbstractFlexibleLoad : public PhaseLoad<T> {
 public:
  // One per phase, not owned; a parameter may serve several phases and loads.
  std::vector<FlexibleParameter*> parameters;
  // Theoretical power of each phase.
  std::vector<Variable> powers;

  // Writes the power each phase draws at the present potentials.
  virtual void get_powers(complex_d* out) const {
    for (int i = 0; i < this->phase_count(); ++i)
      out[i] = phase_power(i, this->template phase_voltage<complex_d>(i));
  }

  const std::vector<FlexibleParameter*>& flexible_parameters() const override { return parameters; }

  std::vector<Variable>& phase_values() { return powers; }
  const std::vector<Variable>& phase_values() const { return powers; }

  template <class C>
  C phase_power(int i, const C& dv) const {
    using M = CurrentMode<C>;
    const size_t k = static_cast<size_t>(i);
    return parameters[k]->compute_power(M::magnitude(dv), M::value(powers[k]));
  }

  template <class C>
  C phase_current(int i, const C& dv) const {
    return power_current(phase_power(i, dv), dv);
  }

 protected:
  // Throws std::invalid_argument unless `parameters` holds a non-null entry
  // for every phase.
  AbstractFlexibleLoad(int n, const complex_d* theoretical_powers, std::vector<FlexibleParameter*> parameters);
};

class FlexibleLoad : public AbstractFlexibleLoad<FlexibleLoad> {
 public:
  static constexpr bool delta = false;
  FlexibleLoad(int n, const complex_d* powers, std::vector<FlexibleParameter*> parameters);
  ~FlexibleLoad() override;
};

class DeltaFlexibleLoad : public AbstractFlexibleLoad<DeltaFlexibleLoad> {
 public:
  static constexpr bool delta = true;
  DeltaFlexibleLoad(int n, const complex_d* powers, std::vector<FlexibleParameter*> parameters);
  ~DeltaFlexibleLoad() override;
};
