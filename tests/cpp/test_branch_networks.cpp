#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "branch_rig.hpp"
#include "local_elements.hpp"
#include "model/bus.hpp"
#include "model/line.hpp"
#include "model/load.hpp"
#include "model/network.hpp"
#include "model/regulator.hpp"
#include "model/switch.hpp"
#include "model/voltage_source.hpp"
#include "solvers/newton.hpp"
#include "solvers/solver.hpp"

// Small networks through lines, a switch and the regulator, solved by Newton
// and by backward-forward sweeps: both must land on the same potentials, and
// those must satisfy the branch equations written out here, with the load
// currents taken from the loads' law conj(S / U).

namespace {
using cd = complex_d;
using Eigen::MatrixXcd;
using Eigen::VectorXcd;
using local::join;
constexpr double kPi = 3.14159265358979323846;

cd v(const Element& e, int port) { return e.ports[port].connection->get_potential(); }
cd v(const Port* port) { return port->connection->get_potential(); }
cd load_current(cd s, cd u) { return std::conj(s / u); }
// Joins port p of a branch side to port p of a bus; the bus's node survives.
void attach(Bus& bus, const std::vector<Port*>& side) {
  for (size_t p = 0; p < side.size(); ++p) bus.ports[p].connection->merge(side[p]);
}
// Four-wire feeder ends: the source on bus `head`, whose neutral is the
// reference, and the load on bus `tail`.
void feed(VoltageSource& src, Bus& head, PotentialRef& ref, Bus& tail, PowerLoad& load) {
  for (int p = 0; p < 4; ++p) {
    join(head, p, src, p);
    join(tail, p, load, p);
  }
  join(head, 3, ref, 0);
}
VectorXcd solve(const MatrixXcd& z, const VectorXcd& b) { return z.colPivHouseholderQr().solve(b); }

// Every case builds its network in place, checks its own equations and
// lists the potentials that the two methods must agree on.
template <class Case>
void solve_both_ways(const std::function<std::unique_ptr<Case>()>& make, double tol) {
  std::vector<cd> newton;
  for (int method = 0; method < 2; ++method) {
    SCOPED_TRACE(method == 0 ? "Newton" : "backward-forward");
    const std::unique_ptr<Case> c = make();
    std::unique_ptr<AbstractSolver> solver;
    if (method == 0)
      solver = std::make_unique<Newton>(&c->net, false);
    else
      solver = std::make_unique<BackwardForward>(&c->net);
    const auto [iterations, error] = solver->solve_load_flow(100, 1e-10);
    EXPECT_LT(iterations, 100);
    EXPECT_LE(error, 1e-10);
    c->expect_solved(tol);
    if (method == 0)
      newton = c->potentials();
    else
      expect_all_close(c->potentials(), newton, 1e-10);
  }
}

MatrixXcd coupled(int n, cd diagonal, cd mutual) {
  MatrixXcd m = MatrixXcd::Constant(n, n, mutual);
  m.diagonal().setConstant(diagonal);
  return m;
}

// Three phases and a neutral; the source neutral is the reference, and the
// shunt line's ground port sits on it as well.
struct ShuntFeeder {
  const cd u[3] = {std::polar(230.0, 0.0), std::polar(230.0, -2 * kPi / 3), std::polar(230.0, 2 * kPi / 3)};
  const cd start[4] = {u[0], u[1], u[2], 0.0};
  const cd s[3] = {{4000, 1200}, {2500, 300}, {6000, 2000}};
  MatrixXcd z = coupled(4, {0.25, 0.45}, {0.05, 0.2}), y = shunt();
  std::vector<cd> z_rows = to_rows(z), y_rows = to_rows(y);
  VoltageSource src{4, u};
  Bus a{4, start}, b{4, start};
  ShuntLine line{4, y_rows.data(), z_rows.data()};
  PowerLoad load{4, s};
  PotentialRef ref;
  ElectricalNetwork net{wire()};

  // Unequal row sums, so that the balanced potentials leave a ground current.
  static MatrixXcd shunt() {
    MatrixXcd m = coupled(4, 0.0, {0, -1.5e-4});
    m.diagonal() << cd(0, 6e-4), cd(0, 9e-4), cd(0, 5e-4), cd(0, 4e-4);
    return m;
  }
  std::vector<Element*> wire() {
    attach(a, line.side1);
    attach(b, line.side2);
    feed(src, a, ref, b, load);
    a.ports[3].connection->merge(line.ground_port);
    return {&src, &a, &line, &b, &load, &ref};
  }
  std::vector<cd> potentials() const {
    std::vector<cd> out;
    for (int p = 0; p < 4; ++p) out.push_back(v(b, p));
    return out;
  }
  void expect_solved(double tol) const {
    const MatrixXcd zm = from_rows(4, z_rows);
    VectorXcd v1(4), v2(4);
    for (int p = 0; p < 4; ++p) {
      v1(p) = v(a, p);
      v2(p) = v(b, p);
    }
    // Half the shunt at each end, to the ground port at potential 0.
    const VectorXcd i1 = solve(zm, v1 - v2) + 0.5 * y * v1;
    const VectorXcd i2 = solve(zm, v2 - v1) + 0.5 * y * v2;
    EXPECT_EQ(v1(3), 0.0);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(std::abs(v1(k) - u[k]), 0.0, tol);
      EXPECT_NEAR(std::abs((v2(k) - v2(3)) * std::conj(-i2(k)) - s[k]), 0.0, tol * 1e3);
      expect_close(line.side1[k]->current, i1(k), 1e-9);
    }
    EXPECT_NEAR(std::abs(i2.sum()), 0.0, tol);  // the load's neutral returns its phases
    // The shunt current drawn at both ends leaves through the ground port.
    expect_close(line.ground_port->current, -(i1.sum() + i2.sum()), 1e-6);
    EXPECT_GT(std::abs(line.ground_port->current), 1e-3);
  }
};

// One phase through a one-conductor shunt line, the neutral back through a
// one-conductor series line whose source end is the reference.
struct SinglePhaseFeeder {
  const cd u = 230.0, start[2] = {230.0, 0.0}, s = {3000, 800};
  const cd y = {0, 4e-3}, z = {0.3, 0.5}, zn = {0.3, 0.2};
  VoltageSource src{2, &u};
  ShuntLine phase{1, &y, &z};
  SimplifiedLine neutral{1, &zn};
  Bus end{2, start};
  PowerLoad load{2, &s};
  PotentialRef ref;
  ElectricalNetwork net{wire()};

  std::vector<Element*> wire() {
    src.ports[0].connection->merge(phase.side1[0]);
    join(src, 1, ref, 0);
    src.ports[1].connection->merge(neutral.side1[0]);
    src.ports[1].connection->merge(phase.ground_port);
    end.ports[0].connection->merge(phase.side2[0]);
    end.ports[1].connection->merge(neutral.side2[0]);
    join(end, 0, load, 0);
    join(end, 1, load, 1);
    return {&src, &phase, &neutral, &end, &load, &ref};
  }
  std::vector<cd> potentials() const { return {v(end, 0), v(end, 1)}; }
  void expect_solved(double tol) const {
    const cd v1 = v(src, 0), v2 = v(end, 0), vn = v(end, 1);
    const cd into_load = -((v2 - v1) / z + 0.5 * y * v2);
    EXPECT_NEAR(std::abs(v1 - u), 0.0, tol);
    EXPECT_NEAR(std::abs((v2 - vn) * std::conj(into_load) - s), 0.0, tol * 1e3);
    EXPECT_NEAR(std::abs(vn / zn - into_load), 0.0, tol * 10);  // the neutral carries it back
  }
};

// A closed switch between the source bus and a series line.
struct SwitchedFeeder {
  const cd u[3] = {std::polar(230.0, 0.1), std::polar(230.0, 0.1 - 2 * kPi / 3), std::polar(230.0, 0.1 + 2 * kPi / 3)};
  const cd start[4] = {u[0], u[1], u[2], 0.0};
  const cd s[3] = {{1500, 500}, {3500, 900}, {800, -200}};
  MatrixXcd z = coupled(4, {0.3, 0.6}, {0.04, 0.25});
  std::vector<cd> z_rows = to_rows(z);
  VoltageSource src{4, u};
  Bus a{4, start}, b{4, start}, c{4, start};
  Switch sw{4};
  SimplifiedLine line{4, z_rows.data()};
  PowerLoad load{4, s};
  PotentialRef ref;
  ElectricalNetwork net{wire()};

  std::vector<Element*> wire() {
    attach(a, sw.side1);
    attach(b, sw.side2);
    attach(b, line.side1);
    attach(c, line.side2);
    feed(src, a, ref, c, load);
    return {&src, &a, &sw, &b, &line, &c, &load, &ref};
  }
  std::vector<cd> potentials() const {
    std::vector<cd> out;
    for (int p = 0; p < 4; ++p) out.push_back(v(c, p));
    return out;
  }
  void expect_solved(double tol) const {
    VectorXcd vb(4), vc(4);
    for (int p = 0; p < 4; ++p) {
      EXPECT_NEAR(std::abs(v(a, p) - v(b, p)), 0.0, tol);
      vb(p) = v(b, p);
      vc(p) = v(c, p);
    }
    const VectorXcd i = solve(z, vb - vc);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(std::abs((vc(k) - vc(3)) * std::conj(i(k)) - s[k]), 0.0, tol * 1e3);
    for (int p = 0; p < 4; ++p) {
      expect_close(sw.side1[p]->current, i(p), 1e-9);
      EXPECT_EQ(sw.side2[p]->current, -sw.side1[p]->current);
    }
  }
};

// 230 V regulated output behind a single-phase regulator, the neutral at
// the reference.
struct RegulatedFeeder {
  const cd u, s;
  const double phi;
  const cd z2 = {0.05, 0.15}, ym = {1e-5, -5e-5}, start[2] = {230.0, 0.0}, in_start[1] = {u};
  const double u_ref = 230, u_range = 0.1, alpha = 1000;
  VoltageSource src{2, &u};
  Bus in{1, in_start};  // seeds the input, and with it the initial tap
  SingleVoltageRegulator reg{z2, ym, u_ref, u_range, alpha, phi};
  Bus out{2, start};
  PowerLoad load{2, &s};
  PotentialRef ref;
  ElectricalNetwork net{wire()};

  RegulatedFeeder(double u_in, cd power, double angle) : u(u_in), s(power), phi(angle) {}
  std::vector<Element*> wire() {
    join(in, 0, src, 0);
    join(src, 0, reg, 0);
    join(src, 1, reg, 1);  // the output neutral came along at construction
    join(src, 1, ref, 0);
    out.ports[0].connection->merge(reg.side2[0]);
    join(src, 1, out, 1);
    join(out, 0, load, 0);
    join(out, 1, load, 1);
    return {&src, &in, &reg, &out, &load, &ref};
  }
  std::vector<cd> potentials() const { return {v(reg.side2[0]), cd(reg.tap.get_value(), 0.0)}; }
  void expect_solved(double tol) const {
    const double t = reg.tap.get_value(), ts = smooth_clip(t, u_range, alpha);
    const cd dv1 = v(reg.side1[0]) - v(reg.side1[1]), dv2 = v(reg.side2[0]) - v(reg.side2[1]);
    const cd i2 = -load_current(s, dv2), kt = std::polar(ts, phi);
    EXPECT_NEAR(std::abs(dv1 - u), 0.0, tol);
    EXPECT_NEAR(std::abs(dv2 - (kt * dv1 + z2 * i2)), 0.0, tol * 10);
    EXPECT_NEAR(t * std::abs(dv2) / u_ref, ts, tol);
    EXPECT_NEAR(std::abs(-src.ports[0].current - (ym * dv1 - std::conj(kt) * i2)), 0.0, tol * 10);
  }
};
}  // namespace

TEST(BranchNetworks, ThreePhaseShuntLine) {
  solve_both_ways<ShuntFeeder>([] { return std::make_unique<ShuntFeeder>(); }, 1e-8);
}

TEST(BranchNetworks, OneConductorLines) {
  solve_both_ways<SinglePhaseFeeder>([] { return std::make_unique<SinglePhaseFeeder>(); }, 1e-8);
}

TEST(BranchNetworks, ClosedSwitch) {
  solve_both_ways<SwitchedFeeder>([] { return std::make_unique<SwitchedFeeder>(); }, 1e-8);
}

// Inside its range the regulator holds 230 V; past it the tap stays pinned
// at 1 + u_range and the output follows the input.
TEST(BranchNetworks, Regulator) {
  struct Case {
    double u_in, phi;
    bool pinned;
  };
  for (const Case c : {Case{218.0, 0.0, false}, Case{221.0, 0.04, false}, Case{196.0, 0.0, true}}) {
    SCOPED_TRACE(c.u_in);
    solve_both_ways<RegulatedFeeder>(
        [&] { return std::make_unique<RegulatedFeeder>(c.u_in, cd(4000, 1500), c.phi); }, 1e-8);
    RegulatedFeeder f(c.u_in, cd(4000, 1500), c.phi);
    Newton newton(&f.net, false);
    newton.solve_load_flow(50, 1e-10);
    const double out = std::abs(v(f.reg.side2[0]) - v(f.reg.side2[1]));
    if (c.pinned) {
      EXPECT_NEAR(f.reg.get_tap(), 1.1, 1e-9);
      EXPECT_LT(out, 230.0 - 1.0);
    } else {
      EXPECT_NEAR(out, 230.0, 1e-8);
    }
  }
}
