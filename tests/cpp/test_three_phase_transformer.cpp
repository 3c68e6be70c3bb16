#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "model/three_phase_transformer.hpp"
#include "transformer_testing.hpp"

namespace {
using cd = std::complex<double>;
using Eigen::Matrix3d;
using Eigen::MatrixXd;

const double kSqrt3 = std::sqrt(3.0);

const Matrix3d I3 = Matrix3d::Identity();
// (P x)_i = x_(i+1), (Q x)_i = x_(i-1).
const Matrix3d P3 = (Matrix3d() << 0, 1, 0, 0, 0, 1, 1, 0, 0).finished();
const Matrix3d Q3 = P3.transpose();
const MatrixXd N34 = (MatrixXd(3, 4) << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1).finished();

int ports_of(const std::string& w) { return w == "D" || w == "d" ? 3 : 4; }

ThreePhaseTransformer make(const std::string& whv, const std::string& wlv, int clock, cd z2 = {0.01, 0.05},
                           cd ym = {1e-5, -4e-5}, double k = 0.05) {
  return ThreePhaseTransformer(ports_of(whv), ports_of(wlv), whv, wlv, z2, ym, k, clock);
}

// Balanced positive sequence a, b, c of phase magnitude m, rotated by `shift`.
std::vector<cd> balanced(double m, double shift = 0.0) {
  return {std::polar(m, shift), std::polar(m, shift - 2 * M_PI / 3), std::polar(m, shift + 2 * M_PI / 3)};
}

// Sizes first: comparing entries of differently sized matrices reads out of bounds.
void expect_matrix(const MatrixXd& actual, const MatrixXd& expected, const char* what) {
  ASSERT_EQ(actual.rows(), expected.rows()) << what;
  ASSERT_EQ(actual.cols(), expected.cols()) << what;
  EXPECT_TRUE(actual == expected) << what << "\n" << actual << "\nexpected\n" << expected;
}

void place_side(const std::vector<Port*>& side, const std::vector<cd>& phases) {
  for (size_t i = 0; i < 3; ++i) set_potential(side[i], phases[i]);
  if (side.size() == 4) set_potential(side[3], 0.0);
}
}  // namespace

TEST(ThreePhaseTransformer, ConstructionMatrices) {
  struct Case {
    const char *whv, *wlv;
    int clock;
    MatrixXd a1, h, a2, l, m, e;
    double s;
  } cases[] = {
      {"D", "y", 11, I3 - P3, I3 - Q3, N34, I3, I3, -I3, 1},
      {"D", "y", 5, I3 - P3, I3 - Q3, N34, -I3, -I3, -I3, -1},
      // The relabelled star secondary flips the clock's sign.
      {"Y", "y", 2, N34, I3, P3 * N34, -Q3, -I3, -I3, -1},
      {"Y", "y", 4, N34, I3, Q3 * N34, P3, I3, -I3, 1},
      {"Y", "y", 6, N34, I3, N34, -I3, -I3, -I3, -1},
      {"Y", "y", 0, N34, I3, N34, I3, I3, -I3, 1},
      {"Y", "d", 1, N34, I3, I3 - P3, I3 - Q3, I3, -I3, 1},
      {"Y", "d", 11, N34, I3, I3 - Q3, I3 - P3, I3, -I3, 1},
      {"Y", "z", 11, N34, I3, N34, I3, I3 - P3, Q3 - I3, 1},
      {"Y", "z", 1, N34, I3, N34, I3, I3 - Q3, P3 - I3, 1},
      // Clocks outside 0 .. 11 take the "otherwise" forms.
      {"D", "d", -1, I3 - Q3, I3 - P3, I3 - Q3, I3 - P3, I3, -I3, 1},
      {"D", "z", 23, I3 - Q3, I3 - P3, N34, I3, I3 - P3, Q3 - I3, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.whv) + c.wlv + std::to_string(c.clock));
    ThreePhaseTransformer t = make(c.whv, c.wlv, c.clock);
    expect_matrix(t.hv_voltage_matrix, c.a1, "A1");
    expect_matrix(t.hv_current_matrix, c.h, "H");
    expect_matrix(t.lv_voltage_matrix, c.a2, "A2");
    expect_matrix(t.lv_current_matrix, c.l, "L");
    expect_matrix(t.voltage_coupling_matrix, c.m, "M");
    expect_matrix(t.current_coupling_matrix, c.e, "E");
    EXPECT_EQ(t.clock_sign, c.s);
    EXPECT_EQ(t.clock, c.clock);
    EXPECT_EQ(t.whv, c.whv);
    EXPECT_EQ(t.wlv, c.wlv);
    EXPECT_EQ(t.k.get_value(), cd(0.05, 0));
  }
}

TEST(ThreePhaseTransformer, ConstructionErrors) {
  struct Case {
    int n1, n2;
    const char *whv, *wlv, *message;
  } names[] = {
      {3, 4, "d", "y", "Bad HV winding: d"},
      {4, 4, "Dy", "y", "Bad HV winding: Dy"},
      {4, 4, "X", "x", "Bad HV winding: X"},  // the HV name is looked at first
      {4, 4, "Y", "Y", "Bad LV winding: Y"},
      {3, 3, "D", "x", "Bad LV winding: x"},
      {4, 4, "", "y", "Bad HV winding: "},
      {3, 3, "X", "d", "Bad HV winding: X"},  // names before counts
  };
  for (const Case& c : names) {
    try {
      ThreePhaseTransformer t(c.n1, c.n2, c.whv, c.wlv, 0.1, 0.0, 1.0, 0);
      ADD_FAILURE() << c.message;
    } catch (const std::runtime_error& err) {
      EXPECT_STREQ(err.what(), c.message);
    }
  }
  // Counts that do not fit the windings are refused once the names are known good.
  const Case counts[] = {{4, 4, "D", "y", ""}, {4, 3, "Y", "y", ""}, {3, 4, "D", "d", ""}, {3, 3, "Y", "z", ""}};
  for (const Case& c : counts)
    EXPECT_THROW(ThreePhaseTransformer(c.n1, c.n2, c.whv, c.wlv, 0.1, 0.0, 1.0, 0), std::invalid_argument)
        << c.whv << c.wlv << " " << c.n1 << "/" << c.n2;
  EXPECT_THROW(ThreePhaseTransformer(-1, 4, "D", "y", 0.1, 0.0, 1.0, 0), std::length_error);
}

// No-load voltage relation. The HV winding sees the line-to-line voltage
// (delta, sqrt 3 times the phase voltage) or the phase voltage (star); a
// delta LV winding sets line-to-line voltages (phase = winding / sqrt 3), a
// star one phase voltages, and a zigzag leg adds two half windings 120 deg
// apart (sqrt 3). The LV phase voltages lag the HV ones by lag x 30 deg.
// For the clocks a winding pair cannot realise the construction falls back on
// its "otherwise" forms: a delta winding between phase i and i-1 lags its
// phase by 30 deg, a zigzag leg built on U1_i - U1_(i+1) leads by 30 deg.
TEST(ThreePhaseTransformer, NoLoadVoltageRelation) {
  struct Case {
    const char *whv, *wlv;
    std::vector<int> clocks;
    std::vector<int> fallback;  // clock, lag pairs outside 0 .. 11
  } groups[] = {
      {"D", "d", {0, 2, 4, 6, 8, 10}, {-1, 0, 13, 0}},
      {"D", "y", {1, 5, 7, 11}, {-2, 1, 17, 1}},
      {"D", "z", {0, 2, 4, 6, 8, 10}, {-5, 0, 12, 0}},
      {"Y", "d", {1, 5, 7, 11}, {-1, 11, 23, 11}},
      {"Y", "y", {0, 2, 4, 6, 8, 10}, {-4, 0, 14, 0}},
      {"Y", "z", {1, 5, 7, 11}, {-7, 11, 19, 11}},
  };
  const double k = 0.04, uhv_phase = 20e3 / kSqrt3;
  const cd z2(0.02, 0.06), ym(2e-6, -8e-6);
  for (const Case& g : groups) {
    std::vector<std::pair<int, int>> runs;
    for (int c : g.clocks) runs.push_back({c, c});
    for (size_t i = 0; i + 1 < g.fallback.size(); i += 2) runs.push_back({g.fallback[i], g.fallback[i + 1]});
    const double h = std::string(g.whv) == "D" ? kSqrt3 : 1.0;
    const double l = std::string(g.wlv) == "d" ? 1 / kSqrt3 : std::string(g.wlv) == "z" ? kSqrt3 : 1.0;
    const double ulv_phase = k * h * l * uhv_phase;
    const double scale = ulv_phase * std::abs(1.0 / z2);  // a current of the LV voltage's order
    for (auto [clock, lag] : runs) {
      SCOPED_TRACE(std::string(g.whv) + g.wlv + std::to_string(clock));
      ThreePhaseTransformer t = make(g.whv, g.wlv, clock, z2, ym, k);
      const std::vector<cd> v1 = balanced(uhv_phase);
      place_side(t.side1, v1);
      for (int wrong : {0, 1}) {
        place_side(t.side2, balanced(ulv_phase, -(lag + wrong) * M_PI / 6));
        t.update_port_currents(false);
        double largest = 0.0;
        for (const Port* p : t.side2) largest = std::max(largest, std::abs(p->current));
        if (wrong) {
          EXPECT_GT(largest, 0.1 * scale);
          continue;
        }
        EXPECT_LT(largest, 1e-9 * scale);
        // Magnetising currents only: ym on each winding the phase touches.
        for (int i = 0; i < 3; ++i) {
          const cd drawn = h == 1.0 ? ym * v1[i] : ym * (2.0 * v1[i] - v1[(i + 1) % 3] - v1[(i + 2) % 3]);
          expect_close(t.side1[i]->current, drawn, 1e-9);
        }
        if (t.side1.size() == 4)
          expect_close(t.side1[3]->current, -(t.side1[0]->current + t.side1[1]->current + t.side1[2]->current));
      }
      // The open-circuit test at the matching rated voltages draws the same.
      auto [p, x] = t.compute_open_circuit_parameters(kSqrt3 * uhv_phase, kSqrt3 * ulv_phase, 1e6);
      if (lag == clock) {  // the test displaces the LV side by the clock itself
        const double winding_sq = h * h * uhv_phase * uhv_phase;
        EXPECT_NEAR(p, 3 * ym.real() * winding_sq, 1e-9 * std::abs(p));
        const double rated = 1e6 / (3 * uhv_phase);
        EXPECT_NEAR(x, h * h * std::abs(ym) * uhv_phase / rated, 1e-9 * x);
      }
    }
  }
}

TEST(ThreePhaseTransformer, OpenCircuitTestWritesNeutralsAndClockAngle) {
  ThreePhaseTransformer t = make("Y", "y", 0, {0.01, 0.03}, 0.0, 0.1);
  set_potential(t.side1[3], {5, 5});
  set_potential(t.side2[3], {5, 5});
  auto [p, x] = t.compute_open_circuit_parameters(10e3, 1e3, 250e3);
  EXPECT_NEAR(p, 0.0, 1e-9);
  EXPECT_NEAR(x, 0.0, 1e-12);
  EXPECT_EQ(t.side1[3]->connection->get_potential(), cd(0, 0));
  EXPECT_EQ(t.side2[3]->connection->get_potential(), cd(0, 0));

  ThreePhaseTransformer d = make("D", "y", 11);
  d.compute_open_circuit_parameters(20e3, 400, 1e6);
  for (int i = 0; i < 3; ++i) {
    const double beta = -2 * M_PI * i / 3;
    expect_close(d.side1[i]->connection->get_potential(), std::polar(20e3 / kSqrt3, beta), 1e-12);
    expect_close(d.side2[i]->connection->get_potential(), std::polar(400 / kSqrt3, beta - 11 * M_PI / 6), 1e-12);
  }
  // Any clock is accepted; the most negative one has no integer negation.
  const int lowest = std::numeric_limits<int>::min();
  ThreePhaseTransformer far = make("Y", "y", lowest);
  far.compute_open_circuit_parameters(20e3, 400, 1e6);
  const double theta = -static_cast<double>(lowest) * M_PI / 6;
  expect_close(far.side2[0]->connection->get_potential(), std::polar(400 / kSqrt3, theta), 1e-9);
}

// Secondary shorted, HV phases at vsc * uhv / sqrt 3: per winding pair,
// U1 conj(J1) + U2 conj(I2) = conj(ym) |U1|^2 + z2 |I2|^2 with U2 = 0 and
// |I2| = ratio |U1| / |z2| (the zigzag's ratio carries its sqrt 3), so
// P = sum |U1|^2 (Re ym + ratio^2 Re z2 / |z2|^2).
TEST(ThreePhaseTransformer, ShortCircuitTest) {
  const cd z2(0.015, 0.07), ym(3e-6, -1e-5);
  const double k = 0.02, uhv = 20e3, ulv = 400, sn = 630e3;
  struct Case {
    const char *whv, *wlv;
    int clock;
  } cases[] = {{"D", "y", 11}, {"Y", "y", 0}, {"D", "d", 0}, {"Y", "d", 5}, {"D", "z", 0}, {"Y", "z", 11}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.whv) + c.wlv);
    ThreePhaseTransformer t = make(c.whv, c.wlv, c.clock, z2, ym, k);
    auto [p, vsc] = t.compute_short_circuit_parameters(uhv, ulv, sn);
    const double third = std::string(c.wlv) == "d" ? 1.0 / 3.0 : 1.0;
    EXPECT_NEAR(vsc, third * std::abs(z2) * sn / (ulv * ulv), 1e-15);
    const double phase = vsc * uhv / kSqrt3;
    const double winding = std::string(c.whv) == "D" ? kSqrt3 * phase : phase;
    const double ratio = std::string(c.wlv) == "z" ? kSqrt3 * k : k;
    const double p_expected =
        3 * winding * winding * (ym.real() + ratio * ratio * z2.real() / std::norm(z2));
    EXPECT_NEAR(p, p_expected, 1e-9 * p_expected);
    for (const Port* port : t.side2) EXPECT_EQ(port->connection->get_potential(), cd(0, 0));
  }
}

// A loaded transformer at arbitrary potentials: the power entering its ports
// is what its impedances take, conj(ym) sum |U1|^2 + z2 sum |I2|^2, where the
// winding voltages and currents are read off the ports: line-to-line or
// phase-to-neutral voltages for the HV side, and for star and zigzag
// secondaries the LV winding currents are the phase currents.
TEST(ThreePhaseTransformer, LoadedPowerBalance) {
  const cd z2(0.03, 0.08), ym(4e-5, -1.5e-4);
  for (const char* whv : {"D", "Y"})
    for (const char* wlv : {"y", "z"})
      for (int clock : {1, 2, 4, 5, 7, 11}) {
        SCOPED_TRACE(std::string(whv) + wlv + std::to_string(clock));
        ThreePhaseTransformer t = make(whv, wlv, clock, z2, ym, 0.1);
        const std::vector<cd> v1{{1000, 30}, {-480, -870}, {-520, 850}, {12, -7}};
        const std::vector<cd> v2{{90, 20}, {-60, -80}, {-40, 95}, {3, 2}};
        for (size_t i = 0; i < t.side1.size(); ++i) set_potential(t.side1[i], v1[i]);
        for (size_t i = 0; i < t.side2.size(); ++i) set_potential(t.side2[i], v2[i]);
        t.update_port_currents(false);
        cd s(0, 0);
        for (const Port& port : t.ports) s += port.connection->get_potential() * std::conj(port.current);
        double u1_sq = 0.0, i2_sq = 0.0;
        for (int i = 0; i < 3; ++i) {
          u1_sq += std::norm(std::string(whv) == "D" ? v1[i] - v1[(i + 1) % 3] : v1[i] - v1[3]);
          i2_sq += std::norm(t.side2[i]->current);
        }
        expect_close(s, std::conj(ym) * u1_sq + z2 * i2_sq, 1e-10);
        expect_close(t.side2[3]->current, -(t.side2[0]->current + t.side2[1]->current + t.side2[2]->current));
      }
}

TEST(ThreePhaseTransformer, TapeMatchesPlain) {
  const std::vector<cd> v{{1000, 30}, {-480, -870}, {-520, 850}, {12, -7}, {90, 20}, {-60, -80}, {-40, 95}, {3, 2}};
  struct Case {
    const char *whv, *wlv;
    int clock;
    int reference_port;  // -1: none
  } cases[] = {{"D", "y", 11, 6}, {"Y", "z", 1, -1}, {"Y", "d", 7, 3}, {"D", "d", 6, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.whv) + c.wlv);
    ThreePhaseTransformer t = make(c.whv, c.wlv, c.clock, {0.03, 0.08}, {4e-5, -1.5e-4}, 0.1);
    for (size_t i = 0; i < t.side1.size(); ++i) set_potential(t.side1[i], v[i]);
    for (size_t i = 0; i < t.side2.size(); ++i) set_potential(t.side2[i], v[4 + i]);
    if (c.reference_port >= 0) t.ports[c.reference_port].connection->is_reference = true;
    TapeCheck check;
    check.expect_tape_matches_plain(t, 3.0);
  }
}
