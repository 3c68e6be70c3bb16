#pragma once
// Helpers of the branch tests; the harness itself is Rig (element_harness.hpp).

#include <cmath>
#include <vector>

#include "element_harness.hpp"
#include "model/element.hpp"

// An element whose currents are whatever the test writes into its ports.
struct FixedCurrents : Element {
  using Element::Element;
  void update_port_currents(bool) override {}
};

inline Eigen::MatrixXcd from_rows(int n, const std::vector<complex_d>& row_major) {
  Eigen::MatrixXcd m(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) m(i, j) = row_major[static_cast<size_t>(n * i + j)];
  return m;
}

inline std::vector<complex_d> to_rows(const Eigen::MatrixXcd& m) {
  std::vector<complex_d> out;
  for (Eigen::Index i = 0; i < m.rows(); ++i)
    for (Eigen::Index j = 0; j < m.cols(); ++j) out.push_back(m(i, j));
  return out;
}

// The regulator's smooth clip in its textbook form, ln(1 + e^(k x)) / k per
// side, in long double so that e^(k x) does not overflow over tested ranges.
inline double smooth_clip(double t, double a, double k) {
  const long double kk = k;
  auto sp = [kk](long double x) { return std::log1p(std::exp(kk * x)) / kk; };
  return static_cast<double>((1.0L - a) + sp(t - (1.0L - a)) - sp(t - (1.0L + a)));
}
