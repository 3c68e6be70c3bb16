#include "model/regulator.hpp"

#include <cmath>

#include "util/complex_ad.hpp"

ad_double softplus(const ad_double& x, double k) {
  const ad_double ax = CppAD::abs(x);
  const ad_double smooth = CppAD::log1p(CppAD::exp(ad_double(-k) * ax)) / ad_double(k);
  return ad_double(0.5) * (x + ax) + smooth;
}

double clip_tap(double t, double a, double k) {
  const double low = 1.0 - a;
  const double d = std::fabs(t - low);
  const double s1 = std::log1p(std::exp(-k * d)) / k + ((t - low) + d) * 0.5;
  const double f = t - (a + 1.0);
  const double s2 = std::log1p(std::exp(-k * std::fabs(f))) / k + (std::fabs(f) + f) * 0.5;
  return (s1 + low) - s2;
}

ad_double clip_tap(const ad_double& t, double a, double k) {
  return (ad_double(1.0 - a) + softplus(t - ad_double(1.0 - a), k)) - softplus(t - ad_double(1.0 + a), k);
}

SingleVoltageRegulator::SingleVoltageRegulator(complex_d z2_, complex_d ym_, double u_ref_, double u_range_,
                                               double alpha_, double phi_)
    : Branch(2, 2), z2(z2_), ym(ym_), u_ref(u_ref_), u_range(u_range_), alpha(alpha_), phi(phi_), tap(1.0) {
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

void SingleVoltageRegulator::append_variable_values(std::vector<double>& x0) {
  const double d = modulus(input_voltage());
  x0.push_back(d > 0.0 ? clamped_ratio(d) : tap.value);
}

void SingleVoltageRegulator::append_parameter_values(std::vector<double>& p0) {
  z2.append_value(p0);
  ym.append_value(p0);
  u_ref.append_value(p0);
}

void SingleVoltageRegulator::bind_variables(TapeArray& X, Eigen::VectorXd& x, int& index) {
  tap.bind(X, x, index);
}

void SingleVoltageRegulator::bind_parameters(TapeArray& P, Eigen::VectorXd& p, int& index) {
  z2.bind(P, p, index);
  ym.bind(P, p, index);
  u_ref.bind(P, p, index);
}

void SingleVoltageRegulator::update_port_currents(bool on_tape) {
  const double cos_phi = std::cos(phi), sin_phi = std::sin(phi);
  if (on_tape) {
    const VectorXad v1 = get_side_potentials_ad(1);
    const VectorXad v2 = get_side_potentials_ad(2);
    const ad_complex dv1(v1(0).real() - v1(1).real(), v1(0).imag() - v1(1).imag());
    const ad_complex dv2(v2(0).real() - v2(1).real(), v2(0).imag() - v2(1).imag());
    const ad_double ts = clip_tap(tap.ad, u_range, alpha);
    const ad_complex kt(ad_double(cos_phi) * ts, ad_double(sin_phi) * ts);
    const ad_complex y2 = ad_divide(ad_complex(ad_double(1.0), ad_double(0.0)), z2.ad);
    const ad_complex kdv1 = ad_multiply(dv1, kt);
    const ad_complex i2 = ad_multiply(y2, ad_complex(dv2.real() - kdv1.real(), dv2.imag() - kdv1.imag()));
    const ad_complex ym_dv1 = ad_multiply(ym.ad, dv1);
    const ad_complex back = ad_multiply(ad_complex(kt.real(), -kt.imag()), i2);
    const ad_complex i1(ym_dv1.real() - back.real(), ym_dv1.imag() - back.imag());
    VectorXad s1(2), s2(2);
    s1 << i1, ad_complex(-(i1.real() + i2.real()), -(i1.imag() + i2.imag()));
    s2 << i2, ad_complex(ad_double(0.0), ad_double(0.0));
    set_side_currents_ad(s1, s2);
  } else {
    const Eigen::VectorXcd v2 = get_side_potentials_values(2);
    const complex_d dv1 = input_voltage();
    const complex_d dv2(v2(0).real() - v2(1).real(), v2(0).imag() - v2(1).imag());
    const double ts = get_tap();
    const complex_d kt(ts * cos_phi, ts * sin_phi);
    const complex_d y2 = complex_divide(complex_d(1.0, 0.0), z2.get_value());
    const complex_d x(dv2.real() - (dv1.real() * kt.real() - dv1.imag() * kt.imag()),
                      dv2.imag() - (dv1.real() * kt.imag() + dv1.imag() * kt.real()));
    const complex_d i2 = complex_multiply(y2, x);
    const complex_d i1 = complex_multiply(ym.get_value(), dv1) - complex_multiply(std::conj(kt), i2);
    Eigen::VectorXcd s1(2), s2(2);
    s1 << i1, -(i1 + i2);
    s2 << i2, complex_d(0.0, 0.0);
    set_side_currents(s1, s2);
  }
}

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
