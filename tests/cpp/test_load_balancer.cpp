#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "element_harness.hpp"
#include "model/load_balancer.hpp"

namespace {

// Zlb = alpha I + beta (J - I) has the inverse with diagonal
// (alpha + beta) / ((alpha - beta)(alpha + 2 beta)) and off-diagonal
// -beta / ((alpha - beta)(alpha + 2 beta)).
struct ClosedForm {
  complex_d diagonal, off;
};

ClosedForm closed_form(complex_d z2, complex_d ym, double k) {
  const complex_d alpha = z2 + (1.0 + 1.0 / (k * k)) / ym;
  const complex_d beta = -1.0 / (k * ym);
  const complex_d det = (alpha - beta) * (alpha + 2.0 * beta);
  return {(alpha + beta) / det, -beta / det};
}

struct Case {
  complex_d z2, ym;
  double k;
};

const Case cases[] = {
    {{1.0, 0.0}, {1.0, 0.0}, 1.0},
    {{0.02, 0.05}, {1e-3, -4e-3}, 2.0},
    {{0.5, 0.1}, {0.2, -0.7}, 0.5},
    {{0.0, 0.1}, {0.0, -1.0}, -1.5},
};

void PrintTo(const Case& c, std::ostream* os) { *os << "z2 " << c.z2 << " ym " << c.ym << " k " << c.k; }

class LoadBalancerCases : public testing::TestWithParam<Case> {};

TEST_P(LoadBalancerCases, AdmittanceAndCurrents) {
  const Case c = GetParam();
  LoadBalancer lb(c.z2, c.ym, c.k);
  const ClosedForm y = closed_form(c.z2, c.ym, c.k);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) expect_close(lb.admittance.value(i, j), i == j ? y.diagonal : y.off, 1e-11);

  ElementHarness h(lb);
  const std::vector<complex_d> v = {{231.0, 3.0}, {-114.0, -200.0}, {-118.0, 197.0}, {1.5, -0.5}};
  h.set_potentials(v);
  std::vector<complex_d> expected(4, 0.0);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) expected[i] += (i == j ? y.diagonal : y.off) * (v[j] - v[3]);
    expected[3] -= expected[i];
  }
  expect_all_close(h.plain_currents(), expected, 1e-11);
  expect_all_close(h.tape_currents(), expected, 1e-11);

  // Inner currents are the stored phase-port currents.
  std::vector<complex_d> inner(4, complex_d(9.0, 9.0));
  lb.get_inner_currents(inner.data());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(inner[i], lb.ports[i].current);
  EXPECT_EQ(inner[3], complex_d(9.0, 9.0));

  for (Port& port : lb.ports) port.current = 0.0;
  lb.backward_step();
  for (int i = 0; i < 4; ++i) expect_close(lb.ports[i].current, expected[i], 1e-11);
}

INSTANTIATE_TEST_SUITE_P(Parameters, LoadBalancerCases, testing::ValuesIn(cases));

TEST(LoadBalancer, UnitParametersExample) {
  LoadBalancer lb(1.0, 1.0, 1.0);
  EXPECT_EQ(lb.phase_count(), 3);
  ElementHarness h(lb);
  h.set_potentials({1.0, 0.0, 0.0, 0.0});
  expect_all_close(h.plain_currents(), {0.5, 0.25, 0.25, -1.0});
  expect_all_close(h.tape_currents(), {0.5, 0.25, 0.25, -1.0});
  // Equal phase and neutral potentials draw nothing.
  h.set_potentials({{7.0, 1.0}, {7.0, 1.0}, {7.0, 1.0}, {7.0, 1.0}});
  expect_all_close(h.plain_currents(), {0.0, 0.0, 0.0, 0.0});
}

TEST(LoadBalancer, EighteenParametersRowMajor) {
  LoadBalancer lb({0.1, 0.2}, {0.3, -0.4}, 2.0);
  std::vector<double> p0;
  lb.append_parameter_values(p0);
  ASSERT_EQ(p0.size(), 18u);
  EXPECT_EQ(p0[2], lb.admittance.value(0, 1).real());
  EXPECT_EQ(p0[7], lb.admittance.value(1, 0).imag());
  TapeArray P(p0.begin(), p0.end());
  Eigen::VectorXd p = Eigen::Map<Eigen::VectorXd>(p0.data(), 18);
  int index = 0;
  lb.bind_parameters(P, p, index);
  EXPECT_EQ(index, 18);
}

TEST(LoadBalancer, DegenerateParametersGiveNonFiniteCurrents) {
  for (const Case& c : {Case{{1.0, 0.0}, {1.0, 0.0}, 0.0}, Case{{1.0, 0.0}, {0.0, 0.0}, 1.0}}) {
    LoadBalancer lb(c.z2, c.ym, c.k);
    bool finite = true;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) finite = finite && std::isfinite(std::abs(lb.admittance.value(i, j)));
    EXPECT_FALSE(finite);
    lb.ports[0].connection->potential.set_value(1.0);
    lb.update_port_currents(false);
    EXPECT_FALSE(std::isfinite(std::abs(lb.ports[0].current)));
  }
}

}  // namespace
