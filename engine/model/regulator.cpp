#include "model/regulator.hpp"

#include <cmath>

#include "model/current_mode.hpp"
#include "util/complex_ad.hpp"

SingleVoltageRegulator::SingleVoltageRegulator(complex_d z2_, complex_d ym_, double u_ref_, double u_range_,
                                               double alpha_, double phi_)
    : ElementImpl(2, 2), z2(z2_), ym(ym_), u_ref(u_ref_), u_range(u_range_), alpha(alpha_), phi(phi_), tap(1.0) {
  side1[1]->connection->merge(side2[1]);
}

complex_d SingleVoltageRegulator::input_voltage() const {
  const complex_d a = side1[0]->connection->get_potential();
  const complex_d b = side1[1]->connection->get_potential();
  return {a.real() - b.real(), a.imag() - b.imag()};
}

double SingleVoltageRegulator::clamped_ratio(double d) const {
  const double r = u_ref.get_value() / d;
  const double c = (1.0 - u_range > r) ? 1.0 - u_range : r;
  return (1.0 + u_range < c) ? 1.0 + u_range : c;
}

double SingleVoltageRegulator::get_tap() const { return clip_tap(tap.get_value(), u_range, alpha); }

double SingleVoltageRegulator::compute_tap(double u_in) const {
  return clip_tap(u_ref.get_value() / u_in, u_range, alpha);
}

void SingleVoltageRegulator::update_parameters(complex_d z2_, complex_d ym_, double u_ref_) {
  z2.set_value(z2_);
  ym.set_value(ym_);
  u_ref.set_value(u_ref_);
  const complex_d dv1 = input_voltage();
  const double d = modulus(dv1);
  if (!(d > 0.0)) return;
  tap.set_value(clamped_ratio(d));
  const double ts = get_tap();
  const complex_d v1b = side1[1]->connection->get_potential();
  side2[0]->connection->potential.set_value({dv1.real() * ts + v1b.real(), dv1.imag() * ts + v1b.imag()});
}

void SingleVoltageRegulator::variable_holders(HolderVisitor& visitor) {
  visitor.visit(tap, [this] {
    const double d = modulus(input_voltage());
    return d > 0.0 ? clamped_ratio(d) : tap.value;
  });
}

void SingleVoltageRegulator::parameter_holders(HolderVisitor& visitor) {
  visitor.visit(z2);
  visitor.visit(ym);
  visitor.visit(u_ref);
}

template <class C>
void SingleVoltageRegulator::compute_currents() {
  using M = CurrentMode<C>;
  const double cos_phi = std::cos(phi), sin_phi = std::sin(phi);
  const C dv1 = M::potential(side1[0]) - M::potential(side1[1]);
  const C dv2 = M::potential(side2[0]) - M::potential(side2[1]);
  const auto ts = clip_tap(M::value(tap), u_range, alpha);
  const C kt(ts * cos_phi, ts * sin_phi);
  // (1, 0) / z2 by the general division, recorded on the tape as a complex
  // product, where the transformers take the real-numerator inverse.
  const C y2 = M::divide(C(1.0, 0.0), M::value(z2));
  const C i2 = M::multiply(y2, dv2 - M::multiply(dv1, kt));
  const C i1 = M::multiply(M::value(ym), dv1) - M::multiply(C(kt.real(), -kt.imag()), i2);
  typename M::Vector s1(2), s2(2);
  s1 << i1, -(i1 + i2);
  s2 << i2, M::zero();
  M::set_currents(*this, s1, s2);
}

template void SingleVoltageRegulator::compute_currents<complex_d>();
template void SingleVoltageRegulator::compute_currents<ad_complex>();

void SingleVoltageRegulator::append_equations(TapeArray& y, int& index) {
  const VectorXad v2 = get_side_potentials_ad(2);
  const ad_complex dv2(v2(0).real() - v2(1).real(), v2(0).imag() - v2(1).imag());
  const ad_double t = tap.ad;
  y[index] = (t * ad_abs(dv2)) / u_ref.ad - clip_tap(t, u_range, alpha);
  index += 1;
}

void SingleVoltageRegulator::backward_step() {
  const complex_d i2 = balancing_current(*side2[0]);
  side2[0]->current = i2;
  const double ts = get_tap();
  const complex_d kt(std::cos(phi) * ts, std::sin(phi) * ts);
  const complex_d i1 = complex_multiply(ym.get_value(), input_voltage()) - complex_multiply(std::conj(kt), i2);
  side1[0]->current = i1;
  side1[1]->current = -(i1 + i2);
  side2[1]->current = complex_d(0.0, 0.0);
}

double SingleVoltageRegulator::forward_step() {
  const double cos_phi = std::cos(phi), sin_phi = std::sin(phi);
  const complex_d dv1 = input_voltage();
  const complex_d v2b = side2[1]->connection->get_potential();
  const complex_d z2_i2 = complex_multiply(z2.get_value(), side2[0]->current);
  const double ts = get_tap();
  // The output voltage the present tap gives: dV2 = z2 I2 + kt dV1.
  const double w_re = z2_i2.real() + (dv1.real() * (cos_phi * ts) - dv1.imag() * (sin_phi * ts));
  const double w_im = (dv1.real() * (sin_phi * ts) + dv1.imag() * (cos_phi * ts)) + z2_i2.imag();
  tap.set_value((ts * u_ref.get_value()) / std::hypot(w_re, w_im));

  const double ts_new = get_tap();
  const double c = cos_phi * ts_new, s = sin_phi * ts_new;
  const complex_d v2a_new(((c * dv1.real() - s * dv1.imag()) + z2_i2.real()) + v2b.real(),
                          ((c * dv1.imag() + s * dv1.real()) + z2_i2.imag()) + v2b.imag());
  Connection& out = *side2[0]->connection;
  const complex_d v2a_old = out.get_potential();
  out.potential.set_value(v2a_new);
  return change_measure(v2a_new - v2a_old);
}
