#pragma once
// What a current computation reads and writes in each of its two modes:
// plain complex doubles (C = complex_d) or expressions on the tape being
// recorded (C = ad_complex). Element formulas written against it serve both.

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
  static double magnitude(complex_d z) { return modulus(z); }
  static complex_d multiply(complex_d a, complex_d b) { return complex_multiply(a, b); }
  static complex_d divide(complex_d a, complex_d b) { return complex_divide(a, b); }
  static complex_d inverse(complex_d b) { return complex_divide(complex_d(1.0, 0.0), b); }
  static complex_d zero() { return {0.0, 0.0}; }
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
  static ad_double magnitude(const ad_complex& z) { return ad_abs(z); }
  static ad_complex multiply(const ad_complex& a, const ad_complex& b) { return ad_multiply(a, b); }
  static ad_complex divide(const ad_complex& a, const ad_complex& b) { return ad_divide(a, b); }
  static ad_complex inverse(const ad_complex& b) { return ad_divide_real(1.0, b); }
  static ad_complex zero() { return {ad_double(0.0), ad_double(0.0)}; }
  static Vector side_potentials(const Branch& b, int which) { return b.get_side_potentials_ad(which); }
  static void set_currents(Branch& b, const Vector& i1, const Vector& i2) { b.set_side_currents_ad(i1, i2); }
};

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
