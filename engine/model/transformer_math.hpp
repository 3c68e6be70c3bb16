#pragma once
// The plain and tape forms of what the transformer models read and write, so
// that each model's currents are written once for both scalar types: C is
// complex_d (plain doubles) or ad_complex (tape expressions).

#include <cmath>

#include "model/branch.hpp"
#include "util/complex_ad.hpp"

template <class C>
struct CurrentMode;

template <>
struct CurrentMode<complex_d> {
  using Vector = Eigen::VectorXcd;
  static complex_d potential(const Port* p) { return p->connection->get_potential(); }
  static complex_d value(const Variable& v) { return v.get_value(); }
  static complex_d inverse(complex_d b) { return complex_divide(complex_d(1.0, 0.0), b); }
  static complex_d divide(complex_d a, complex_d b) { return complex_divide(a, b); }
  static Vector side_potentials(const Branch& b, int which) { return b.get_side_potentials_values(which); }
  static void set_currents(Branch& b, const Vector& i1, const Vector& i2) { b.set_side_currents(i1, i2); }
};

template <>
struct CurrentMode<ad_complex> {
  using Vector = VectorXad;
  static ad_complex potential(const Port* p) { return p->connection->get_potential_ad(); }
  static ad_complex value(const Variable& v) { return v.ad; }
  static ad_complex inverse(const ad_complex& b) { return ad_divide_real(1.0, b); }
  static ad_complex divide(const ad_complex& a, const ad_complex& b) { return ad_divide(a, b); }
  static Vector side_potentials(const Branch& b, int which) { return b.get_side_potentials_ad(which); }
  static void set_currents(Branch& b, const Vector& i1, const Vector& i2) { b.set_side_currents_ad(i1, i2); }
};

// a * b by the textbook formula, in either scalar type.
template <class C>
C product(const C& a, const C& b) {
  return C(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
}

// A complex value times a real factor, part by part.
template <class C, class R>
C scaled(const C& a, const R& f) {
  return C(a.real() * f, a.imag() * f);
}

// (r cos t, r sin t) for every r, negative and NaN ones included.
inline complex_d polar_of(double r, double t) { return {r * std::cos(t), r * std::sin(t)}; }
