#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "model/three_phase_transformer.hpp"
#include "model/transformer.hpp"
#include "transformer_testing.hpp"

namespace {
using cd = std::complex<double>;

struct SingleCase {
  const char* name;
  cd v1a, v1b, v2a, v2b, z2, ym, k;
};

void place(Branch& t, const std::vector<cd>& v) {
  for (size_t i = 0; i < v.size(); ++i) set_potential(&t.ports[i], v[i]);
}
}  // namespace

TEST(SingleTransformer, CurrentsFollowTheTwoWindingModel) {
  const SingleCase cases[] = {
      // Ideal unit ratio with equal winding voltages: nothing flows.
      {"ideal", {230, 0}, 0.0, {230, 0}, 0.0, {0.1, 0.2}, 0.0, 1.0},
      {"complex ratio", {230, 10}, {3, -2}, {118, -40}, {1, 1}, {0.05, 0.3}, {1e-4, -5e-4}, std::polar(0.5, 0.4)},
      // A pure phase shift: the primary sees conj(k), not k.
      {"phase shift", {100, 50}, {-5, 0}, {90, 70}, {2, -3}, {0.2, 0.1}, {0.01, -0.02}, std::polar(1.0, M_PI / 6)},
  };
  for (const SingleCase& c : cases) {
    SCOPED_TRACE(c.name);
    SingleTransformer t(c.z2, c.ym, c.k);
    ASSERT_EQ(t.ports.size(), 4u);
    place(t, {c.v1a, c.v1b, c.v2a, c.v2b});
    t.update_port_currents(false);
    const cd u1 = c.v1a - c.v1b, u2 = c.v2a - c.v2b;
    const cd i2 = (u2 - c.k * u1) / c.z2;
    const cd i1 = c.ym * u1 - std::conj(c.k) * i2;
    expect_close(t.ports[0].current, i1);
    expect_close(t.ports[1].current, -i1);
    expect_close(t.ports[2].current, i2);
    expect_close(t.ports[3].current, -i2);
  }
}

TEST(TransformerBase, ParameterLayoutAndWriteThrough) {
  SingleTransformer t({1, 2}, {3, 4}, {5, 6});
  std::vector<double> p0{-1.0};
  t.append_parameter_values(p0);
  EXPECT_EQ(p0, (std::vector<double>{-1, 1, 2, 3, 4, 5, 6}));

  TapeArray P(9, ad_double(0.0));
  Eigen::VectorXd p = Eigen::VectorXd::LinSpaced(9, 10, 18);
  int index = 3;
  t.bind_parameters(P, p, index);
  EXPECT_EQ(index, 9);
  EXPECT_EQ(t.z2.get_value(), cd(13, 14));
  EXPECT_EQ(t.ym.get_value(), cd(15, 16));
  EXPECT_EQ(t.k.get_value(), cd(17, 18));

  t.update_transformer_parameters({-1, -2}, {-3, -4}, {-5, -6});
  EXPECT_EQ(p.segment(3, 6), (Eigen::VectorXd(6) << -1, -2, -3, -4, -5, -6).finished());
  EXPECT_EQ(t.k.value, cd(-5, -6));
  // The stored values, not the slots, are what a new solver starts from.
  p(3) = 99;
  std::vector<double> again;
  t.append_parameter_values(again);
  EXPECT_EQ(again[0], -1.0);

  CenterTransformer c({0.1, 0.2}, {0.0, 0.0}, 2.0);
  EXPECT_EQ(c.k.get_value(), cd(2, 0));
  EXPECT_EQ(c.ports.size(), 5u);
  EXPECT_EQ(c.side2.size(), 3u);
}

TEST(SingleTransformer, BackwardStepBalancesTheSecondaryNode) {
  const cd z2(0.1, 0.4), ym(2e-3, -1e-2), k = std::polar(0.25, -0.3);
  SingleTransformer t(z2, ym, k);
  CurrentProbe loads(2);
  t.side2[0]->connection->merge(&loads.ports[0]);
  t.side2[0]->connection->merge(&loads.ports[1]);
  loads.ports[0].current = {3, -1};
  loads.ports[1].current = {0.5, 2};
  t.side2[0]->current = {77, 77};  // its own stale value must not count
  place(t, {{400, 20}, {10, -5}});
  const cd before = t.side2[0]->connection->get_potential();

  t.backward_step();
  const cd i2 = -(cd(3, -1) + cd(0.5, 2));
  const cd i1 = ym * cd(390, 25) - std::conj(k) * i2;
  expect_close(t.ports[2].current, i2);
  expect_close(t.ports[3].current, -i2);
  expect_close(t.ports[0].current, i1);
  expect_close(t.ports[1].current, -i1);
  EXPECT_EQ(t.side2[0]->connection->get_potential(), before);  // no potential written
}

TEST(SingleTransformer, ForwardStepWritesOnlyTheSecondaryPhaseNode) {
  const cd z2(0.2, 0.6), k = std::polar(0.5, 0.2);
  SingleTransformer t(z2, {1e-3, 0}, k);
  place(t, {{230, 5}, {-2, 1}, {50, 50}, {3, -4}});
  t.side2[0]->current = {-4, 1.5};

  const cd expected = cd(3, -4) + z2 * cd(-4, 1.5) + k * cd(232, 4);
  const double change = t.forward_step();
  expect_close(t.side2[0]->connection->get_potential(), expected);
  const cd delta = expected - cd(50, 50);
  EXPECT_NEAR(change, std::max(std::fabs(delta.real()), std::fabs(delta.imag())), 1e-12);
  EXPECT_EQ(t.side1[0]->connection->get_potential(), cd(230, 5));
  EXPECT_EQ(t.side1[1]->connection->get_potential(), cd(-2, 1));
  EXPECT_EQ(t.side2[1]->connection->get_potential(), cd(3, -4));
  EXPECT_EQ(t.forward_step(), 0.0);  // already at the fixed point
}

TEST(SingleTransformer, OpenAndShortCircuitTests) {
  struct Case {
    cd z2, ym, k;
    double uhv, sn;
  } cases[] = {
      {{0.02, 0.08}, {2e-4, -9e-4}, std::polar(0.05, 0.5), 20e3, 100e3},
      {{1.0, 3.0}, {1e-3, -4e-3}, 0.1, 4160, 25e3},
  };
  for (const Case& c : cases) {
    SingleTransformer t(c.z2, c.ym, c.k);
    const double ulv = std::abs(c.k) * c.uhv;
    auto [p, x] = t.compute_open_circuit_parameters(c.uhv, ulv, c.sn);
    EXPECT_NEAR(p, c.ym.real() * c.uhv * c.uhv, 1e-9 * std::abs(p));
    EXPECT_NEAR(x, std::abs(c.ym) * c.uhv * c.uhv / c.sn, 1e-12 * x);
    expect_close(t.side2[0]->connection->get_potential(), std::polar(ulv, std::arg(c.k)));
    expect_close(t.ports[2].current, 0.0, 1e-9);

    auto [psc, vsc] = t.compute_short_circuit_parameters(c.uhv, ulv, c.sn);
    const double vsc_expected = std::abs(c.z2) * c.sn / (ulv * ulv);
    EXPECT_NEAR(vsc, vsc_expected, 1e-15);
    // Secondary shorted, primary at vsc * uhv: I1 = U1 (ym + |k|^2 / z2).
    const double u1 = vsc_expected * c.uhv;
    const double p_expected = u1 * u1 * (c.ym.real() + std::norm(c.k) * (1.0 / c.z2).real());
    EXPECT_NEAR(psc, p_expected, 1e-9 * p_expected);
    // The magnetising admittance has no say in vsc.
    t.update_transformer_parameters(c.z2, c.ym * 50.0, c.k);
    EXPECT_EQ(t.compute_short_circuit_parameters(c.uhv, ulv, c.sn).second, vsc);
  }
}

TEST(SingleTransformer, TestsWriteThroughToBoundSlots) {
  SingleTransformer t({0.1, 0.1}, {1e-3, 0}, 0.5);
  TapeArray X(2, ad_double(0.0));
  Eigen::VectorXd x = Eigen::VectorXd::Zero(2);
  int index = 0;
  t.side1[0]->connection->potential.bind(X, x, index);
  t.compute_open_circuit_parameters(1000, 500, 1e4);
  EXPECT_EQ(x(0), 1000.0);
  EXPECT_EQ(x(1), 0.0);
  EXPECT_EQ(t.side1[0]->connection->potential.value, cd(1000, 0));
}

TEST(CenterTransformer, HalfWindingEquations) {
  const cd z2(0.03, 0.09), ym(5e-4, -2e-3);
  CenterTransformer t(z2, ym, 2.0);
  // An imaginary part of k reaches the open-circuit angle only, never the currents.
  t.update_transformer_parameters(z2, ym, {2, 1});
  const cd v1a(120, 30), v1b(-110, 5), va(250, -10), vb(-230, 40), vn(4, -3);
  place(t, {v1a, v1b, va, vb, vn});
  t.update_port_currents(false);

  const cd u1 = v1a - v1b, hk = 1.0, hz = z2 / 2.0;  // ratio 2 shared by two halves
  const cd i2a = t.ports[2].current, i2b = t.ports[3].current;
  expect_close(va - vn, hk * u1 + hz * i2a, 1e-10);
  expect_close(vn - vb, hk * u1 - hz * i2b, 1e-10);
  expect_close(t.ports[4].current, -(i2a + i2b));
  expect_close(t.ports[0].current, ym * u1 - hk * (i2a - i2b));
  expect_close(t.ports[1].current, -t.ports[0].current);
}

TEST(CenterTransformer, OpenAndShortCircuitTests) {
  const cd z2(0.01, 0.04), ym(3e-4, -1e-3);
  const double k = 0.05, uhv = 7200, sn = 50e3, ulv = k * uhv;
  CenterTransformer t(z2, ym, k);
  auto [p, x] = t.compute_open_circuit_parameters(uhv, ulv, sn);
  EXPECT_NEAR(p, ym.real() * uhv * uhv, 1e-9 * p);
  EXPECT_NEAR(x, std::abs(ym) * uhv * uhv / sn, 1e-12 * x);
  for (int i = 2; i < 5; ++i) expect_close(t.ports[i].current, 0.0, 1e-9);
  expect_close(t.side1[1]->connection->get_potential(), -uhv / 2);

  auto [psc, vsc] = t.compute_short_circuit_parameters(uhv, ulv, sn);
  const double vsc_expected = std::abs(z2) * sn / (ulv * ulv);
  EXPECT_NEAR(vsc, vsc_expected, 1e-15);
  // Both halves shorted behind z2/2 at ratio k/2: I1 = U1 (ym + k^2 / z2).
  const double u1 = vsc_expected * uhv;
  const double p_expected = u1 * u1 * (ym.real() + k * k * (1.0 / z2).real());
  EXPECT_NEAR(psc, p_expected, 1e-9 * p_expected);

  t.update_transformer_parameters(z2, ym, {2, 1});
  t.compute_open_circuit_parameters(uhv, ulv, sn);
  expect_close(t.side2[0]->connection->get_potential(), std::polar(ulv / 2, std::atan2(1.0, 2.0)));
  expect_close(t.side2[1]->connection->get_potential(), -std::polar(ulv / 2, std::atan2(1.0, 2.0)));
}

TEST(TransformerBase, CenterAndThreePhaseRefuseBackwardStep) {
  CenterTransformer center({0.1, 0.1}, 0.0, 1.0);
  ThreePhaseTransformer three(3, 4, "D", "y", {0.1, 0.1}, 0.0, 1.0, 11);
  for (TransformerBase* t : {static_cast<TransformerBase*>(&center), static_cast<TransformerBase*>(&three)}) {
    try {
      t->backward_step();
      ADD_FAILURE() << "no refusal";
    } catch (const std::runtime_error& err) {
      EXPECT_STREQ(err.what(), "2 No backward-forward method has been defined for transformers yet.");
    }
    EXPECT_EQ(t->forward_step(), 0.0);
  }
}

TEST(TransformerTape, MatchesPlainCurrents) {
  {
    SingleTransformer t({0.05, 0.3}, {1e-4, -5e-4}, std::polar(0.5, 0.4));
    place(t, {{230, 10}, {3, -2}, {118, -40}, {1, 1}});
    TapeCheck check;
    check.expect_tape_matches_plain(t, 0.7);
  }
  {
    CenterTransformer t({0.03, 0.09}, {5e-4, -2e-3}, 2.0);
    place(t, {{120, 30}, {-110, 5}, {250, -10}, {-230, 40}, {4, -3}});
    t.side1[1]->connection->is_reference = true;  // read as the tape constant 0
    TapeCheck check;
    check.expect_tape_matches_plain(t, 1.3);
  }
}
