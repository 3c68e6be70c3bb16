#include "model/switch.hpp"

#include "util/complex_ad.hpp"

Switch::Switch(int n) : ElementImpl(n, n) {
  reserve_exactly(currents, n);
  for (int i = 0; i < n; ++i) currents.emplace_back(complex_d(0.0, 0.0));
}

void Switch::variable_holders(HolderVisitor& visitor) { visitor.visit(currents); }

void Switch::append_equations(TapeArray& y, int& index) {
  for (size_t i = 0; i < side1.size(); ++i) {
    const ad_complex v1 = side1[i]->connection->get_potential_ad();
    const ad_complex v2 = side2[i]->connection->get_potential_ad();
    y[index] = v1.real() - v2.real();
    y[index + 1] = v1.imag() - v2.imag();
    index += 2;
  }
}

void Switch::backward_step() {
  for (Port* p : side2) p->current = balancing_current(*p);
  for (size_t i = 0; i < side1.size(); ++i) {
    const complex_d c = side2[i]->current;
    side1[i]->current = complex_d(-c.real(), -c.imag());
  }
}

// No change of its own to report, but a NaN it passes on fails the sweep.
double Switch::forward_step() {
  bool nan_written = false;
  for (size_t i = 0; i < side1.size(); ++i) {
    const complex_d v = side1[i]->connection->get_potential();
    nan_written = nan_written || has_nan(v);
    side2[i]->connection->potential.set_value(v);
  }
  return nan_written ? std::numeric_limits<double>::quiet_NaN() : 0.0;
}

OpenSwitch::OpenSwitch(int n) : ElementImpl(n, n) {}

void OpenSwitch::backward_step() {
  for (Port* p : side2) p->current = complex_d(0.0, 0.0);
  for (Port* p : side1) p->current = complex_d(0.0, 0.0);
}
