#include "model/transformer.hpp"

#include <cmath>

#include "model/current_mode.hpp"
#include "util/errors.hpp"

TransformerBase::TransformerBase(int n1, int n2, complex_d z2_value, complex_d ym_value, complex_d k_value)
    : Branch(n1, n2), z2(z2_value), ym(ym_value), k(k_value) {}

void TransformerBase::parameter_holders(HolderVisitor& visitor) {
  visitor.visit(z2);
  visitor.visit(ym);
  visitor.visit(k);
}

void TransformerBase::update_transformer_parameters(complex_d z2_value, complex_d ym_value, complex_d k_value) {
  z2.set_value(z2_value);
  ym.set_value(ym_value);
  k.set_value(k_value);
}

void TransformerBase::refuse_backward_step() {
  throw no_backward_step("transformers yet.");
}

double TransformerBase::run_test(const std::vector<TestPotential>& writes) {
  for (const TestPotential& w : writes) ports[w.port].connection->potential.set_value(w.value);
  update_port_currents(false);
  double p = 0.0;
  for (const Port* port : side1) {
    const complex_d v = port->connection->get_potential();
    const complex_d c = port->current;
    p += v.real() * c.real() - v.imag() * (-c.imag());
  }
  return p;
}

namespace {
// Single-phase winding currents from the winding voltages.
template <class C>
void single_phase_currents(const C& u1, const C& u2, const C& y2, const C& k, const C& ym, C& i1, C& i2) {
  i2 = product(u2 - product(u1, k), y2);
  i1 = product(u1, ym) - product(i2, C(k.real(), -k.imag()));
}

template <class C>
typename CurrentMode<C>::Vector pair_of(const C& a, const C& b) {
  typename CurrentMode<C>::Vector v(2);
  v << a, b;
  return v;
}

}  // namespace

template <class C>
void SingleTransformer::compute_currents() {
  using Mode = CurrentMode<C>;
  const C u1 = Mode::potential(side1[0]) - Mode::potential(side1[1]);
  const C u2 = Mode::potential(side2[0]) - Mode::potential(side2[1]);
  C i1, i2;
  single_phase_currents(u1, u2, Mode::inverse(Mode::value(z2)), Mode::value(k), Mode::value(ym), i1, i2);
  Mode::set_currents(*this, pair_of(i1, -i1), pair_of(i2, -i2));
}

template void SingleTransformer::compute_currents<complex_d>();
template void SingleTransformer::compute_currents<ad_complex>();

template <class C>
void CenterTransformer::compute_currents() {
  using Mode = CurrentMode<C>;
  using Vector = typename Mode::Vector;
  const auto half_k = Mode::value(k).real() * 0.5;
  const C half_z = scaled(Mode::value(z2), 0.5);
  const C u1 = Mode::potential(side1[0]) - Mode::potential(side1[1]);
  const C va = Mode::potential(side2[0]);
  const C vb = Mode::potential(side2[1]);
  const C vn = Mode::potential(side2[2]);
  const C ku1 = scaled(u1, half_k);
  const C i2a = Mode::divide(va - (vn + ku1), half_z);
  const C i2b = Mode::divide(vb - (vn - ku1), half_z);
  const C i1 = product(u1, Mode::value(ym)) - scaled(i2a - i2b, half_k);
  Vector side2_currents(3);
  side2_currents << i2a, i2b, C(-i2a.real() - i2b.real(), -i2a.imag() - i2b.imag());
  Mode::set_currents(*this, pair_of(i1, -i1), side2_currents);
}

template void CenterTransformer::compute_currents<complex_d>();
template void CenterTransformer::compute_currents<ad_complex>();

SingleTransformer::SingleTransformer(complex_d z2_value, complex_d ym_value, complex_d k_value)
    : Transformer(2, 2, z2_value, ym_value, k_value) {}

void SingleTransformer::backward_step() {
  const complex_d i2 = balancing_current(*side2[0]);
  side2[0]->current = i2;
  side2[1]->current = -i2;
  const complex_d u1 = side1[0]->connection->get_potential() - side1[1]->connection->get_potential();
  const complex_d kv = k.get_value();
  const complex_d i1 = product(u1, ym.get_value()) - product(i2, std::conj(kv));
  side1[0]->current = i1;
  side1[1]->current = -i1;
}

double SingleTransformer::forward_step() {
  const complex_d u1 = side1[0]->connection->get_potential() - side1[1]->connection->get_potential();
  const complex_d v2b = side2[1]->connection->get_potential();
  const complex_d i2 = side2[0]->current;
  Connection& node = *side2[0]->connection;
  const complex_d before = node.get_potential();
  const complex_d after = v2b + (product(z2.get_value(), i2) + product(k.get_value(), u1));
  node.potential.set_value(after);
  return change_measure(after - before);
}

std::pair<double, double> SingleTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
  const complex_d kv = k.get_value();
  const double angle = std::atan2(kv.imag(), kv.real());
  const double p = run_test({{0, polar_of(uhv, 0.0)}, {1, 0.0}, {2, polar_of(ulv, angle)}, {3, 0.0}});
  return {p, modulus(side1[0]->current) / (sn / uhv)};
}

std::pair<double, double> SingleTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
  const double vsc = (modulus(z2.get_value()) * sn) / (ulv * ulv);
  const double p = run_test({{0, complex_d(vsc * uhv, 0.0)}, {1, 0.0}, {2, 0.0}, {3, 0.0}});
  return {p, vsc};
}

CenterTransformer::CenterTransformer(complex_d z2_value, complex_d ym_value, double k_value)
    : Transformer(2, 3, z2_value, ym_value, complex_d(k_value, 0.0)) {}

void CenterTransformer::backward_step() { refuse_backward_step(); }

std::pair<double, double> CenterTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
  const complex_d kv = k.get_value();
  const complex_d a = polar_of(uhv * 0.5, 0.0);
  const complex_d b = polar_of(ulv * 0.5, std::atan2(kv.imag(), kv.real()));
  const double p = run_test({{0, a}, {1, -a}, {2, b}, {3, -b}, {4, 0.0}});
  return {p, modulus(side1[0]->current) / (sn / uhv)};
}

std::pair<double, double> CenterTransformer::compute_short_circuit_parameters(double uhv, double ulv, double sn) {
  const double vsc = (modulus(z2.get_value()) * sn) / (ulv * ulv);
  const complex_d a = polar_of((uhv * vsc) * 0.5, 0.0);
  const double p = run_test({{0, a}, {1, -a}, {2, 0.0}, {3, 0.0}, {4, 0.0}});
  return {p, vsc};
}
