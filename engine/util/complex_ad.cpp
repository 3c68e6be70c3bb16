#include "util/complex_ad.hpp"

#include <limits>

ad_double ad_abs(const ad_complex& z) {
  const ad_double re2 = z.real() * z.real();
  const ad_double im2 = z.imag() * z.imag();
  return CppAD::sqrt(re2 + im2);
}

namespace {
ad_complex ad_reciprocal(const ad_complex& b) {
  const ad_double q = b.real() * b.real() + b.imag() * b.imag();
  return {b.real() / q, -b.imag() / q};
}
}  // namespace

ad_complex ad_divide(const ad_complex& a, const ad_complex& b) {
  const ad_complex r = ad_reciprocal(b);
  return {a.real() * r.real() - a.imag() * r.imag(), a.imag() * r.real() + a.real() * r.imag()};
}

ad_complex ad_divide_real(double a, const ad_complex& b) {
  const ad_complex r = ad_reciprocal(b);
  return {a * r.real(), a * r.imag()};
}

complex_d complex_divide(complex_d a, complex_d b) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag();
  if (std::isnan(br) || std::isnan(bi)) return {nan, nan};
  if (std::fabs(br) > std::fabs(bi)) {
    const double w = bi / br;
    const double d = w * bi + br;
    if (std::isnan(d) || d == 0.0) return {nan, nan};
    return {(ai * w + ar) / d, (ai - ar * w) / d};
  }
  if (bi == 0.0) return {ar / br, ai / br};  // br is zero as well
  const double w = br / bi;
  const double d = w * br + bi;
  if (std::isnan(d) || d == 0.0) return {nan, nan};
  return {(ar * w + ai) / d, (ai * w - ar) / d};
}

VectorXad ad_matvec(const MatrixXad& m, const VectorXad& v) {
  VectorXad out(m.rows());
  for (Eigen::Index i = 0; i < m.rows(); ++i) {
    ad_double re(0.0), im(0.0);
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
      const ad_complex& a = m(i, j);
      const ad_complex& b = v(j);
      re += a.real() * b.real() - a.imag() * b.imag();
      im += a.real() * b.imag() + a.imag() * b.real();
    }
    out(i) = ad_complex(re, im);
  }
  return out;
}
