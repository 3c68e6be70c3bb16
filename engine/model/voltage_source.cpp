#include "model/voltage_source.hpp"

void VoltageSource::append_equations(TapeArray& y, int& index) { append_voltage_equations(y, index, false); }

void VoltageSource::backward_step() {
  const size_t m = currents.size();
  double re = 0.0, im = 0.0;
  for (size_t i = 0; i < m; ++i) {
    const complex_d current = balancing_current(ports[i]);
    ports[i].current = current;
    re -= current.real();
    im -= current.imag();
  }
  ports.back().current = complex_d(re, im);
}

double VoltageSource::forward_step() {
  const Connection& last = *ports.back().connection;
  for (size_t i = 0; i < voltages.size(); ++i) {
    const complex_d base = last.get_potential();
    const complex_d u = voltages[i].get_value();
    ports[i].connection->potential.set_value({base.real() + u.real(), base.imag() + u.imag()});
  }
  return 0.0;
}

void DeltaVoltageSource::append_equations(TapeArray& y, int& index) { append_voltage_equations(y, index, true); }

void DeltaVoltageSource::backward_step() {
  const size_t n = ports.size();
  double re = 0.0, im = 0.0;
  for (size_t i = 1; i < n; ++i) {
    const complex_d current = balancing_current(ports[i]);
    ports[i].current = current;
    re -= current.real();
    im -= current.imag();
  }
  ports[0].current = complex_d(re, im);
}

double DeltaVoltageSource::forward_step() {
  for (size_t i = 0; i < voltages.size(); ++i) {
    const complex_d v = ports[i].connection->get_potential();
    const complex_d u = voltages[i].get_value();
    ports[i + 1].connection->potential.set_value({v.real() - u.real(), v.imag() - u.imag()});
  }
  return 0.0;
}
