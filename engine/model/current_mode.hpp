#pragma once
// What a current computation reads and writes in each of its two modes:
// plain complex doubles (C = complex_d) or expressions on the tape being
// recorded (C = ad_complex). Element formulas written against it serve both;
// where the two modes do not compute alike (a division, a doubling, a product
// by a holder matrix) the difference is kept here.

#include <cmath>

#include "model/branch.hpp"
#include "util/complex_ad.hpp"

template <class C>
struct CurrentMode;

template <>
struct CurrentMode<complex_d> {
  using Vector = Eigen::VectorXcd;
  static complex_d potential(const Port& p) { return p.connection->get_potential(); }
  static complex_d potential(const Port* p) { return p->connection->get_potential(); }
  static complex_d& current(Port& p) { return p.current; }
  static complex_d value(const Variable& v) { return v.get_value(); }
  static double value(const ScalarVariable& v) { return v.get_value(); }
  static Eigen::VectorXcd value(const VectorVariable& v) { return v.get_value(); }
  static Eigen::MatrixXcd value(const MatrixVariable& m) { return m.get_value(); }
  // M v by Eigen's dense product.
  static Vector apply(const MatrixVariable& m, const Vector& v) { return m.get_value() * v; }
  // The same for three values by the fixed-size product, the one the load
  // balancer's sweep takes.
  static Eigen::Vector3cd apply(const MatrixVariable& m, const complex_d (&v)[3]) {
    return m.get_value() * Eigen::Map<const Eigen::Vector3cd>(v);
  }
  static double magnitude(complex_d z) { return modulus(z); }
  static complex_d multiply(complex_d a, complex_d b) { return complex_multiply(a, b); }
  static complex_d divide(complex_d a, complex_d b) { return complex_divide(a, b); }
  static complex_d inverse(complex_d b) { return complex_divide(complex_d(1.0, 0.0), b); }
  static complex_d zero() { return {0.0, 0.0}; }
  static complex_d twice(complex_d z) { return z + z; }
  static Vector side_potentials(const Branch& b, int which) { return b.get_side_potentials_values(which); }
  static void set_currents(Branch& b, const Vector& i1, const Vector& i2) { b.set_side_currents(i1, i2); }
};

template <>
struct CurrentMode<ad_complex> {
  using Vector = VectorXad;
  static ad_complex potential(const Port& p) { return p.connection->get_potential_ad(); }
  static ad_complex potential(const Port* p) { return p->connection->get_potential_ad(); }
  static ad_complex& current(Port& p) { return p.current_ad; }
  static ad_complex value(const Variable& v) { return v.ad; }
  static ad_double value(const ScalarVariable& v) { return v.ad; }
  static VectorXad value(const VectorVariable& v) { return v.get_ad(); }
  static MatrixXad value(const MatrixVariable& m) { return m.get_ad(); }
  static Vector apply(const MatrixVariable& m, const Vector& v) { return ad_matvec(m.get_ad(), v); }
  static Vector apply(const MatrixVariable& m, const ad_complex (&v)[3]) {
    Vector column(3);
    for (int j = 0; j < 3; ++j) column(j) = v[j];
    return ad_matvec(m.ad, column);
  }
  static ad_double magnitude(const ad_complex& z) { return ad_abs(z); }
  static ad_complex multiply(const ad_complex& a, const ad_complex& b) { return ad_multiply(a, b); }
  static ad_complex divide(const ad_complex& a, const ad_complex& b) { return ad_divide(a, b); }
  // 1 / b with a real numerator; divide((1, 0), b) records a complex product.
  static ad_complex inverse(const ad_complex& b) { return ad_divide_real(1.0, b); }
  static ad_complex zero() { return {ad_double(0.0), ad_double(0.0)}; }
  // A product by the constant 2 on the tape, a sum in plain doubles.
  static ad_complex twice(const ad_complex& z) { return {ad_double(2.0) * z.real(), ad_double(2.0) * z.imag()}; }
  static Vector side_potentials(const Branch& b, int which) { return b.get_side_potentials_ad(which); }
  static void set_currents(Branch& b, const Vector& i1, const Vector& i2) { b.set_side_currents_ad(i1, i2); }
};

// Every port of `ports` carries no current.
template <class C>
void zero_port_currents(std::vector<Port>& ports) {
  for (Port& port : ports) CurrentMode<C>::current(port) = CurrentMode<C>::zero();
}

// a * b by the textbook formula, in either mode.
template <class C>
C product(const C& a, const C& b) {
  return CurrentMode<C>::multiply(a, b);
}

// A complex value times a real factor, part by part.
template <class C, class R>
C scaled(const C& a, const R& f) {
  return C(a.real() * f, a.imag() * f);
}

// (r cos t, r sin t) for every r, negative and NaN ones included.
inline complex_d polar_of(double r, double t) { return {r * std::cos(t), r * std::sin(t)}; }
