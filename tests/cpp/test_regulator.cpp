#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "branch_rig.hpp"
#include "model/regulator.hpp"

namespace {
struct Params {
  complex_d z2{0.2, 0.5};
  complex_d ym{1e-4, -5e-4};
  double u_ref = 230, u_range = 0.1, alpha = 100, phi = 0.05;
};

SingleVoltageRegulator make(const Params& q = {}) {
  return SingleVoltageRegulator(q.z2, q.ym, q.u_ref, q.u_range, q.alpha, q.phi);
}

// Transformer relations of the regulator for a clipped tap ts.
struct Flow {
  complex_d i1, i2;
};
Flow flow(const Params& q, double ts, complex_d dv1, complex_d dv2) {
  const complex_d kt = std::polar(ts, q.phi);
  const complex_d i2 = (dv2 - kt * dv1) / q.z2;
  return {q.ym * dv1 - std::conj(kt) * i2, i2};
}

void set(Port* port, complex_d v) { port->connection->potential.set_value(v); }
}  // namespace

TEST(ClipTap, ListedValues) {
  EXPECT_EQ(clip_tap(1.0, 0.1, 100), 1.0);
  EXPECT_DOUBLE_EQ(clip_tap(2.0, 0.1, 100), 1.1);
  EXPECT_DOUBLE_EQ(clip_tap(0.0, 0.1, 100), 0.9);
  EXPECT_NEAR(clip_tap(1.05, 0.1, 1000), 1.05, 1e-15);
  EXPECT_NEAR(clip_tap(1.05, 0.1, 100), 1.04993, 5e-6);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(clip_tap(inf, 0.1, 100)));
  EXPECT_TRUE(std::isnan(clip_tap(-inf, 0.1, 100)));
}

TEST(ClipTap, PlainAndTapeFormsMatchTheSoftplusLaw) {
  const double ts[] = {0.0, 0.5, 0.85, 0.9, 0.95, 0.999, 1.0, 1.05, 1.1, 1.15, 2.0};
  struct Shape {
    double a, k;
  };
  for (const Shape s : {Shape{0.1, 100}, Shape{0.1, 1000}, Shape{0.05, 50}, Shape{0.2, 10}}) {
    TapeArray t(1, ad_double(1.0));
    CppAD::Independent(t);
    TapeArray y = {clip_tap(t[0], s.a, s.k), softplus(t[0] - 1.0, s.k)};
    CppAD::ADFun<double> f(t, y);
    for (double v : ts) {
      SCOPED_TRACE(testing::Message() << "t=" << v << " a=" << s.a << " k=" << s.k);
      const double want = smooth_clip(v, s.a, s.k);
      EXPECT_NEAR(clip_tap(v, s.a, s.k), want, 1e-14);
      const std::vector<double> got = f.Forward(0, std::vector<double>{v});
      EXPECT_NEAR(got[0], want, 1e-14);
      EXPECT_NEAR(got[1], static_cast<double>(std::log1p(std::exp(s.k * (v - 1.0L))) / s.k), 1e-14);
    }
  }
}

TEST(SingleVoltageRegulator, TapLawOverInputVoltages) {
  const Params q;
  const auto reg = make(q);
  for (double u_in : {150.0, 200.0, 209.0, 215.0, 230.0, 245.0, 253.0, 260.0, 400.0}) {
    SCOPED_TRACE(u_in);
    EXPECT_NEAR(reg.compute_tap(u_in), smooth_clip(q.u_ref / u_in, q.u_range, q.alpha), 1e-14);
  }
  EXPECT_TRUE(std::isnan(reg.compute_tap(0.0)));
  EXPECT_EQ(reg.get_tap(), clip_tap(1.0, q.u_range, q.alpha));
}

TEST(SingleVoltageRegulator, SharesTheNeutralNode) {
  auto reg = make();
  EXPECT_EQ(reg.ports[3].connection, reg.ports[1].connection);
  EXPECT_EQ(reg.ports[1].connection->ports, (std::vector<Port*>{&reg.ports[1], &reg.ports[3]}));
  EXPECT_NE(reg.ports[2].connection, reg.ports[0].connection);
}

TEST(SingleVoltageRegulator, InitialTapIsTheClampedNoLoadRatio) {
  struct Case {
    double d, want;
  };
  for (const Case c : {Case{0.0, 1.07}, Case{230.0, 1.0}, Case{240.0, 230.0 / 240.0}, Case{200.0, 1.1},
                       Case{300.0, 0.9}}) {
    SCOPED_TRACE(c.d);
    auto reg = make();
    reg.tap.value = 1.07;
    set(reg.side1[1], {3, -1});
    set(reg.side1[0], complex_d(3, -1) + std::polar(c.d, 0.4));
    std::vector<double> x0;
    reg.append_variable_values(x0);
    ASSERT_EQ(x0.size(), 1u);
    EXPECT_NEAR(x0[0], c.want, 1e-15);
    EXPECT_EQ(reg.tap.value, 1.07);
  }
}

TEST(SingleVoltageRegulator, CurrentsAndEquationInBothModes) {
  Params q;
  auto reg = make(q);
  Rig rig({&reg});
  ASSERT_EQ(rig.x0.size(), 6u + 1u);  // three nodes, the tap
  EXPECT_EQ(rig.p0, (std::vector<double>{0.2, 0.5, 1e-4, -5e-4, 230}));
  const complex_d v1b(1, 0.5), dv1 = std::polar(228.0, 0.0), dv2 = std::polar(226.0, 0.03);
  set(reg.side1[1], v1b);
  set(reg.side1[0], v1b + dv1);
  set(reg.side2[0], v1b + dv2);
  const double t = 1.03;
  rig.x[6] = t;

  auto check = [&](double tap) {
    const double ts = smooth_clip(tap, q.u_range, q.alpha);
    const complex_d d2 = reg.side2[0]->connection->get_potential() - v1b;
    const Flow want = flow(q, ts, dv1, d2);
    const complex_d currents[] = {want.i1, -(want.i1 + want.i2), want.i2, 0.0};
    reg.update_port_currents(false);
    const Rig::Taped taped = rig.evaluate();
    for (int k = 0; k < 4; ++k) {
      SCOPED_TRACE(k);
      expect_close(reg.ports[k].current, currents[k], 1e-10);
      expect_close(taped.currents[k], currents[k], 1e-10);
    }
    ASSERT_EQ(taped.rows.size(), 1u);
    EXPECT_NEAR(taped.rows[0], tap * std::abs(d2) / q.u_ref - ts, 1e-12);
  };
  check(t);

  // New parameters reach the tape through the parameter array; with a live
  // input the tap is re-clamped and the output re-seeded at no load.
  q.z2 = {0.3, 0.4};
  q.ym = {2e-4, -1e-4};
  q.u_ref = 240;
  reg.update_parameters(q.z2, q.ym, q.u_ref);
  EXPECT_EQ(rig.p0.size(), 5u);
  EXPECT_EQ(rig.p(4), 240.0);
  EXPECT_DOUBLE_EQ(rig.x[6], 240.0 / 228.0);
  const double ts = smooth_clip(rig.x[6], q.u_range, q.alpha);
  expect_close({rig.x[4], rig.x[5]}, v1b + ts * dv1, 1e-13);  // the output node's slot
  check(rig.x[6]);
}

TEST(SingleVoltageRegulator, UpdateWithoutInputChangesOnlyParameters) {
  auto reg = make();
  set(reg.side2[0], {5, 5});
  reg.tap.set_value(1.02);
  reg.update_parameters({1, 1}, {2, 2}, 100);
  EXPECT_EQ(reg.z2.value, complex_d(1, 1));
  EXPECT_EQ(reg.ym.value, complex_d(2, 2));
  EXPECT_EQ(reg.u_ref.value, 100.0);
  EXPECT_EQ(reg.tap.value, 1.02);
  EXPECT_EQ(reg.side2[0]->connection->potential.value, complex_d(5, 5));
}

TEST(SingleVoltageRegulator, SweepsMoveTheTapTowardsTheReference) {
  const Params q;
  auto reg = make(q);
  FixedCurrents load(1);
  reg.side2[0]->connection->merge(&load.ports[0]);
  Rig rig({&reg, &load});
  const complex_d v1b(0.5, -0.2), dv1 = std::polar(212.0, -0.1), j_load(40, -15);
  set(reg.side1[1], v1b);
  set(reg.side1[0], v1b + dv1);
  set(reg.side2[0], v1b + dv1);
  reg.tap.set_value(1.04);
  load.ports[0].current = j_load;

  reg.backward_step();
  const double ts = smooth_clip(1.04, q.u_range, q.alpha);
  const complex_d kt = std::polar(ts, q.phi), i2 = -j_load;
  const complex_d i1 = q.ym * dv1 - std::conj(kt) * i2;
  EXPECT_EQ(reg.side2[0]->current, i2);
  expect_close(reg.side1[0]->current, i1, 1e-12);
  expect_close(reg.side1[1]->current, -(i1 + i2), 1e-12);
  EXPECT_EQ(reg.side2[1]->current, complex_d(0, 0));

  const complex_d v2_old = reg.side2[0]->connection->get_potential();
  const double change = reg.forward_step();
  const double new_tap = ts * q.u_ref / std::abs(q.z2 * i2 + kt * dv1);
  EXPECT_NEAR(reg.tap.get_value(), new_tap, 1e-13);
  EXPECT_EQ(reg.tap.value, reg.tap.get_value());
  const complex_d v2 = std::polar(smooth_clip(new_tap, q.u_range, q.alpha), q.phi) * dv1 + q.z2 * i2 + v1b;
  const Connection& out = *reg.side2[0]->connection;
  expect_close(out.get_potential(), v2, 1e-12);
  EXPECT_EQ(out.potential.value, out.get_potential());
  const complex_d delta = v2 - v2_old;
  EXPECT_NEAR(change, std::max(std::fabs(delta.real()), std::fabs(delta.imag())), 1e-10);
  // The swept output potential carries exactly the load's current.
  reg.update_port_currents(false);
  expect_close(reg.side2[0]->current, i2, 1e-9);
}
