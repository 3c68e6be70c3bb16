#include "model/voltage_source.hpp"

#include <stdexcept>

#include <fmt/format.h>

#include "util/complex_ad.hpp"

void VoltageSource::update_voltage(complex_d value) {
  if (voltage_count() > 1)
    throw std::invalid_argument(
        fmt::format("a one-value voltage update needs a source of at most one voltage, this source has {}",
                    voltage_count()));
  update_voltages(&value);
}

void VoltageSource::append_equations(TapeArray& y, int& index) { append_voltage_equations(y, index, false); }

// Balances the first n - 1 nodes and closes on the last port.
void VoltageSource::backward_step() { balance_ports(0, ports.size() - 1, ports.size() - 1); }

// The sources report no change of their own, only a NaN they write.
double VoltageSource::forward_step() {
  const Connection& last = *ports.back().connection;
  bool nan_written = false;
  for (size_t i = 0; i < voltages.size(); ++i) {
    const complex_d base = last.get_potential();
    const complex_d u = voltages[i].get_value();
    const complex_d v(base.real() + u.real(), base.imag() + u.imag());
    nan_written = nan_written || has_nan(v);
    ports[i].connection->potential.set_value(v);
  }
  return nan_written ? std::numeric_limits<double>::quiet_NaN() : 0.0;
}

void DeltaVoltageSource::append_equations(TapeArray& y, int& index) { append_voltage_equations(y, index, true); }

// Balances the last n - 1 nodes and closes on port 0.
void DeltaVoltageSource::backward_step() { balance_ports(1, ports.size(), 0); }

double DeltaVoltageSource::forward_step() {
  bool nan_written = false;
  for (size_t i = 0; i < voltages.size(); ++i) {
    const complex_d v = ports[i].connection->get_potential();
    const complex_d u = voltages[i].get_value();
    const complex_d next(v.real() - u.real(), v.imag() - u.imag());
    nan_written = nan_written || has_nan(next);
    ports[i + 1].connection->potential.set_value(next);
  }
  return nan_written ? std::numeric_limits<double>::quiet_NaN() : 0.0;
}
