#pragma once
// Complex arithmetic shared by the element models: tape forms (recorded
// operation by operation) and the plain-double division rule.

#include <cmath>
#include <limits>

#include "util/ad_types.hpp"

// sqrt(re^2 + im^2) on the tape; no rescaling, no special case at 0.
ad_double ad_abs(const ad_complex& z);

// a / b as a * (1 / b), 1 / b = (re b / q, -im b / q), q = |b|^2.
ad_complex ad_divide(const ad_complex& a, const ad_complex& b);

// a * (1 / b) for a real constant a.
ad_complex ad_divide_real(double a, const ad_complex& b);

// Plain complex division (Smith's method) with fixed results for NaN and
// zero divisors; every plain division in the engine goes through it.
complex_d complex_divide(complex_d a, complex_d b);

// Plain complex product by the textbook formula, whatever the operands.
inline complex_d complex_multiply(complex_d a, complex_d b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// Tape complex product by the textbook formula (std::complex leaves products
// of tape scalars unspecified).
inline ad_complex ad_multiply(const ad_complex& a, const ad_complex& b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// True when either part is NaN.
inline bool has_nan(complex_d z) { return std::isnan(z.real()) || std::isnan(z.imag()); }

// Change measure of a forward step: the larger of |re| and |im|, the
// imaginary part winning only when strictly larger; NaN when either part is
// NaN, so that a sweep never passes a NaN over.
inline double change_measure(complex_d delta) {
  if (has_nan(delta)) return std::numeric_limits<double>::quiet_NaN();
  const double re = std::fabs(delta.real());
  const double im = std::fabs(delta.imag());
  return re < im ? im : re;
}

// Modulus of a plain complex value, as hypot of its parts.
inline double modulus(complex_d z) { return std::hypot(z.real(), z.imag()); }

// Tape matrix-vector product M * v, each entry accumulated from the tape
// constant 0 in column order.
VectorXad ad_matvec(const MatrixXad& m, const VectorXad& v);
