#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "local_elements.hpp"
#include "model/bus.hpp"
#include "model/load.hpp"
#include "model/network.hpp"
#include "model/three_phase_transformer.hpp"
#include "model/transformer.hpp"
#include "model/voltage_source.hpp"
#include "solvers/newton.hpp"
#include "solvers/solver.hpp"

// Sources feeding transformers and loads, solved; the transformer's own
// equations and the power balance are then checked at the solution, the
// currents on the secondary side coming from the loads' laws (conj(S / U)).

namespace {
using cd = std::complex<double>;
using local::join;

// A single-phase source on a two-terminal primary, its return at the reference.
void feed_primary(VoltageSource& src, Element& t, PotentialRef& ref) {
  join(src, 0, t, 0);
  join(src, 1, t, 1);
  join(src, 1, ref, 0);
}

void expect_converged(AbstractSolver& solver, double tolerance) {
  const auto [iterations, error] = solver.solve_load_flow(50, tolerance);
  EXPECT_LT(iterations, 50);
  EXPECT_LE(error, tolerance);
}
cd v(const Element& e, int port) { return e.ports[port].connection->get_potential(); }
cd load_current(cd s, cd u) { return std::conj(s / u); }
}  // namespace

// 230 V phase-to-neutral from 7.2 kV through a complex ratio, solved both
// by Newton and by backward-forward sweeps.
TEST(TransformerNetworks, SinglePhaseFeedsALoad) {
  const cd z2(0.02, 0.06), ym(1e-5, -6e-5), k = std::polar(230.0 / 7200.0, -0.1), s(8000, 2500);
  for (int method = 0; method < 2; ++method) {
    SCOPED_TRACE(method == 0 ? "Newton" : "backward-forward");
    const cd u(7200, 0), start[2] = {k * u, 0.0};
    VoltageSource src(2, &u);
    SingleTransformer t(z2, ym, k);
    Bus lv(2, start);
    PowerLoad load(2, &s);
    PotentialRef hv_ref, lv_ref;
    feed_primary(src, t, hv_ref);
    join(lv, 0, t, 2);
    join(lv, 1, t, 3);
    join(lv, 0, load, 0);
    join(lv, 1, load, 1);
    join(lv, 1, lv_ref, 0);
    ElectricalNetwork net({&src, &t, &lv, &load, &hv_ref, &lv_ref});
    std::unique_ptr<AbstractSolver> solver;
    if (method == 0)
      solver = std::make_unique<Newton>(&net, false);
    else
      solver = std::make_unique<BackwardForward>(&net);
    expect_converged(*solver, 1e-10);

    const cd u1 = v(t, 0) - v(t, 1), u2 = v(t, 2) - v(t, 3);
    const cd i2 = -load_current(s, u2);  // into the transformer's secondary
    EXPECT_NEAR(std::abs(u1 - u), 0.0, 1e-9);
    EXPECT_NEAR(std::abs(u2 - (k * u1 + z2 * i2)), 0.0, 1e-7);
    EXPECT_NEAR(std::abs(t.ports[2].current - i2), 0.0, 1e-7);
    // The source delivers the primary current ym U1 - conj(k) I2.
    EXPECT_NEAR(std::abs(-src.ports[0].current - (ym * u1 - std::conj(k) * i2)), 0.0, 1e-8);
  }
}

// Split-phase service: two 120 V loads and a 240 V load behind a centre tap.
TEST(TransformerNetworks, CenterTappedFeedsSplitPhaseLoads) {
  const cd z2(0.01, 0.03), ym(2e-5, -8e-5);
  const double k = 240.0 / 7200.0;
  const cd s_an(3000, 900), s_bn(1500, 300), s_ab(6000, 1000);
  const cd u(7200, 0), start[3] = {120.0, -120.0, 0.0};
  VoltageSource src(2, &u);
  CenterTransformer t(z2, ym, k);
  Bus lv(3, start);
  const cd star[2] = {s_an, s_bn};
  PowerLoad halves(3, star);
  PowerLoad across(2, &s_ab);
  PotentialRef hv_ref, lv_ref;
  feed_primary(src, t, hv_ref);
  for (int p = 0; p < 3; ++p) {
    join(lv, p, t, 2 + p);
    join(lv, p, halves, p);
  }
  join(lv, 0, across, 0);
  join(lv, 1, across, 1);
  join(lv, 2, lv_ref, 0);
  ElectricalNetwork net({&src, &t, &lv, &halves, &across, &hv_ref, &lv_ref});
  Newton solver(&net, true);
  expect_converged(solver, 1e-10);

  const cd u1 = v(t, 0) - v(t, 1), va = v(t, 2), vb = v(t, 3), vn = v(t, 4);
  const cd i_ab = load_current(s_ab, va - vb);
  const cd i2a = -(load_current(s_an, va - vn) + i_ab);
  const cd i2b = -(load_current(s_bn, vb - vn) - i_ab);
  const double half_k = k / 2;
  const cd half_z = z2 / 2.0;
  EXPECT_NEAR(std::abs((va - vn) - (half_k * u1 + half_z * i2a)), 0.0, 1e-8);
  EXPECT_NEAR(std::abs((vn - vb) - (half_k * u1 - half_z * i2b)), 0.0, 1e-8);
  EXPECT_NEAR(std::abs(-src.ports[0].current - (ym * u1 - half_k * (i2a - i2b))), 0.0, 1e-8);
}

// 20 kV to 400 V three-phase transformers under an unbalanced star load. W
// is the LV winding voltage each vector group induces from the HV side
// potentials V1 (neutral V1[3] for a star HV side); on load the LV winding
// voltage is W + z2 I2, I2 being the current into the LV phase port.
TEST(TransformerNetworks, ThreePhaseUnderUnbalancedLoad) {
  using Induced = std::function<cd(const std::vector<cd>& v1, int i, double k)>;
  struct Case {
    const char *whv, *wlv;
    int clock;
    double k;  // winding ratio for 230.9 V phase-to-neutral on the LV side
    Induced w;
  } cases[] = {
      // Delta between phases i and i+1; star LV in phase with it.
      {"D", "y", 11, 400 / 3 / 20e3 * std::sqrt(3.0),
       [](const std::vector<cd>& v1, int i, double k) { return k * (v1[i] - v1[(i + 1) % 3]); }},
      // The same delta, LV star wound the other way round.
      {"D", "y", 5, 400 / 3 / 20e3 * std::sqrt(3.0),
       [](const std::vector<cd>& v1, int i, double k) { return -k * (v1[i] - v1[(i + 1) % 3]); }},
      // Zigzag leg: its own HV phase less the one before it.
      {"Y", "z", 1, 400 / 3 / 20e3 * std::sqrt(3.0),
       [](const std::vector<cd>& v1, int i, double k) {
         return k * ((v1[i] - v1[3]) - (v1[(i + 2) % 3] - v1[3]));
       }},
  };
  const double pi = std::acos(-1.0);
  const cd z2(0.004, 0.016), ym(1e-7, -5e-7);
  const cd s[3] = {{40e3, 10e3}, {25e3, 5e3}, {10e3, 8e3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.whv) + c.wlv + std::to_string(c.clock));
    const double phase = 20e3 / std::sqrt(3.0);
    const cd u[3] = {std::polar(phase, 0.0), std::polar(phase, -2 * pi / 3), std::polar(phase, 2 * pi / 3)};
    const std::vector<cd> v1_nominal{u[0], u[1], u[2], 0.0};
    cd start[4];
    for (int i = 0; i < 3; ++i) start[i] = c.w(v1_nominal, i, c.k);
    start[3] = 0.0;
    const int n1 = c.whv[0] == 'D' ? 3 : 4;
    VoltageSource src(4, u);
    ThreePhaseTransformer t(n1, 4, c.whv, c.wlv, z2, ym, c.k, c.clock);
    Bus lv(4, start);
    PowerLoad load(4, s);
    PotentialRef hv_ref, lv_ref;
    for (int p = 0; p < n1; ++p) join(src, p, t, p);
    join(src, 3, hv_ref, 0);
    for (int p = 0; p < 4; ++p) {
      join(lv, p, t, n1 + p);
      join(lv, p, load, p);
    }
    join(lv, 3, lv_ref, 0);
    ElectricalNetwork net({&src, &t, &lv, &load, &hv_ref, &lv_ref});
    NewtonGoldstein solver(&net, false, 0.1, 0.9, true);
    expect_converged(solver, 1e-9);

    std::vector<cd> v1(4, 0.0);
    for (int p = 0; p < 4; ++p) v1[p] = v(src, p);
    double i2_sq = 0.0;
    cd to_loads = 0.0;
    for (int i = 0; i < 3; ++i) {
      const cd u2 = v(lv, i) - v(lv, 3);
      const cd i2 = -load_current(s[i], u2);
      EXPECT_NEAR(std::abs(u2 - (c.w(v1, i, c.k) + z2 * i2)), 0.0, 1e-7) << "phase " << i;
      EXPECT_NEAR(std::abs(t.side2[i]->current - i2), 0.0, 1e-6);
      i2_sq += std::norm(i2);
      to_loads += s[i];
    }
    // What the source delivers goes to the loads, the series impedance and the
    // magnetising admittance on each HV winding.
    double u1_sq = 0.0;
    for (int i = 0; i < 3; ++i) u1_sq += std::norm(n1 == 3 ? v1[i] - v1[(i + 1) % 3] : v1[i] - v1[3]);
    cd delivered = 0.0;
    for (int p = 0; p < 4; ++p) delivered -= v(src, p) * std::conj(src.ports[p].current);
    const cd expected = to_loads + z2 * i2_sq + std::conj(ym) * u1_sq;
    EXPECT_NEAR(std::abs(delivered - expected), 0.0, 1e-8 * std::abs(expected));
  }
}

TEST(TransformerNetworks, BackwardForwardRefusesThreePhaseAndCenterTapped) {
  const cd u[3] = {230.0, 230.0, 230.0};
  for (int kind = 0; kind < 2; ++kind) {
    std::unique_ptr<TransformerBase> t;
    if (kind == 0)
      t = std::make_unique<ThreePhaseTransformer>(3, 4, "D", "y", 0.1, 0.0, 0.1, 11);
    else
      t = std::make_unique<CenterTransformer>(0.1, 0.0, 0.1);
    VoltageSource src(2, u);
    join(src, 0, *t, 0);
    join(src, 1, *t, 1);
    ElectricalNetwork net({&src, t.get()});
    BackwardForward solver(&net);
    try {
      solver.solve_load_flow(10, 1e-9);
      ADD_FAILURE() << "solved";
    } catch (const std::runtime_error& err) {
      EXPECT_STREQ(err.what(), "2 No backward-forward method has been defined for transformers yet.");
    }
  }
}
