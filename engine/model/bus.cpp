#include "model/bus.hpp"

#include "util/complex_ad.hpp"

Bus::Bus(int n, const complex_d* potentials) : ElementImpl<Bus>(n, potentials) {}

void Bus::initialize_potentials(const complex_d* potentials) {
  for (size_t i = 0; i < ports.size(); ++i) ports[i].connection->potential.set_value(potentials[i]);
}

void Bus::backward_step() { zero_port_currents<complex_d>(ports); }

Ground::Ground() : ElementImpl<Ground>(1) {}

void Ground::backward_step() { zero_port_currents<complex_d>(ports); }

PotentialRef::PotentialRef() : ElementImpl<PotentialRef>(1) { ports[0].connection->is_reference = true; }

complex_d PotentialRef::get_current() const {
  double re = 0.0, im = 0.0;
  for (const Port* port : ports[0].connection->ports) {
    re += port->current.real();
    im += port->current.imag();
  }
  return {re, im};
}

void PotentialRef::backward_step() { zero_port_currents<complex_d>(ports); }

double PotentialRef::forward_step() {
  Connection& node = *ports[0].connection;
  const complex_d v = node.get_potential();
  node.potential.set_value(0.0);
  return change_measure(v);
}

DeltaPotentialRef::DeltaPotentialRef(int n) : ElementImpl<DeltaPotentialRef>(n), current(0.0) {}

void DeltaPotentialRef::variable_holders(HolderVisitor& visitor) { visitor.visit(current); }

void DeltaPotentialRef::append_equations(TapeArray& y, int& index) {
  ad_double re(0.0), im(0.0);
  for (const Port& port : ports) {
    const ad_complex v = port.connection->get_potential_ad();
    re = re + v.real();
    im = im + v.imag();
  }
  y[index] = re;
  y[index + 1] = im;
  index += 2;
}

void DeltaPotentialRef::backward_step() { zero_port_currents<complex_d>(ports); }

double DeltaPotentialRef::forward_step() {
  if (ports.empty()) return 0.0;
  double re = 0.0, im = 0.0;
  for (const Port& port : ports) {
    const complex_d v = port.connection->get_potential();
    re += v.real();
    im += v.imag();
  }
  const double n = static_cast<double>(ports.size());
  const complex_d mean(re / n, im / n);
  // Read again at each port: a node shared by two ports is shifted twice.
  bool nan_written = false;
  for (Port& port : ports) {
    Connection& node = *port.connection;
    const complex_d v = node.get_potential();
    const complex_d shifted(v.real() - mean.real(), v.imag() - mean.imag());
    nan_written = nan_written || has_nan(shifted);
    node.potential.set_value(shifted);
  }
  // An infinite sum is a change of inf, yet it shifts potentials to NaN.
  return nan_written ? std::numeric_limits<double>::quiet_NaN() : change_measure({re, im});
}
