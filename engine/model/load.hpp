#pragma once
// Loads: shunt elements that draw a current in each phase. A star load of n
// ports has n - 1 phases, phase i lying between port i and the neutral (the
// last port); a delta load has n, phase i lying between port i and port
// (i + 1) mod n. Loads have no variables and no equations; their phase values
// are dynamic parameters of the solver.

#include <vector>

#include "model/current_mode.hpp"
#include "model/element.hpp"

// Current of a phase drawing power s at voltage dv: conj(s / dv).
template <class C>
C power_current(const C& s, const C& dv) {
  const C q = CurrentMode<C>::divide(s, dv);
  return {q.real(), -q.imag()};
}

class LoadBase : public Element {
 public:
  // Writes the phase currents, phase_count() of them.
  virtual void get_inner_currents(complex_d* out) const = 0;

  // Number of phase values, and of inner currents.
  int phase_count() const { return phase_count_; }

 protected:
  LoadBase(int n, int phases) : Element(n), phase_count_(phases) {}

 private:
  int phase_count_;
};

// T declares `static constexpr bool delta`.
template <class T>
class Load : public ElementImpl<T, LoadBase> {
 public:
  // Star loads report the currents stored at their phase ports by the last
  // computation; nothing is recomputed.
  void get_inner_currents(complex_d* out) const override {
    for (int i = 0; i < this->phase_count(); ++i) out[i] = this->ports[static_cast<size_t>(i)].current;
  }

  // Phase values of a load of n ports, in 64 bits: n - 1 for a star load, n
  // for a delta one; negative (a star load without ports, or a negative n)
  // where the constructor refuses n as a length error.
  static long long phase_count_of(int n) { return T::delta ? n : static_cast<long long>(n) - 1; }

 protected:
  explicit Load(int n)
      : ElementImpl<T, LoadBase>(n, phase_count_of(n) < 0 ? -1 : static_cast<int>(phase_count_of(n))) {}
};

// Loads whose phases each draw a current set by the phase's own voltage and
// value. T provides phase_values() (the per-phase holders, which are its
// dynamic parameters) and phase_current(i, dv) for both current modes.
template <class T>
class PhaseLoad : public Load<T> {
 public:
  void parameter_holders(HolderVisitor& visitor) override { visitor.visit(self().phase_values()); }

  template <class C>
  void compute_currents() {
    std::vector<C> phase_currents(plain_phase_currents_.size());
    assign_port_currents(phase_currents);
  }

  // Loads take their currents from the present potentials; they balance
  // nothing at their nodes.
  void backward_step() override { assign_port_currents(plain_phase_currents_); }

  void get_inner_currents(complex_d* out) const override {
    if constexpr (T::delta) {
      for (int i = 0; i < this->phase_count(); ++i) out[i] = self().phase_current(i, phase_voltage<complex_d>(i));
    } else {
      Load<T>::get_inner_currents(out);
    }
  }

 protected:
  explicit PhaseLoad(int n) : Load<T>(n) {
    // A star load without ports has -1 phases: the length error is reported here.
    reserve_exactly(plain_phase_currents_, this->phase_count());
    plain_phase_currents_.resize(static_cast<size_t>(this->phase_count()));
  }

  // One holder per phase, from values[0 .. phase_count() - 1].
  std::vector<Variable> make_phase_values(const complex_d* values) const {
    std::vector<Variable> out;
    reserve_exactly(out, this->phase_count());
    for (int i = 0; i < this->phase_count(); ++i) out.emplace_back(values[i]);
    return out;
  }

  template <class C>
  C phase_voltage(int i) const {
    const int n = this->port_count();
    const int end = T::delta ? (i + 1) % n : n - 1;
    return CurrentMode<C>::potential(this->ports[static_cast<size_t>(i)]) -
           CurrentMode<C>::potential(this->ports[static_cast<size_t>(end)]);
  }

 private:
  // Scratch for the plain phase currents, so that backward sweeps allocate nothing.
  std::vector<complex_d> plain_phase_currents_;

  const T& self() const { return static_cast<const T&>(*this); }
  T& self() { return static_cast<T&>(*this); }

  // Every phase current is computed before any port is assigned, so a
  // failing computation leaves the previous port currents whole.
  template <class C>
  void assign_port_currents(std::vector<C>& phase) {
    using M = CurrentMode<C>;
    const int phases = this->phase_count();
    const int n = this->port_count();
    for (int i = 0; i < phases; ++i) phase[static_cast<size_t>(i)] = self().phase_current(i, phase_voltage<C>(i));
    auto& ports = this->ports;
    if constexpr (T::delta) {
      // A port carries the phase that starts there minus the one that ends there.
      for (int k = 0; k < n; ++k)
        M::current(ports[static_cast<size_t>(k)]) =
            phase[static_cast<size_t>(k)] - phase[static_cast<size_t>((k + n - 1) % n)];
    } else {
      C neutral = M::zero();
      for (int i = 0; i < phases; ++i) {
        M::current(ports[static_cast<size_t>(i)]) = phase[static_cast<size_t>(i)];
        neutral -= phase[static_cast<size_t>(i)];
      }
      M::current(ports[static_cast<size_t>(n - 1)]) = neutral;
    }
  }
};

template <class T>
class AbstractPowerLoad : public PhaseLoad<T> {
 public:
  std::vector<Variable> powers;

  std::vector<Variable>& phase_values() { return powers; }
  const std::vector<Variable>& phase_values() const { return powers; }

  template <class C>
  C phase_current(int i, const C& dv) const {
    return power_current(CurrentMode<C>::value(powers[static_cast<size_t>(i)]), dv);
  }

 protected:
  AbstractPowerLoad(int n, const complex_d* values) : PhaseLoad<T>(n), powers(this->make_phase_values(values)) {}
};

template <class T>
class AbstractCurrentLoad : public PhaseLoad<T> {
 public:
  std::vector<Variable> currents;

  std::vector<Variable>& phase_values() { return currents; }
  const std::vector<Variable>& phase_values() const { return currents; }

  // The set point turned to the phase of the voltage: I * dv / |dv|.
  template <class C>
  C phase_current(int i, const C& dv) const {
    using M = CurrentMode<C>;
    const C rotated = M::multiply(M::value(currents[static_cast<size_t>(i)]), dv);
    const auto m = M::magnitude(dv);
    return {rotated.real() / m, rotated.imag() / m};
  }

 protected:
  AbstractCurrentLoad(int n, const complex_d* values)
      : PhaseLoad<T>(n), currents(this->make_phase_values(values)) {}
};

template <class T>
class AbstractAdmittanceLoad : public PhaseLoad<T> {
 public:
  std::vector<Variable> admittances;

  std::vector<Variable>& phase_values() { return admittances; }
  const std::vector<Variable>& phase_values() const { return admittances; }

  template <class C>
  C phase_current(int i, const C& dv) const {
    using M = CurrentMode<C>;
    return M::multiply(dv, M::value(admittances[static_cast<size_t>(i)]));
  }

 protected:
  AbstractAdmittanceLoad(int n, const complex_d* values)
      : PhaseLoad<T>(n), admittances(this->make_phase_values(values)) {}
};

// Concrete loads: (n, values) with values[0 .. phase_count() - 1] read.

class PowerLoad : public AbstractPowerLoad<PowerLoad> {
 public:
  static constexpr bool delta = false;
  PowerLoad(int n, const complex_d* powers);
  ~PowerLoad() override;
};

class DeltaPowerLoad : public AbstractPowerLoad<DeltaPowerLoad> {
 public:
  static constexpr bool delta = true;
  DeltaPowerLoad(int n, const complex_d* powers);
  ~DeltaPowerLoad() override;
};

class CurrentLoad : public AbstractCurrentLoad<CurrentLoad> {
 public:
  static constexpr bool delta = false;
  CurrentLoad(int n, const complex_d* currents);
  ~CurrentLoad() override;
};

class DeltaCurrentLoad : public AbstractCurrentLoad<DeltaCurrentLoad> {
 public:
  static constexpr bool delta = true;
  DeltaCurrentLoad(int n, const complex_d* currents);
  ~DeltaCurrentLoad() override;
};

class AdmittanceLoad : public AbstractAdmittanceLoad<AdmittanceLoad> {
 public:
  static constexpr bool delta = false;
  AdmittanceLoad(int n, const complex_d* admittances);
  ~AdmittanceLoad() override;
};

class DeltaAdmittanceLoad : public AbstractAdmittanceLoad<DeltaAdmittanceLoad> {
 public:
  static constexpr bool delta = true;
  DeltaAdmittanceLoad(int n, const complex_d* admittances);
  ~DeltaAdmittanceLoad() override;
};
