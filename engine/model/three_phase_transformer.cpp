#include "model/three_phase_transformer.hpp"

#include <cmath>
#include <initializer_list>
#include <stdexcept>

#include <fmt/format.h>

#include "model/current_mode.hpp"

namespace {
constexpr double kPi = 3.141592653589793;

bool one_of(int value, std::initializer_list<int> list) {
  for (int v : list)
    if (v == value) return true;
  return false;
}

// (P x)_i = x_(i+1 mod 3).
Eigen::Matrix3d cyclic_shift() {
  Eigen::Matrix3d p;
  p << 0, 1, 0, 0, 0, 1, 1, 0, 0;
  return p;
}

// (N V)_i = V_i - V_3: phase to neutral.
Eigen::MatrixXd phase_to_neutral() {
  Eigen::MatrixXd n(3, 4);
  n << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1;
  return n;
}

// A delta winding: each winding either between phases i and i+1 (voltages
// (I - P) V, line currents (I - Q) J) or between phases i and i-1.
void delta_winding(bool towards_next, Eigen::MatrixXd& voltage, Eigen::Matrix3d& current) {
  const Eigen::Matrix3d I = Eigen::Matrix3d::Identity();
  const Eigen::Matrix3d P = cyclic_shift();
  const Eigen::Matrix3d Q = P.transpose();
  voltage = towards_next ? I - P : I - Q;
  current = towards_next ? I - Q : I - P;
}

int winding_ports(const std::string& winding) { return winding == "D" || winding == "d" ? 3 : 4; }

// out_i = sum_j entry(i, j) * v_j, a real (or real tape) matrix times a
// complex vector, each part accumulated from 0 in column order.
template <class Entry, class Vector>
Vector real_matvec(Entry entry, Eigen::Index rows, Eigen::Index cols, const Vector& v) {
  using C = typename Vector::Scalar;
  using R = typename C::value_type;
  Vector out(rows);
  for (Eigen::Index i = 0; i < rows; ++i) {
    R re(0.0), im(0.0);
    for (Eigen::Index j = 0; j < cols; ++j) {
      const auto a = entry(i, j);
      re += a * v(j).real();
      im += a * v(j).imag();
    }
    out(i) = C(re, im);
  }
  return out;
}

template <class Derived, class Vector>
Vector real_matvec(const Eigen::MatrixBase<Derived>& m, const Vector& v) {
  return real_matvec([&m](Eigen::Index i, Eigen::Index j) { return m(i, j); }, m.rows(), m.cols(), v);
}
}  // namespace

ThreePhaseTransformer::ThreePhaseTransformer(int n1, int n2, std::string hv_winding, std::string lv_winding,
                                             complex_d z2_value, complex_d ym_value, double k_value,
                                             int clock_number)
    : Transformer(n1, n2, z2_value, ym_value, complex_d(k_value, 0.0)),
      clock_sign(1.0),
      clock(clock_number),
      whv(std::move(hv_winding)),
      wlv(std::move(lv_winding)) {
  const Eigen::Matrix3d I = Eigen::Matrix3d::Identity();
  const Eigen::Matrix3d P = cyclic_shift();
  const Eigen::Matrix3d Q = P.transpose();
  const Eigen::MatrixXd N = phase_to_neutral();
  double s = (clock >= 4 && clock <= 8) ? -1.0 : 1.0;

  if (whv == "D") {
    delta_winding(one_of(clock, {0, 4, 5, 6, 10, 11}), hv_voltage_matrix, hv_current_matrix);
  } else if (whv == "Y") {
    hv_voltage_matrix = N;
    hv_current_matrix = I;
  } else {
    throw std::runtime_error("Bad HV winding: " + whv);
  }

  if (wlv == "d") {
    delta_winding(one_of(clock, {0, 1, 2, 6, 7, 8}), lv_voltage_matrix, lv_current_matrix);
    voltage_coupling_matrix = I;
    current_coupling_matrix = -I;
  } else if (wlv == "y") {
    lv_voltage_matrix = N;
    lv_current_matrix = I;
    voltage_coupling_matrix = I;
    current_coupling_matrix = -I;
    // The star secondary reaches these clocks by relabelling its phases.
    if (clock == 2 || clock == 8) {
      lv_voltage_matrix = P * N;
      lv_current_matrix = Q;
      s = -s;
    } else if (clock == 4 || clock == 10) {
      lv_voltage_matrix = Q * N;
      lv_current_matrix = P;
      s = -s;
    }
  } else if (wlv == "z") {
    lv_voltage_matrix = N;
    lv_current_matrix = I;
    if (one_of(clock, {0, 1, 2, 6, 7, 8})) {
      voltage_coupling_matrix = I - Q;
      current_coupling_matrix = P - I;
    } else {
      voltage_coupling_matrix = I - P;
      current_coupling_matrix = Q - I;
    }
  } else {
    throw std::runtime_error("Bad LV winding: " + wlv);
  }

  voltage_coupling_matrix *= s;
  lv_current_matrix *= s;
  clock_sign = s;

  // The matrices are sized by the winding names; a side of another size
  // would make the current computation read past its potentials.
  if (n1 != winding_ports(whv))
    throw std::invalid_argument(
        fmt::format("The HV winding {} needs {} ports, not {}", whv, winding_ports(whv), n1));
  if (n2 != winding_ports(wlv))
    throw std::invalid_argument(
        fmt::format("The LV winding {} needs {} ports, not {}", wlv, winding_ports(wlv), n2));
}

template <class C>
void ThreePhaseTransformer::compute_currents() {
  using Mode = CurrentMode<C>;
  using Vector = typename Mode::Vector;
  using R = typename C::value_type;

  const Vector u1 = real_matvec(hv_voltage_matrix, Mode::side_potentials(*this, 1));
  const Vector u2 = real_matvec(lv_voltage_matrix, Mode::side_potentials(*this, 2));
  const C ys = scaled(Mode::inverse(Mode::value(z2)), clock_sign);
  const C ym_value = Mode::value(ym);
  const R kr = Mode::value(k).real();

  // K = kr I; the coupling M K and the balancing K E, entry by entry.
  R mk[3][3], ke[3][3];
  for (int i = 0; i < 3; ++i)
    for (int l = 0; l < 3; ++l) {
      R acc(0.0);
      for (int j = 0; j < 3; ++j) acc += voltage_coupling_matrix(i, j) * (kr * (j == l ? 1.0 : 0.0));
      mk[i][l] = acc;
      ke[i][l] = kr * current_coupling_matrix(i, l);
    }
  const Vector w = real_matvec([&mk](Eigen::Index i, Eigen::Index j) { return mk[i][j]; }, 3, 3, u1);

  Vector i2(3);
  for (int i = 0; i < 3; ++i) i2(i) = product(ys, u2(i) - w(i));
  const Vector balance = real_matvec([&ke](Eigen::Index i, Eigen::Index j) { return ke[i][j]; }, 3, 3, i2);
  Vector j1(3);
  for (int i = 0; i < 3; ++i) j1(i) = product(ym_value, u1(i)) + balance(i);

  Mode::set_currents(*this, real_matvec(hv_current_matrix, j1), real_matvec(lv_current_matrix, i2));
}

template void ThreePhaseTransformer::compute_currents<complex_d>();
template void ThreePhaseTransformer::compute_currents<ad_complex>();

void ThreePhaseTransformer::backward_step() { refuse_backward_step(); }

namespace {
double phase_angle(int i) { return ((static_cast<double>(-i) * 2.0) * kPi) / 3.0; }
}  // namespace

std::pair<double, double> ThreePhaseTransformer::compute_open_circuit_parameters(double uhv, double ulv, double sn) {
  const double sqrt3 = std::sqrt(3.0);
  const double rated_current = sn / (sqrt3 * uhv);
  // In doubles: the integer negation of the most negative clock overflows.
  const double theta = ((static_cast<double>(clock) * -1.0) * kPi) / 6.0;
  const complex_d rot(std::cos(theta), std::sin(theta));
  const int n1 = static_cast<int>(side1.size());
  std::vector<TestPotential> writes;
  writes.reserve(ports.size());
  for (int i = 0; i < 3; ++i) {
    writes.push_back({i, polar_of(uhv / sqrt3, phase_angle(i))});
    writes.push_back({n1 + i, product(rot, polar_of(ulv / sqrt3, phase_angle(i)))});
  }
  if (side1.size() == 4) writes.push_back({3, 0.0});
  if (side2.size() == 4) writes.push_back({n1 + 3, 0.0});
  const double p = run_test(writes);
  return {p, modulus(side1[0]->current) / rated_current};
}

std::pair<double, double> ThreePhaseTransformer::compute_short_circuit_parameters(double uhv, double ulv,
                                                                                  double sn) {
  const double sqrt3 = std::sqrt(3.0);
  double g = modulus(z2.get_value());
  if (wlv == "d") g = g / 3.0;  // star equivalent of the delta winding's impedance
  const double vsc = (g * sn) / (ulv * ulv);
  const int n1 = static_cast<int>(side1.size());
  std::vector<TestPotential> writes;
  writes.reserve(ports.size());
  for (int i = 0; i < 3; ++i) {
    writes.push_back({i, polar_of((uhv * vsc) / sqrt3, phase_angle(i))});
    writes.push_back({n1 + i, 0.0});
  }
  if (side1.size() == 4) writes.push_back({3, 0.0});
  if (side2.size() == 4) writes.push_back({n1 + 3, 0.0});
  const double p = run_test(writes);
  return {p, vsc};
}
