#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <sstream>

#include "local_elements.hpp"
#include "solver_cases.hpp"
#include "model/bus.hpp"
#include "model/line.hpp"
#include "model/load.hpp"
#include "model/network.hpp"
#include "model/voltage_source.hpp"
#include "solvers/error_handler.hpp"
#include "solvers/newton.hpp"
#include "solvers/solver.hpp"

namespace {
using local::join;
using LinearCase = local::SingleLoadCase<local::Admittance>;
using namespace solver_cases;

template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Counts its sweeps; the forward step reports 1 and NaN at sweep `nan_at`.
struct Flaky : Element {
  int sweep = 0, nan_at;
  explicit Flaky(int at) : Element(0), nan_at(at) {}
  void update_port_currents(bool) override {}
  void backward_step() override {}
  double forward_step() override { return ++sweep == nan_at ? std::nan("") : 1.0; }
};

// A one-port element whose backward step leaves `bad` as its current at
// sweep `at`, and a finite one otherwise.
struct BadCurrent : Element {
  int sweep = 0, at;
  complex_d bad;
  BadCurrent(int at_sweep, complex_d value) : Element(1), at(at_sweep), bad(value) {}
  void update_port_currents(bool) override {}
  void backward_step() override { ports[0].current = ++sweep == at ? bad : complex_d(1.0, 1.0); }
};
}  // namespace

TEST(BackwardForward, AlwaysMakesOneSweep) {
  ElectricalNetwork empty({});
  BackwardForward bf(&empty);
  for (int limit : {-1, 0, 5}) EXPECT_EQ(bf.solve_load_flow(limit, 0.0), std::make_pair(1, 0.0));
  Flaky never_settles(-1);
  ElectricalNetwork net({&never_settles});
  BackwardForward sweeps(&net);
  EXPECT_EQ(sweeps.solve_load_flow(0, 0.5), std::make_pair(1, 1.0));
  EXPECT_EQ(sweeps.solve_load_flow(4, 0.5), std::make_pair(4, 1.0));
  EXPECT_EQ(sweeps.solve_load_flow(4, -1.0), std::make_pair(4, 1.0));
}

TEST(BackwardForward, Failures) {
  Flaky flaky(3), larger(-1);
  ElectricalNetwork net({&flaky, &larger});
  BackwardForward bf(&net);
  EXPECT_EQ(error_of([&] { bf.solve_load_flow(10, 0.5); }), "2 NaN value encountered at iteration 3. ");
  // A non-finite current fails its sweep before the forward steps run.
  const double inf = INFINITY, nan = std::nan("");
  for (const complex_d bad : {complex_d(inf, 0), complex_d(0, -inf), complex_d(1, nan)}) {
    Flaky settles(-1);
    BadCurrent current(2, bad);
    ElectricalNetwork with_current({&settles, &current});
    BackwardForward sweeps(&with_current);
    EXPECT_EQ(error_of([&] { sweeps.solve_load_flow(10, 0.5); }), "2 NaN value encountered at iteration 2. ");
    EXPECT_EQ(settles.sweep, 1);
  }
  local::Quadratic no_sweep({1, 0}, 1.0);
  ElectricalNetwork other({&no_sweep});
  BackwardForward bf2(&other);
  EXPECT_EQ(error_of([&] { bf2.solve_load_flow(10, 0.5); }),
            "2 No backward-forward method has been defined for this element");
}

TEST(Solvers, ThreeMethodsAgreeOnARadialFeeder) {
  Eigen::VectorXcd results[3];
  for (int method = 0; method < 3; ++method) {
    RadialCase radial;
    std::unique_ptr<AbstractSolver> solver;
    if (method == 0) solver = std::make_unique<Newton>(&radial.net, true);
    if (method == 1) solver = std::make_unique<NewtonGoldstein>(&radial.net, false, 0.1, 0.9, true);
    if (method == 2) solver = std::make_unique<BackwardForward>(&radial.net);
    const auto [iterations, error] = solver->solve_load_flow(50, 1e-9);
    EXPECT_LT(iterations, 50) << "method " << method;
    EXPECT_LE(error, 1e-9);
    radial.expect_solved(1e-7);
    results[method].resize(12);
    results[method] << radial.v(radial.a), radial.v(radial.b), radial.v(radial.c);
    if (method < 2) {
      // Final plain currents follow the potentials.
      const Eigen::VectorXcd i2 = radial.z2.inverse() * (radial.v(radial.b) - radial.v(radial.c));
      for (int k = 0; k < 4; ++k) EXPECT_NEAR(std::abs(radial.l2.side1[k]->current - i2(k)), 0, 1e-8);
      EXPECT_NEAR(std::abs(radial.ref.get_current()), 0, 1e-8);
    }
  }
  EXPECT_LT((results[0] - results[1]).cwiseAbs().maxCoeff(), 1e-9);
  EXPECT_LT((results[0] - results[2]).cwiseAbs().maxCoeff(), 1e-7);
}

// A caller's check that asks to stop at its n-th call, timing the calls.
struct CountingCheck {
  explicit CountingCheck(int n) : stop_at(n) {}
  int stop_at;
  int calls = 0;
  std::chrono::steady_clock::time_point first, last;
  static bool ask(void* context) {
    auto& self = *static_cast<CountingCheck*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (self.calls++ == 0) self.first = now;
    self.last = now;
    return self.calls == self.stop_at;
  }
};

TEST(Solvers, CallersCheckStopsASolveThatNeverConverges) {
  for (int method = 0; method < 3; ++method) {
    RadialCase radial;
    std::unique_ptr<AbstractSolver> solver;
    if (method == 0) solver = std::make_unique<Newton>(&radial.net, false);
    if (method == 1) solver = std::make_unique<NewtonGoldstein>(&radial.net, false, 0.1, 0.9, true);
    if (method == 2) solver = std::make_unique<BackwardForward>(&radial.net);
    CountingCheck check(20);
    solver->stop_check = {CountingCheck::ask, &check};
    const auto start = std::chrono::steady_clock::now();
    // A negative tolerance is never met: only the check ends this solve.
    EXPECT_THROW(solver->solve_load_flow(std::numeric_limits<int>::max(), -1.0), SolveStopped) << method;
    EXPECT_EQ(check.calls, 20);
    // Asked at most once per period, and no later than a few periods apart.
    const double spacing = std::chrono::duration<double>(check.last - check.first).count() / 19;
    EXPECT_GE(spacing, std::chrono::duration<double>(StopPoller::period).count()) << method;
    EXPECT_LT(std::chrono::duration<double>(check.last - start).count(), 1.0) << method;
    // The variables reached stay, and the next solve runs normally.
    radial.expect_solved(1e-7);
    check = CountingCheck(0);
    const auto [iterations, error] = solver->solve_load_flow(50, 1e-9);
    EXPECT_LT(iterations, 50);
    EXPECT_LE(error, 1e-9);
  }
}

TEST(Solvers, WithoutACheckNothingIsAsked) {
  RadialCase radial;
  BackwardForward solver(&radial.net);
  EXPECT_EQ(solver.stop_check.wants_stop, nullptr);
  const auto [iterations, error] = solver.solve_load_flow(50, 1e-9);
  EXPECT_LT(iterations, 50);
  EXPECT_LE(error, 1e-9);
}

// The dense Jacobian is the library's, sweep for sweep: forward sweeps when
// every residual depends on the variables, reverse sweeps when some are
// constants (here the current law of a lone bus's nodes).
TEST(Newton, DenseJacobianIsTheLibrarysBitForBit) {
  for (const bool lone_bus : {false, true}) {
    for (const bool optimize : {false, true}) {
      RadialCase radial;
      const complex_d lone_start[2] = {{1, 2}, {3, 4}};
      Bus lone(2, lone_start);
      std::vector<Element*> elements = radial.net.elements;
      if (lone_bus) elements.push_back(&lone);
      ElectricalNetwork net(elements);
      Newton solver(&net, optimize);
      const size_t n = static_cast<size_t>(solver.variables.size());
      for (size_t k = 0; k < n; ++k) solver.variables[static_cast<Eigen::Index>(k)] += 0.37 * (k + 1);
      size_t non_constant = 0;
      for (size_t i = 0; i < solver.tape.Range(); ++i) non_constant += solver.tape.Parameter(i) ? 0 : 1;
      EXPECT_EQ(non_constant < n, lone_bus) << "the case meant to take reverse sweeps takes forward ones";
      const Eigen::VectorXd ours = solver.get_jacobian();
      const Eigen::VectorXd library = solver.tape.Jacobian(solver.variables);
      ASSERT_EQ(ours.size(), library.size());
      EXPECT_EQ(std::memcmp(ours.data(), library.data(), sizeof(double) * n * n), 0) << lone_bus << optimize;
    }
  }
}

// The backward-forward sweeps keep the inverse of each line's admittance
// between sweeps; a new impedance must still reach the next solve.
TEST(BackwardForward, NewLineImpedanceReachesTheNextSolve) {
  HubCase changed, fresh(0.08);
  BackwardForward a(changed.net.get()), b(fresh.net.get());
  ASSERT_LT(a.solve_load_flow(200, 1e-11).second, 1e-11);
  for (int k = 0; k < HubCase::leaves; ++k) {
    const std::vector<complex_d> z = RadialCase::row_major(RadialCase::impedance(0.08 * (1 + 0.05 * k)));
    changed.lines[k]->update_line_parameters(z.data());
  }
  ASSERT_LT(a.solve_load_flow(200, 1e-11).second, 1e-11);
  ASSERT_LT(b.solve_load_flow(200, 1e-11).second, 1e-11);
  EXPECT_LT((changed.potentials() - fresh.potentials()).cwiseAbs().maxCoeff(), 1e-8);
}

TEST(Newton, FailureTextsCarryTheIterationNumber) {
  struct Case {
    const char* name;
    std::function<std::string()> run;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"infinite Jacobian entry",
       [] {
         const complex_d zero = 0.0;  // a power load at zero potential
         LinearCase base({1, 0}, 1.0, zero);
         local::PowerLoad load({1, 0});
         join(base.bus, 0, load, 0);
         join(base.ref, 0, load, 1);
         std::vector<Element*> elements = base.net.elements;
         elements.push_back(&load);
         ElectricalNetwork net(std::move(elements));
         Newton solver(&net, false);
         // NaN residuals are never converged, whatever the tolerance.
         return error_of([&] { solver.solve_load_flow(5, INFINITY); });
       },
       "1 NaN value encountered at iteration 0. "},
      {"equation no element wrote",
       [] {
         const complex_d one = 1.0;
         Bus bus(1, &one);
         local::Quadratic q({0.5, 0}, -1.0);
         ElectricalNetwork net({&bus, &q});
         bus.disconnect();
         Newton solver(&net, false);
         return error_of([&] { solver.solve_load_flow(5, 1e-9); });
       },
       "1 Decomposition failed, singular matrix at iteration 0. "},
      {"singular after one step",
       [] {
         local::Quadratic q({1, 0}, 1.0);
         ElectricalNetwork net({&q});
         Newton solver(&net, false);
         return error_of([&] { solver.solve_load_flow(5, 1e-9); });
       },
       "1 Decomposition failed, singular matrix at iteration 1. "},
  };
  for (const Case& c : cases) EXPECT_EQ(c.run(), c.expected) << c.name;
}

TEST(Newton, ConvergenceTestAndIterationLimit) {
  struct Case {
    int limit;
    double tolerance;
    int iterations;
  };
  // Linear system: one step solves it exactly.
  for (const Case& c : {Case{0, 1e-9, 0}, Case{5, 1e-9, 1}, Case{5, NAN, 0}, Case{3, -1.0, 3}, Case{-2, -1.0, 0}}) {
    LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
    Newton solver(&lin.net, false);
    lin.load.ports[0].current = {99, 99};
    const auto [iterations, error] = solver.solve_load_flow(c.limit, c.tolerance);
    EXPECT_EQ(iterations, c.iterations) << c.limit << " " << c.tolerance;
    const Eigen::VectorXd r = solver.compute_residuals();
    EXPECT_EQ(error, r.cwiseAbs().maxCoeff());
    EXPECT_FALSE(std::signbit(error));  // exact zero residuals give +0.0
    // Currents follow the final potentials in every case.
    const complex_d va = lin.bus.ports[0].connection->get_potential();
    EXPECT_NEAR(std::abs(lin.load.ports[0].current - complex_d(0.5, 0.25) * va), 0, 1e-12);
  }
  // At the limit of zero the error is that of the start: source rows |1 - 2|, |3 - 1|.
  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  Newton solver(&lin.net, false);
  EXPECT_EQ(solver.solve_load_flow(0, 1e-9), std::make_pair(0, 2.0));
}

TEST(Newton, EmptyNetworkIsSolvedAtOnce) {
  ElectricalNetwork empty({});
  Newton solver(&empty, false);
  EXPECT_EQ(solver.solve_load_flow(5, 1e-9), std::make_pair(0, 0.0));
  EXPECT_EQ(solver.solve_load_flow(5, -1.0), std::make_pair(0, 0.0));
}

TEST(NewtonGoldstein, TrialSequence) {
  // On a linear system r(x0 - s dx) = (1 - s) r0, so the slope of half the
  // merit is t(s) = f0 (s - 2) / 2 and u = -f0. A trial is accepted when
  // 2 - 2 m2 <= s <= 2 - 2 m1 and is too long when s > 2 - 2 m1.
  struct Case {
    double m1, m2;
    bool weighted;
    double final_step;
  };
  const std::vector<Case> cases = {
      {0.1, 0.9, false, 1.0},             // the full step is accepted
      {0.1, 0.9, true, 1.0},              //
      {1.0, 0.5, false, 1.0 / 512},       // ten rejected, all too long: halving
      {0.9, 0.1, false, 0.201171875},     // ten rejected, too long exactly when s > 0.2
      {0.3, 0.2, false, 1.40234375},      // ten rejected, too long exactly when s > 1.4
  };
  for (const Case& c : cases) {
    LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
    NewtonGoldstein solver(&lin.net, false, c.m1, c.m2, c.weighted);
    const Eigen::VectorXd x0 = solver.variables;
    Eigen::VectorXd r = solver.compute_residuals();
    const Eigen::VectorXd r0 = r;
    const Eigen::SparseMatrix<double> J = solver.compute_jacobian();
    const Eigen::VectorXd dx = Eigen::MatrixXd(J).fullPivLu().solve(r0);
    solver.apply_step(J, dx, r);
    const Eigen::VectorXd expected = x0 - c.final_step * dx;
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(solver.variables[k], expected[k], 1e-12) << c.m1 << " " << c.m2;
      EXPECT_NEAR(r[k], (1 - c.final_step) * r0[k], 1e-12);
    }
  }
}

TEST(NewtonGoldstein, RowWeightsAndMerit) {
  // Rows: small entries, a large one, an infinite one, a NaN beside 2, empty.
  std::vector<Eigen::Triplet<double>> t = {{0, 0, 0.5}, {0, 1, -0.25}, {1, 0, 4}, {1, 2, -8},
                                           {2, 1, INFINITY}, {2, 2, 1}, {3, 0, NAN}, {3, 1, 2}};
  Eigen::SparseMatrix<double> J(5, 5);
  J.setFromTriplets(t.begin(), t.end());
  const Eigen::VectorXd w = NewtonGoldstein::compute_row_weights(J);
  EXPECT_EQ(w, (Eigen::VectorXd(5) << 1, 0.125, 0, 0.5, 1).finished());

  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  NewtonGoldstein solver(&lin.net, false, 0.1, 0.9, true);
  const Eigen::VectorXd r = (Eigen::VectorXd(5) << 1, 8, 5, -2, 3).finished();
  EXPECT_EQ(solver.merit(r, w), 1 + 1 + 0 + 1 + 9);
  solver.weighted_merit = false;
  EXPECT_EQ(solver.merit(r, w), 1 + 64 + 25 + 4 + 9);
}

TEST(Newton, ParameterUpdatesTakeEffectAtTheNextSolve) {
  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  Newton solver(&lin.net, false);
  solver.solve_load_flow(5, 1e-12);
  const Eigen::VectorXd jacobian = solver.get_jacobian();
  const complex_d fresh(3, -1);
  lin.src.update_voltages(&fresh);
  lin.load.value.set_value({2, 0});
  EXPECT_EQ(solver.parameters[0], 3);
  // Residuals and Jacobians still see the old parameters.
  EXPECT_LT(solver.get_residuals().cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_EQ(solver.get_jacobian(), jacobian);
  solver.solve_load_flow(5, 1e-12);
  EXPECT_NEAR(std::abs(lin.bus.ports[0].connection->get_potential() - fresh), 0, 1e-12);
  EXPECT_NEAR(std::abs(lin.load.ports[0].current - 2.0 * fresh), 0, 1e-12);
}

TEST(Newton, LogLines) {
  LogCapture log;
  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  const std::string count = "Number of tape operators: ";
  {
    Newton optimised(&lin.net, true);
    const auto lines = log.take();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "----- Tape evaluation -----");
    EXPECT_EQ(lines[1].substr(0, count.size()), count);
    EXPECT_GE(std::stoul(lines[1].substr(count.size())), optimised.tape.size_op());
    EXPECT_EQ(lines[2], "----- Tape optimization -----");
    EXPECT_EQ(lines[3], count + std::to_string(optimised.tape.size_op()));
  }
  Newton solver(&lin.net, false);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"----- Tape evaluation -----", count + std::to_string(solver.tape.size_op())}));
  const std::vector<std::string> pattern = {"----- Sparse pattern initialisation -----", "n: 4 nnz: 8"};
  solver.compute_jacobian();
  EXPECT_EQ(log.take(), pattern);
  solver.analyse_jacobian();
  EXPECT_EQ(log.take(), pattern);
  solver.solve_load_flow(5, 1e-12);  // factorises once
  EXPECT_EQ(log.take(), pattern);
  solver.compute_jacobian();
  solver.variables[0] += 1;
  solver.solve_load_flow(5, 1e-12);
  EXPECT_TRUE(log.take().empty());
}

TEST(Newton, PatternIsAnalysedOncePerSolver) {
  LogCapture log;
  local::Quadratic q({1, 0}, 1.0);
  ElectricalNetwork net({&q});
  Newton solver(&net, false);
  log.take();
  EXPECT_THROW(solver.solve_load_flow(5, 1e-9), std::runtime_error);
  EXPECT_EQ(log.take().size(), 2u);
  q.v.set_value({1, 0});
  EXPECT_THROW(solver.solve_load_flow(5, 1e-9), std::runtime_error);
  EXPECT_TRUE(log.take().empty());
}

TEST(ErrorHandler, WritesOneErrorLine) {
  LogCapture log;
  cppad_error_handler(true, 12, "a/file.hpp", "x > 0", "bad {} value");
  cppad_error_handler(false, 7, "f", "e", "");
  ASSERT_EQ(log.sink_->lines.size(), 2u);
  EXPECT_EQ(log.sink_->lines[0].first, spdlog::level::err);
  EXPECT_EQ(log.sink_->lines[0].second,
            "Error from a known source:\nbad {} value\nError detected by false result for\n    x > 0\n"
            "at line 12 in the file \n    a/file.hpp\n");
  EXPECT_EQ(log.sink_->lines[1].second,
            "Error from unknown source\nError detected by false result for\n    e\nat line 7 in the file \n    f\n");
}

TEST(Diagnostics, AnalyseJacobian) {
  // Node b holds a bus alone (an empty column), node a a power load at zero
  // potential (NaN rows); the quadratic's derivative is exactly zero at 0.
  const complex_d zero = 0.0;
  LinearCase lin({1, 0}, 1.0, zero);
  local::PowerLoad load({1, 0});
  Bus lonely(1, &zero);
  local::Quadratic q({0, 0}, 1.0);
  join(lin.bus, 0, load, 0);
  join(lin.ref, 0, load, 1);
  ElectricalNetwork net({&lin.src, &lin.bus, &load, &lonely, &q, &lin.ref});
  Newton solver(&net, false);
  const auto [columns, rows] = solver.analyse_jacobian();
  // x: a (0, 1), lonely (2, 3), source (4, 5), q (6, 7): columns 2, 3 and 6.
  EXPECT_EQ(columns, (std::vector<int>{3, 4}));
  // NaN rows are node a's: its NaN port belongs to the load.
  EXPECT_EQ(rows, (std::vector<int>{2}));
  LinearCase fine({2, 1}, {0.5, 0.25}, {1, 3});
  Newton well_posed(&fine.net, false);
  const auto [none, nothing] = well_posed.analyse_jacobian();
  EXPECT_TRUE(none.empty() && nothing.empty());
}

TEST(Diagnostics, MatrixMarketFiles) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "lfe_market_test";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  Newton solver(&lin.net, false);
  const std::string prefix = (dir / "system").string();
  solver.save_matrix(prefix);
  // J rows: Is + Y Va (two rows), Va - U (two rows); r at Va = 1 + 3j, Is = 0.
  EXPECT_EQ(read_file(prefix + ".mtx"),
            "%%MatrixMarket matrix coordinate  real general\n"
            "4 4 8\n"
            "1 1 5.00000000000000000e-01\n"
            "2 1 2.50000000000000000e-01\n"
            "3 1 1.00000000000000000e+00\n"
            "1 2 -2.50000000000000000e-01\n"
            "2 2 5.00000000000000000e-01\n"
            "4 2 1.00000000000000000e+00\n"
            "1 3 1.00000000000000000e+00\n"
            "2 4 1.00000000000000000e+00\n");
  EXPECT_EQ(read_file(prefix + "_b.mtx"),
            "%%MatrixMarket matrix array real general\n"
            "4 1\n"
            "-2.50000000000000000e-01\n"
            "1.75000000000000000e+00\n"
            "-1.00000000000000000e+00\n"
            "2.00000000000000000e+00\n");
  // A file that cannot be opened is skipped; the other is still written.
  std::filesystem::create_directories(dir / "blocked.mtx");
  EXPECT_NO_THROW(solver.save_matrix((dir / "blocked").string()));
  EXPECT_TRUE(std::filesystem::exists(dir / "blocked_b.mtx"));
  EXPECT_NO_THROW(solver.save_matrix((dir / "missing" / "x").string()));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
  // A name holding a NUL cannot be opened, and its truncation is not written instead.
  EXPECT_NO_THROW(solver.save_matrix((dir / "cut").string() + std::string("\0.txt", 5)));
  EXPECT_FALSE(std::filesystem::exists(dir / "cut"));
  std::filesystem::remove_all(dir);
}

TEST(Lifetime, DestroyedSolverLeavesStoredValues) {
  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  {
    Newton solver(&lin.net, false);
    solver.solve_load_flow(5, 1e-12);
    EXPECT_EQ(lin.bus.ports[0].connection->get_potential(), complex_d(2, 1));
  }
  // Reads return the stored values, writes change only them.
  EXPECT_EQ(lin.bus.ports[0].connection->get_potential(), complex_d(1, 3));
  EXPECT_EQ(lin.src.currents[0].get_value(), complex_d(0, 0));
  const complex_d fresh(4, 0), start(5, 5);
  lin.src.update_voltages(&fresh);
  lin.bus.initialize_potentials(&start);
  EXPECT_EQ(lin.bus.ports[0].connection->get_potential(), start);
  lin.load.update_port_currents(false);
  // A later solver binds them again and starts from the written values.
  Newton again(&lin.net, false);
  EXPECT_EQ(again.variables[0], 5);
  again.solve_load_flow(5, 1e-12);
  EXPECT_NEAR(std::abs(lin.bus.ports[0].connection->get_potential() - fresh), 0, 1e-12);
  // An older solver's destruction leaves the newest binding alone.
  {
    BackwardForward older(&lin.net);
    Newton newest(&lin.net, false);
    const complex_d later(7, 0);
    lin.bus.initialize_potentials(&later);
    EXPECT_EQ(newest.variables[0], 7);
  }
}

TEST(Lifetime, DestroyedSolverUnbindsANodeThatAJoinMadeAReference) {
  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  PotentialRef extra;
  auto solver = std::make_unique<Newton>(&lin.net, false);
  Connection& node = *lin.bus.ports[0].connection;
  ASSERT_TRUE(node.potential.bound);
  node.merge(&extra.ports[0]);
  ASSERT_TRUE(node.is_reference);
  solver.reset();
  EXPECT_FALSE(node.potential.bound);
  // The write reaches the stored value alone.
  const complex_d later(7, 0);
  lin.bus.initialize_potentials(&later);
  EXPECT_EQ(node.potential.value, later);
  EXPECT_EQ(node.get_potential(), complex_d(0, 0));
}

TEST(Lifetime, SolverOfAnotherNetworkOverTheSameElementsKeepsItsBinding) {
  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  ElectricalNetwork other({&lin.src, &lin.bus, &lin.load, &lin.ref});
  auto first = std::make_unique<Newton>(&lin.net, false);
  Newton second(&other, false);
  second.solve_load_flow(5, 1e-12);
  first.reset();
  // The elements still read and write the second solver's arrays.
  EXPECT_NEAR(std::abs(lin.va() - complex_d(2, 1)), 0, 1e-12);
  const complex_d later(7, 0);
  lin.bus.initialize_potentials(&later);
  EXPECT_EQ(second.variables[0], 7);
}

TEST(Lifetime, ElementsOutliveNetworkAndSolver) {
  const complex_d u(2, 1), start(1, 3);
  VoltageSource src(2, &u);
  Bus bus(1, &start);
  local::Admittance load({0.5, 0.25});
  PotentialRef ref;
  join(bus, 0, src, 0);
  join(bus, 0, load, 0);
  join(src, 1, load, 1);
  join(src, 1, ref, 0);
  {
    auto net = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&src, &bus, &load, &ref});
    Newton solver(net.get(), false);
    solver.solve_load_flow(5, 1e-12);
  }
  // Nothing the solver or the network owned is reached any more.
  EXPECT_EQ(bus.ports[0].connection->get_potential(), start);
  src.update_voltages(&start);
  EXPECT_EQ(src.voltages[0].get_value(), start);
  EXPECT_FALSE(src.voltages[0].bound);
}

TEST(Lifetime, FailedRecordingFreesTheTape) {
  local::Faulty faulty;
  const complex_d v(3, 0);
  Bus bus(1, &v);
  join(bus, 0, faulty, 0);
  ElectricalNetwork broken({&bus, &faulty});
  EXPECT_EQ(error_of([&] { Newton solver(&broken, false); }), "faulty element");
  EXPECT_EQ(bus.ports[0].connection->get_potential(), v);
  LinearCase lin({2, 1}, {0.5, 0.25}, {1, 3});
  Newton solver(&lin.net, false);
  EXPECT_EQ(solver.solve_load_flow(5, 1e-12).first, 1);
  EXPECT_NEAR(std::abs(lin.bus.ports[0].connection->get_potential() - complex_d(2, 1)), 0, 1e-12);
}

// Blocks freed by the tape's evaluations stay pooled for reuse while a Newton
// solver lives, and go back to the system with the last one.
// The blocks the pattern work leaves idle are what the second Jacobian takes
// its storage from: they are kept through the first factorisation and handed
// back to the system right after that Jacobian, or at the end of a solve that
// needed none.
TEST(Lifetime, IdleBlocksOutliveTheFirstFactorisationOnly) {
  using CppAD::thread_alloc;
  const size_t thread = thread_alloc::thread_num();
  RadialCase radial;
  {
    Newton solver(&radial.net, false);
    ASSERT_TRUE(solver.factorize_jacobian(solver.evaluate_jacobian()));
    EXPECT_GT(thread_alloc::available(thread), 0u);
    solver.evaluate_jacobian();
    EXPECT_EQ(thread_alloc::available(thread), 0u);
  }
  RadialCase other;
  Newton once(&other.net, false);
  EXPECT_EQ(once.solve_load_flow(1, 1e-9).first, 1);
  EXPECT_EQ(thread_alloc::available(thread), 0u);
}

TEST(Lifetime, TaylorMemoryIsPooledWhileASolverLives) {
  using CppAD::thread_alloc;
  const size_t thread = thread_alloc::thread_num();
  ASSERT_EQ(thread_alloc::available(thread), 0u);
  {
    RadialCase first;
    Newton a(&first.net, false);
    {
      RadialCase second;
      NewtonGoldstein b(&second.net, false, 1e-4, 0.9, true);
      EXPECT_EQ(b.solve_load_flow(20, 1e-9).first > 0, true);
    }
    EXPECT_GT(thread_alloc::available(thread), 0u);  // the first solver still lives
    EXPECT_LT(a.solve_load_flow(20, 1e-9).second, 1e-9);
    first.expect_solved(1e-6);
  }
  EXPECT_EQ(thread_alloc::available(thread), 0u);
}
