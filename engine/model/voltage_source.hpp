#pragma once
// Ideal voltage sources of n conductors: n - 1 imposed voltages (dynamic
// parameters) and n - 1 current variables. The star form imposes voltage i
// between port i and the last port, the delta form between port i and i + 1.

#include <vector>

#include "model/current_mode.hpp"
#include "model/element.hpp"

template <class T>
class AbstractVoltageSource : public ElementImpl<T> {
 public:
  std::vector<Variable> voltages;
  std::vector<Variable> currents;

  // Imposed voltages of a source of n ports, in 64 bits: n - 1, negative for
  // n = 0, which the constructor refuses as a length error like a negative n.
  static long long voltage_count(int n) { return static_cast<long long>(n) - 1; }

  // Reads voltages[0 .. n-2].
  AbstractVoltageSource(int n, const complex_d* source_voltages) : ElementImpl<T>(n) {
    const long long count = voltage_count(n);
    reserve_exactly(voltages, count);
    for (long long i = 0; i < count; ++i) voltages.emplace_back(source_voltages[i]);
    reserve_exactly(currents, count);
    for (long long i = 0; i < count; ++i) currents.emplace_back(0.0);
  }

  // Number of imposed voltages (n - 1).
  int voltage_count() const { return static_cast<int>(voltages.size()); }
  void update_voltages(const complex_d* values) { update_variable_values(voltages, values); }

  void variable_holders(HolderVisitor& visitor) override { visitor.visit(currents); }
  void parameter_holders(HolderVisitor& visitor) override { visitor.visit(voltages); }

  // Current i flows in at port i; the last port returns their sum.
  template <class C>
  void compute_currents() {
    using M = CurrentMode<C>;
    std::vector<Port>& ports = this->ports;
    typename C::value_type re(0.0), im(0.0);
    for (size_t i = 0; i < currents.size(); ++i) {
      const C current = M::value(currents[i]);
      M::current(ports[i]) = current;
      re -= current.real();
      im -= current.imag();
    }
    M::current(ports.back()) = C(re, im);
  }

 protected:
  // Ports first .. last - 1 each take the current that balances their node;
  // the closing port takes the negated sum of those.
  void balance_ports(size_t first, size_t last, size_t closing) {
    std::vector<Port>& ports = this->ports;
    double re = 0.0, im = 0.0;
    for (size_t i = first; i < last; ++i) {
      const complex_d current = balancing_current(ports[i]);
      ports[i].current = current;
      re -= current.real();
      im -= current.imag();
    }
    ports[closing].current = complex_d(re, im);
  }

  // Rows Re, Im of (V_i - V_k) - U_i for each imposed voltage i, k being
  // port i + 1 (delta form) or the last port (star form).
  void append_voltage_equations(TapeArray& y, int& index, bool to_next_port) {
    const std::vector<Port>& ports = this->ports;
    for (size_t i = 0; i < voltages.size(); ++i) {
      const size_t k = to_next_port ? i + 1 : ports.size() - 1;
      const ad_complex va = ports[i].connection->get_potential_ad();
      const ad_complex vb = ports[k].connection->get_potential_ad();
      const ad_complex& u = voltages[i].ad;
      y[index] = (va.real() - vb.real()) - u.real();
      y[index + 1] = (va.imag() - vb.imag()) - u.imag();
      index += 2;
    }
  }
};

class VoltageSource : public AbstractVoltageSource<VoltageSource> {
 public:
  using AbstractVoltageSource<VoltageSource>::AbstractVoltageSource;

  // The one-value form, for a source of at most one voltage (none on a
  // one-port source, so nothing changes); throws std::invalid_argument for a
  // source of more.
  void update_voltage(complex_d value);

  void append_equations(TapeArray& y, int& index) override;
  void backward_step() override;
  double forward_step() override;
};

class DeltaVoltageSource : public AbstractVoltageSource<DeltaVoltageSource> {
 public:
  using AbstractVoltageSource<DeltaVoltageSource>::AbstractVoltageSource;

  void append_equations(TapeArray& y, int& index) override;
  void backward_step() override;
  double forward_step() override;
};
