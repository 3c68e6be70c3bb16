#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "element_harness.hpp"
#include "model/flexible_load.hpp"
#include "model/flexible_parameter.hpp"

namespace {

// ---- Reference model: the smooth laws rewritten with a stable softplus,
// ln(1 + e^z), and the smooth minimum as a logistic blend.

double softplus(double z) { return z > 0.0 ? z + std::log1p(std::exp(-z)) : std::log1p(std::exp(z)); }

double ref_active(const Control& c, double u, double pth, double s_max) {
  const double a = c.alpha, e = c.epsilon;
  switch (c.type) {
    case 0:
      return pth;
    case 2: {
      const double x = u / c.u_max;
      const double knee = ((pth / s_max + 1.0) * (c.u_max - c.u_up) + c.u_up) / c.u_max;
      const double gap = 1.0 - knee + e * std::exp(-(1.0 - knee) / e);
      return pth * (1.0 + (softplus(a * (x - 1.0)) - softplus(a * (x - knee))) / (a * gap));
    }
    default: {
      const double x = u / c.u_min;
      const double knee = (c.u_down - (1.0 - pth / s_max) * (c.u_down - c.u_min)) / c.u_min;
      const double gap = knee - 1.0 + e * std::exp(-(knee - 1.0) / e);
      return pth * (softplus(a * (x - 1.0)) - softplus(a * (x - knee))) / (a * gap);
    }
  }
}

double ref_reactive(const Control& c, double u, double v, double q_min, double q_max) {
  if (c.type == 0) return v;
  const double a = c.alpha, x = u / c.u_max;
  const double m = c.u_min / c.u_max, d = c.u_down / c.u_max, r = c.u_up / c.u_max;
  const double low = -1.0 + (softplus(a * (x - d)) - softplus(a * (x - m))) / (a * (m - d));
  const double high = (softplus(a * (x - r)) - softplus(a * (x - 1.0))) / (a * (1.0 - r));
  return v + (v - q_min) * low + (q_max - v) * high;
}

double floor_min(double b, double c, double a, double e) {
  const double w = b + (c - b) / (1.0 + std::exp(-0.15 * a * (b - c)));
  return w + e * std::exp(-w / e);
}

struct Limits {
  double s_max, q_min, q_max;
};

complex_d ref_power(const FlexibleParameter& f, const Limits& l, double u, complex_d s_th) {
  const double pth = s_th.real();
  const double big_p = ref_active(f.control_p, u, pth, l.s_max);
  const double big_q = ref_reactive(f.control_q, u, s_th.imag(), l.q_min, l.q_max);
  if (f.control_p.type == 0 && f.control_q.type == 0) return s_th;
  double p = big_p / l.s_max, q = big_q / l.s_max;
  const double a = f.projection.alpha, e = f.projection.epsilon;
  switch (f.projection.type) {
    case 0: {
      const double s = p * p + q * q;
      const double o = 1.0 + softplus(a * (std::sqrt(s + e * std::exp(-s / e)) - 1.0)) / a;
      p /= o;
      q /= o;
      break;
    }
    case 1:
      q = std::sqrt(floor_min(q * q, 1.0 - p * p, a, e)) * std::tanh(a * q);
      break;
    default:
      p = (pth >= 0.0 ? 1.0 : -1.0) * std::sqrt(floor_min(p * p, 1.0 - q * q, a, e));
      break;
  }
  return {p * l.s_max, q * l.s_max};
}

// ---- Tape of compute_power over u (variable), s_th and the limits (dynamic).
struct PowerTape {
  FlexibleParameter& f;
  CppAD::ADFun<double> fun;
  Eigen::VectorXd p;

  PowerTape(FlexibleParameter& param, double u0, complex_d s0) : f(param) {
    std::vector<double> p0 = {s0.real(), s0.imag()};
    for (ScalarVariable* s : {&f.s_max, &f.q_min, &f.q_max}) s->append_value(p0);
    p = Eigen::Map<Eigen::VectorXd>(p0.data(), 5);
    TapeArray X = {ad_double(u0)};
    TapeArray P(p0.begin(), p0.end());
    CppAD::Independent(X, 0, false, P);
    int c = 2;
    for (ScalarVariable* s : {&f.s_max, &f.q_min, &f.q_max}) s->bind(P, p, c);
    ad_complex s;
    try {
      s = f.compute_power(X[0], ad_complex(P[0], P[1]));
    } catch (...) {
      ad_double::abort_recording();
      throw;
    }
    TapeArray y = {s.real(), s.imag()};
    fun.Dependent(X, y);
  }

  complex_d eval(double u, complex_d s_th) {
    p(0) = s_th.real();
    p(1) = s_th.imag();
    fun.new_dynamic(std::vector<double>(p.data(), p.data() + 5));
    const std::vector<double> y = fun.Forward(0, std::vector<double>{u});
    return {y[0], y[1]};
  }

  // d(P, Q)/du at the point of the last eval.
  complex_d slope() {
    const std::vector<double> dy = fun.Forward(1, std::vector<double>{1.0});
    return {dy[0], dy[1]};
  }
};

template <class F>
void expect_message(F&& f, const std::string& text) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected: " << text;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), text);
  }
}

const Control constant_law("constant", 0, 0, 0, 0, 0, 0);
const Projection euclidean("euclidean", 100, 1e-4);

// ---- Names and roles

TEST(FlexibleParameter, LawAndProjectionNames) {
  const std::pair<const char*, int> controls[] = {
      {"constant", 0}, {"q_u", 1}, {"p_max_u_production", 2}, {"p_max_u_consumption", 3}};
  for (const auto& [name, type] : controls) EXPECT_EQ(Control(name, 1, 2, 3, 4, 5, 6).type, type);
  const std::pair<const char*, int> projections[] = {{"euclidean", 0}, {"keep_p", 1}, {"keep_q", 2}};
  for (const auto& [name, type] : projections) EXPECT_EQ(Projection(name, 1, 2).type, type);

  for (const char* bad : {"Constant", "constant ", "", "q_U", "p_max_u"})
    expect_message([&] { Control(bad, 0, 0, 0, 0, 0, 0); }, std::string(bad) + " is a bad control type name");
  for (const char* bad : {"Euclidean", "keep_p ", "", "keep"})
    expect_message([&] { Projection(bad, 0, 0); }, std::string(bad) + " is a bad projection type name");
}

TEST(FlexibleParameter, LawInTheWrongRoleFailsAtComputation) {
  const Control q_u("q_u", 200, 210, 240, 250, 100, 1e-4);
  const Control production("p_max_u_production", 200, 210, 240, 250, 100, 1e-4);
  const Control consumption("p_max_u_consumption", 200, 210, 240, 250, 100, 1e-4);
  struct Case {
    Control p, q;
    const char* text;
  };
  const Case cases[] = {
      {q_u, constant_law, "Bad control type for P"},
      {constant_law, production, "Bad control type for Q"},
      {constant_law, consumption, "Bad control type for Q"},
      {q_u, production, "Bad control type for P"},  // P is computed first
  };
  for (const Case& c : cases) {
    FlexibleParameter f(c.p, c.q, euclidean, 10, -5, 5);  // building is fine
    expect_message([&] { f.compute_power(230.0, {1.0, 1.0}); }, c.text);
    expect_message([&] { PowerTape(f, 230.0, {1.0, 1.0}); }, c.text);
  }
}

TEST(FlexibleParameter, ConstantLawsReturnTheTheoreticalPower) {
  FlexibleParameter f(constant_law, constant_law, euclidean, 1.0, -1.0, 1.0);
  PowerTape tape(f, 100.0, {0.5, 0.5});
  for (double u : {0.0, 100.0, 400.0})
    for (complex_d s : {complex_d(30.0, -40.0), complex_d(-0.2, 0.1)}) {
      EXPECT_EQ(f.compute_power(u, s), s);
      EXPECT_EQ(tape.eval(u, s), s);
    }
}

// ---- Control laws over voltages below, inside and above their thresholds.

struct Point {
  double u;
  double shape;  // the piecewise-linear curve the smooth law approaches
};

struct LawCase {
  const char* name;
  Control p_law, q_law;
  complex_d s_th;
  bool checks_p;
  std::vector<Point> points;
};

const Limits law_limits{10.0, -5.0, 5.0};

const LawCase law_cases[] = {
    // Producer, Pth = -6: full output until |Pth| meets the line at 244 V,
    // then s_max (250 - u) / 10, nothing from 250 V on.
    {"production",
     Control("p_max_u_production", 0, 0, 240, 250, 1000, 1e-6),
     constant_law,
     {-6.0, 0.0},
     true,
     {{230, -6}, {240, -6}, {243, -6}, {245, -5}, {246, -4}, {248, -2}, {252, 0}, {260, 0}}},
    // Consumer, Pth = 6: nothing below 200 V, s_max (u - 200) / 10 up to 206 V, then Pth.
    {"consumption",
     Control("p_max_u_consumption", 200, 210, 0, 0, 1000, 1e-6),
     constant_law,
     {6.0, 0.0},
     true,
     {{190, 0}, {199, 0}, {202, 2}, {204, 4}, {207, 6}, {208, 6}, {220, 6}}},
    // v = 1: q_min below 200 V, linear to v at 210 V, v up to 240 V, linear to q_max at 250 V.
    {"q_u",
     constant_law,
     Control("q_u", 200, 210, 240, 250, 1000, 1e-6),
     {0.0, 1.0},
     false,
     {{190, -5}, {205, -2}, {211, 1}, {225, 1}, {239, 1}, {245, 3}, {260, 5}}},
};

void PrintTo(const LawCase& c, std::ostream* os) { *os << c.name; }

class ControlLaws : public testing::TestWithParam<LawCase> {};

TEST_P(ControlLaws, SmoothFormulasInBothForms) {
  const LawCase& c = GetParam();
  FlexibleParameter f(c.p_law, c.q_law, Projection("euclidean", 1000, 1e-6), law_limits.s_max, law_limits.q_min,
                      law_limits.q_max);
  // Recorded at the first voltage only: the tape must follow u.
  PowerTape tape(f, c.points.front().u, c.s_th);
  for (const Point& pt : c.points) {
    SCOPED_TRACE("u = " + std::to_string(pt.u));
    const complex_d plain = f.compute_power(pt.u, c.s_th);
    expect_close(plain, ref_power(f, law_limits, pt.u, c.s_th), 1e-10);
    expect_close(tape.eval(pt.u, c.s_th), plain, 1e-12);
    const double controlled = c.checks_p ? plain.real() : plain.imag();
    const double untouched = c.checks_p ? plain.imag() : plain.real();
    EXPECT_NEAR(controlled, pt.shape, 0.01);
    EXPECT_NEAR(untouched, c.checks_p ? c.s_th.imag() : c.s_th.real(), 1e-9);
  }
}

INSTANTIATE_TEST_SUITE_P(Laws, ControlLaws, testing::ValuesIn(law_cases),
                         [](const testing::TestParamInfo<LawCase>& info) { return std::string(info.param.name); });

// ---- Sharp laws: alpha up to 1e6 and voltages up to 10 x 250 V, where the
// textbook exponentials overflow. One tape, recorded at 230 V, serves them all.

class SharpLaws : public testing::TestWithParam<double> {};

TEST_P(SharpLaws, PlainAndTapeFollowTheReferenceEverywhere) {
  const double alpha = GetParam();
  const Control consumption("p_max_u_consumption", 200, 210, 0, 0, alpha, 1e-6);
  const Control production("p_max_u_production", 0, 0, 240, 250, alpha, 1e-6);
  const Control q_u("q_u", 200, 210, 240, 250, alpha, 0);
  struct Case {
    Control p, q;
    const char* projection;
    complex_d s_th;
  };
  const Case cases[] = {{consumption, q_u, "euclidean", {9, 8}},
                        {production, q_u, "keep_q", {-9, 8}},
                        {consumption, constant_law, "keep_p", {6, 4}},
                        {constant_law, q_u, "euclidean", {15, 10}}};
  std::vector<double> voltages;
  for (int k = 0; k <= 100; ++k) voltages.push_back(25.0 * k);
  for (double knee : {200.0, 206.0, 209.0, 210.0, 240.0, 241.0, 244.0, 250.0})
    for (double d : {0.0, -1e-5, 1e-5, -1e-4, 1e-4, -1e-2, 1e-2, -1.0, 1.0}) voltages.push_back(knee + d);
  const Limits limits{10.0, -5.0, 5.0};
  for (const Case& c : cases) {
    FlexibleParameter f(c.p, c.q, Projection(c.projection, alpha, 1e-4), limits.s_max, limits.q_min, limits.q_max);
    PowerTape tape(f, 230.0, c.s_th);
    for (double u : voltages) {
      SCOPED_TRACE(std::string(c.projection) + " at u = " + std::to_string(u));
      const complex_d plain = f.compute_power(u, c.s_th);
      ASSERT_TRUE(std::isfinite(plain.real()) && std::isfinite(plain.imag())) << plain;
      expect_close(plain, ref_power(f, limits, u, c.s_th), 1e-11);
      expect_close(tape.eval(u, c.s_th), plain, 1e-14);
      const complex_d slope = tape.slope();
      EXPECT_TRUE(std::isfinite(slope.real()) && std::isfinite(slope.imag())) << slope;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Alphas, SharpLaws, testing::Values(10.0, 1e3, 1e4, 1e6));

TEST(FlexibleParameter, ProductionResidueAtMaximumVoltage) {
  FlexibleParameter f(Control("p_max_u_production", 0, 0, 240, 250, 1000, 1e-6), constant_law,
                      Projection("euclidean", 1000, 1e-6), 10, -5, 5);
  EXPECT_NEAR(f.compute_power(250.0, {-6.0, 0.0}).real(), -0.17, 0.01);
}

// ---- Projections: P kept by a constant law; Q by "q_u" at a voltage
// between its knees, where it equals v.

TEST(FlexibleParameter, Projections) {
  const Control q_flat("q_u", 200, 210, 240, 250, 1000, 1e-6);
  const double u = 225.0;
  const Limits limits{1.0, -1.0, 1.0};
  struct Case {
    const char* projection;
    complex_d pq, shape;
  };
  const Case cases[] = {
      {"euclidean", {0.9, 0.9}, {0.7071, 0.7071}},
      {"keep_p", {0.9, 0.9}, {0.9, 0.4359}},
      {"keep_q", {0.9, 0.9}, {0.4359, 0.9}},
      {"keep_p", {0.9, -0.9}, {0.9, -0.4359}},
      {"keep_q", {-0.9, 0.9}, {-0.4359, 0.9}},
      {"euclidean", {-0.6, -0.9}, {-0.5547, -0.8321}},
      {"euclidean", {0.3, 0.2}, {0.3, 0.2}},
      {"keep_p", {0.3, 0.2}, {0.3, 0.2}},
      {"keep_q", {0.3, 0.2}, {0.3, 0.2}},
      {"keep_q", {-0.3, 0.2}, {-0.3, 0.2}},
  };
  for (const char* name : {"euclidean", "keep_p", "keep_q"}) {
    FlexibleParameter f(constant_law, q_flat, Projection(name, 100, 1e-4), limits.s_max, limits.q_min,
                        limits.q_max);
    // Recorded at a positive Pth; some cases evaluate it at a negative one.
    PowerTape tape(f, u, {0.5, 0.1});
    for (const Case& c : cases) {
      if (std::string(c.projection) != name) continue;
      SCOPED_TRACE(std::string(name) + " at " + std::to_string(c.pq.real()) + ", " + std::to_string(c.pq.imag()));
      const complex_d plain = f.compute_power(u, c.pq);
      expect_close(plain, ref_power(f, limits, u, c.pq), 1e-10);
      expect_close(tape.eval(u, c.pq), plain, 1e-12);
      expect_close(plain, c.shape, 1e-3);
    }
  }
}

// The limits are read through their bound slots in both forms.
TEST(FlexibleParameter, UpdatedLimitsReachBothForms) {
  FlexibleParameter f(constant_law, Control("q_u", 200, 210, 240, 250, 1000, 1e-6), euclidean, 10, -5, 5);
  PowerTape tape(f, 190.0, {0.0, 1.0});
  f.update_parameters(8.0, -3.0, 4.0);
  EXPECT_EQ(tape.p(2), 8.0);
  EXPECT_EQ(tape.p(3), -3.0);
  EXPECT_EQ(tape.p(4), 4.0);
  EXPECT_EQ(f.s_max.value, 8.0);
  const Limits updated{8.0, -3.0, 4.0};
  for (double u : {190.0, 260.0}) {
    const complex_d expected = ref_power(f, updated, u, {0.0, 1.0});
    expect_close(f.compute_power(u, {0.0, 1.0}), expected, 1e-10);
    expect_close(tape.eval(u, {0.0, 1.0}), expected, 1e-10);
  }
  EXPECT_NEAR(f.compute_power(190.0, {0.0, 1.0}).imag(), -3.0, 0.01);
}

// ---- Flexible loads

struct FlexReference {
  std::vector<complex_d> powers, phases, ports;
};

FlexReference flex_reference(const std::vector<const FlexibleParameter*>& params, const Limits& l, bool delta,
                             const std::vector<complex_d>& s_th, const std::vector<complex_d>& v) {
  FlexReference r;
  const std::vector<complex_d> dv = reference_phase_voltages(delta, v);
  for (size_t i = 0; i < dv.size(); ++i) {
    r.powers.push_back(ref_power(*params[i], l, std::abs(dv[i]), s_th[i]));
    r.phases.push_back(std::conj(r.powers.back() / dv[i]));
  }
  r.ports = reference_port_currents(delta, r.phases);
  return r;
}

const complex_d a120 = std::polar(1.0, 2.0 * M_PI / 3.0);

struct FlexCase {
  const char* name;
  bool delta;
  const char* projection;
  std::vector<complex_d> recorded, s_th, potentials;
};

const FlexCase flex_cases[] = {
    {"star_euclidean",
     false,
     "euclidean",
     {{3e3, 1e3}, {3e3, 1e3}, {3e3, 1e3}},
     {{4e3, 2e3}, {-5e3, 1e3}, {1e3, -3e3}},
     {{235.0, 0.0}, 245.0 * a120 * a120, 205.0 * a120, {1.0, -1.0}}},
    {"delta_keep_p",
     true,
     "keep_p",
     {{3e3, 1e3}, {3e3, 1e3}, {3e3, 1e3}},
     {{4e3, 2e3}, {-5e3, 1e3}, {1e3, -3e3}},
     {{250.0, 0.0}, 260.0 * a120 * a120, 160.0 * a120}},
    // Recorded with positive theoretical powers, evaluated with phases of
    // both signs: the active power's sign must follow on the tape.
    {"star_keep_q_sign_change",
     false,
     "keep_q",
     {{3e3, 1e3}, {3e3, 1e3}, {3e3, 1e3}},
     {{-4e3, 2e3}, {5e3, 1e3}, {-1e3, -3e3}},
     {{235.0, 0.0}, 245.0 * a120 * a120, 205.0 * a120, {1.0, -1.0}}},
    {"delta_keep_q_sign_change",
     true,
     "keep_q",
     {{-3e3, 1e3}, {3e3, 1e3}, {-3e3, 1e3}},
     {{4e3, 2e3}, {-5e3, 1e3}, {1e3, -3e3}},
     {{400.0, 0.0}, 410.0 * a120 * a120, 380.0 * a120}},
};

void PrintTo(const FlexCase& c, std::ostream* os) { *os << c.name; }

class FlexibleLoads : public testing::TestWithParam<FlexCase> {};

TEST_P(FlexibleLoads, CurrentsAndPowersInBothModes) {
  const FlexCase& c = GetParam();
  const double scale = c.delta ? std::sqrt(3.0) : 1.0;
  // One parameter shared by every phase, one of its own for the last phase.
  FlexibleParameter shared(Control("p_max_u_consumption", 200 * scale, 210 * scale, 0, 0, 100, 1e-4),
                           Control("q_u", 200 * scale, 210 * scale, 240 * scale, 250 * scale, 100, 1e-4),
                           Projection(c.projection, 100, 1e-4), 5e3, -2e3, 2e3);
  FlexibleParameter own(constant_law, Control("q_u", 200 * scale, 210 * scale, 240 * scale, 250 * scale, 100, 1e-4),
                        Projection(c.projection, 100, 1e-4), 5e3, -2e3, 2e3);
  std::vector<FlexibleParameter*> params = {&shared, &shared, &own};
  const int n = static_cast<int>(c.potentials.size());
  std::unique_ptr<LoadBase> load;
  std::vector<complex_d> got_powers(3);
  std::function<void()> read_powers;
  std::vector<Variable>* holders = nullptr;
  if (c.delta) {
    auto d = std::make_unique<DeltaFlexibleLoad>(n, c.recorded.data(), params);
    holders = &d->powers;
    read_powers = [raw = d.get(), &got_powers] { raw->get_powers(got_powers.data()); };
    load = std::move(d);
  } else {
    auto s = std::make_unique<FlexibleLoad>(n, c.recorded.data(), params);
    holders = &s->powers;
    read_powers = [raw = s.get(), &got_powers] { raw->get_powers(got_powers.data()); };
    load = std::move(s);
  }
  ElementHarness h(*load);
  h.set_potentials(c.potentials);
  update_variable_values(*holders, c.s_th.data());

  Limits limits{5e3, -2e3, 2e3};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "initial limits" : "updated limits");
    const FlexReference ref = flex_reference({&shared, &shared, &own}, limits, c.delta, c.s_th, c.potentials);
    const std::vector<complex_d> plain = h.plain_currents();
    expect_all_close(plain, ref.ports, 1e-9);
    expect_all_close(h.tape_currents(), plain, 1e-11);
    read_powers();
    expect_all_close(got_powers, ref.powers, 1e-9);
    std::vector<complex_d> inner(3);
    load->get_inner_currents(inner.data());
    expect_all_close(inner, ref.phases, 1e-9);

    // Both parameters are bound once; an update reaches every phase using them.
    limits = {4e3, -1e3, 1.5e3};
    shared.update_parameters(limits.s_max, limits.q_min, limits.q_max);
    own.update_parameters(limits.s_max, limits.q_min, limits.q_max);
  }
}

INSTANTIATE_TEST_SUITE_P(Loads, FlexibleLoads, testing::ValuesIn(flex_cases),
                         [](const testing::TestParamInfo<FlexCase>& info) { return std::string(info.param.name); });

TEST(FlexibleLoads, ConstantLawsDrawPowerLoadCurrents) {
  FlexibleParameter f(constant_law, constant_law, euclidean, 1.0, 0.0, 0.0);
  const std::vector<complex_d> s = {{1e3, 5e2}, {-2e3, 1e2}, {7e2, -3e2}};
  const std::vector<complex_d> v = {{230.0, 5.0}, {-118.0, -199.0}, {-112.0, 200.0}, {0.5, 0.5}};
  FlexibleLoad load(4, s.data(), {&f, &f, &f});
  ElementHarness h(load);
  h.set_potentials(v);
  const std::vector<complex_d> dv = reference_phase_voltages(false, v);
  std::vector<complex_d> phases;
  for (size_t i = 0; i < dv.size(); ++i) phases.push_back(std::conj(s[i] / dv[i]));
  const std::vector<complex_d> expected = reference_port_currents(false, phases);
  expect_all_close(h.plain_currents(), expected);
  expect_all_close(h.tape_currents(), expected);
}

TEST(FlexibleLoads, OnePortAndBadCounts) {
  FlexibleParameter f(constant_law, constant_law, euclidean, 1.0, 0.0, 0.0);
  FlexibleLoad single(1, nullptr, {});
  ElementHarness h(single);
  h.set_potential(0, {230.0, 0.0});
  expect_all_close(h.plain_currents(), {0.0});
  expect_all_close(h.tape_currents(), {0.0});
  complex_d sentinel(-1.0, 1.0);
  single.get_powers(&sentinel);
  single.get_inner_currents(&sentinel);
  EXPECT_EQ(sentinel, complex_d(-1.0, 1.0));

  const complex_d s[] = {{1.0, 0.0}, {1.0, 0.0}};
  for (int n : {0, -1}) {
    try {
      FlexibleLoad bad(n, s, {&f});
      ADD_FAILURE() << "built with " << n << " ports";
    } catch (const std::length_error& e) {
      EXPECT_STREQ(e.what(), "vector too long");
    }
  }
  EXPECT_THROW(DeltaFlexibleLoad(-1, s, {}), std::length_error);
  EXPECT_EQ(DeltaFlexibleLoad(0, nullptr, {}).port_count(), 0);
  // Every phase needs a parameter to read.
  EXPECT_THROW(FlexibleLoad(3, s, {&f}), std::invalid_argument);
  EXPECT_THROW(DeltaFlexibleLoad(2, s, {&f, nullptr}), std::invalid_argument);
}

// A law in the wrong role surfaces from every computation, and the port
// currents of the last good computation stay as they were.
TEST(FlexibleLoads, BadLawLeavesCurrentsWhole) {
  FlexibleParameter good(constant_law, constant_law, euclidean, 1.0, 0.0, 0.0);
  FlexibleParameter bad(Control("q_u", 200, 210, 240, 250, 100, 1e-4), constant_law, euclidean, 1.0, 0.0, 0.0);
  const complex_d s[] = {{100.0, 0.0}, {100.0, 0.0}, {100.0, 0.0}};
  FlexibleLoad star(4, s, {&good, &good, &bad});
  DeltaFlexibleLoad delta(3, s, {&good, &bad, &good});
  for (LoadBase* load : {static_cast<LoadBase*>(&star), static_cast<LoadBase*>(&delta)}) {
    for (int i = 0; i < load->port_count(); ++i) {
      load->ports[i].connection->potential.set_value(complex_d(100.0 * (i + 1), 0.0));
      load->ports[i].current = complex_d(i, -i);
    }
    expect_message([&] { load->update_port_currents(false); }, "Bad control type for P");
    expect_message([&] { load->backward_step(); }, "Bad control type for P");
    for (int i = 0; i < load->port_count(); ++i) EXPECT_EQ(load->ports[i].current, complex_d(i, -i));
  }
  complex_d out[3];
  expect_message([&] { star.get_powers(out); }, "Bad control type for P");
  expect_message([&] { delta.get_powers(out); }, "Bad control type for P");
  expect_message([&] { delta.get_inner_currents(out); }, "Bad control type for P");
  expect_message([&] { ElementHarness h(star); }, "Bad control type for P");
}

}  // namespace
