#include <gtest/gtest.h>

#include "local_elements.hpp"
#include "model/bus.hpp"
#include "model/flexible_load.hpp"
#include "model/load.hpp"
#include "model/network.hpp"
#include "model/voltage_source.hpp"
#include "solvers/newton.hpp"

namespace {
using local::join;

const complex_d kZeros[4] = {};
}  // namespace

TEST(Network, NodesInFirstSeenOrder) {
  Bus a(2, kZeros), b(2, kZeros);
  join(a, 1, b, 0);
  const ElectricalNetwork ab({&a, &b});
  ASSERT_EQ(ab.connections.size(), 3u);
  EXPECT_EQ(ab.connections[0], a.ports[0].connection);
  EXPECT_EQ(ab.connections[1], b.ports[0].connection);
  EXPECT_EQ(ab.connections[2], b.ports[1].connection);
  const ElectricalNetwork ba({&b, &a});
  ASSERT_EQ(ba.connections.size(), 3u);
  EXPECT_EQ(ba.connections[0], a.ports[1].connection);
  EXPECT_EQ(ba.connections[1], b.ports[1].connection);
  EXPECT_EQ(ba.connections[2], a.ports[0].connection);
}

TEST(Network, NegativeElementCountIsALengthError) {
  try {
    ElectricalNetwork::reserve_elements(-1);
    FAIL();
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "vector too long");
  }
  EXPECT_GE(ElectricalNetwork::reserve_elements(3).capacity(), 3u);
}

TEST(Network, ReferenceNodesGetNoEntries) {
  // A bus of three ports, a reference at port 0 and a delta reference on
  // all three: 2 + 2 node entries, then the delta reference's current.
  const complex_d v[] = {{1, 2}, {3, 4}, {5, 6}};
  Bus bus(3, v);
  PotentialRef ref;
  DeltaPotentialRef delta(3);
  join(bus, 0, ref, 0);
  for (int i = 0; i < 3; ++i) join(bus, i, delta, i);
  delta.current.set_value({7, 8});
  ElectricalNetwork net({&bus, &ref, &delta});
  EXPECT_EQ(net.connections.size(), 3u);
  const auto [x0, p0] = net.initial_values();
  EXPECT_EQ(x0, (std::vector<double>{3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(p0.empty());
  Newton solver(&net, false);
  EXPECT_EQ(solver.compute_residuals().size(), 6);
  EXPECT_FALSE(bus.ports[0].connection->potential.bound);
  EXPECT_EQ(bus.ports[1].connection->potential.value_ptr, solver.variables.data());
  EXPECT_EQ(delta.current.value_ptr, solver.variables.data() + 4);
}

TEST(Network, LayoutOfEveryElementKind) {
  // Node block first (two entries per ordinary node, reference excluded),
  // then each element's own variables; parameters in element order, then
  // the three limits of each flexible parameter.
  const complex_d u[] = {{10, 1}, {20, 2}, {30, 3}};
  const complex_d v[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}};
  const complex_d s[] = {{100, 10}, {200, 20}, {300, 30}};
  const complex_d s_flex[] = {{7, 1}};
  Bus bus(4, v);
  Ground ground;
  PotentialRef ref;
  DeltaPotentialRef delta(3);
  VoltageSource star(4, u);
  DeltaVoltageSource tri(3, u);
  PowerLoad load(4, s);
  FlexibleParameter limits(Control("constant", 0, 0, 0, 0, 0, 0), Control("constant", 0, 0, 0, 0, 0, 0),
                           Projection("euclidean", 100, 1e-4), 50, -5, 5);
  FlexibleLoad flexible(2, s_flex, {&limits});
  join(bus, 3, ground, 0);
  join(bus, 3, ref, 0);  // node 3 becomes a reference
  for (int i = 0; i < 4; ++i) join(bus, i, star, i);
  for (int i = 0; i < 3; ++i) join(bus, i, delta, i);
  for (int i = 0; i < 3; ++i) join(bus, i, tri, i);
  for (int i = 0; i < 4; ++i) join(bus, i, load, i);
  join(bus, 0, flexible, 0);
  join(bus, 3, flexible, 1);
  ElectricalNetwork net({&bus, &ground, &ref, &delta, &star, &tri, &load, &flexible});
  EXPECT_EQ(net.connections.size(), 4u);
  const auto [x0, p0] = net.initial_values();
  // 3 ordinary nodes, delta reference 2, star source 6, delta source 4
  EXPECT_EQ(x0, (std::vector<double>{1, 1, 2, 2, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(p0, (std::vector<double>{10, 1, 20, 2, 30, 3, 10, 1, 20, 2, 100, 10, 200, 20, 300, 30, 7, 1, 50, -5, 5}));
  Newton solver(&net, false);
  ASSERT_EQ(solver.variables.size(), 18);
  ASSERT_EQ(solver.parameters.size(), 21);
  EXPECT_EQ(solver.compute_residuals().size(), 18);
  EXPECT_EQ(delta.current.value_ptr, solver.variables.data() + 6);
  EXPECT_EQ(star.currents[0].value_ptr, solver.variables.data() + 8);
  EXPECT_EQ(tri.currents[0].value_ptr, solver.variables.data() + 14);
  EXPECT_EQ(tri.voltages[0].value_ptr, solver.parameters.data() + 6);
  EXPECT_EQ(load.powers[0].value_ptr, solver.parameters.data() + 10);
  EXPECT_EQ(flexible.powers[0].value_ptr, solver.parameters.data() + 16);
  EXPECT_EQ(limits.s_max.value_ptr, solver.parameters.data() + 18);
  EXPECT_EQ(limits.q_max.value_ptr, solver.parameters.data() + 20);
}

TEST(Network, SharedFlexibleParametersAreLaidOutOnce) {
  // One parameter serves both phases of a load and a phase of a delta load;
  // the other serves one phase of the delta load.
  const Control law("constant", 0, 0, 0, 0, 0, 0);
  const Projection projection("euclidean", 100, 1e-4);
  FlexibleParameter shared(law, law, projection, 10, -1, 1), own(law, law, projection, 20, -2, 2);
  const complex_d s[] = {{1, 0}, {1, 0}, {1, 0}};
  FlexibleLoad star(3, s, {&shared, &shared});
  DeltaFlexibleLoad tri(3, s, {&shared, &own, &shared});
  ElectricalNetwork net({&star, &tri});
  EXPECT_EQ(net.flexible_parameters, (std::set<FlexibleParameter*>{&shared, &own}));
  const auto [x0, p0] = net.initial_values();
  ASSERT_EQ(p0.size(), 4u + 6u + 6u);  // star powers, delta powers, two parameters
  const std::vector<double> limits(p0.begin() + 10, p0.end());
  const bool shared_first = &shared < &own;  // laid out in address order
  EXPECT_EQ(limits, shared_first ? (std::vector<double>{10, -1, 1, 20, -2, 2})
                                 : (std::vector<double>{20, -2, 2, 10, -1, 1}));
  Newton solver(&net, false);
  EXPECT_EQ(shared.s_max.value_ptr, solver.parameters.data() + (shared_first ? 10 : 13));
  shared.update_parameters(11, -1, 1);
  EXPECT_EQ(solver.parameters[shared_first ? 10 : 13], 11);
}

TEST(Network, ResidualsVanishAtTheHandSolution) {
  // Source U between node a and the reference, load S at node a: V_a = U,
  // the source current is the negated load current conj(S / U).
  const complex_d u(230, 10), s(1000, 300);
  local::SingleLoadCase<local::PowerLoad> tiny(u, s, {200, 0});
  Newton solver(&tiny.net, false);
  ASSERT_EQ(solver.variables.size(), 4);
  const complex_d i_load = std::conj(s / u);
  solver.variables << u.real(), u.imag(), -i_load.real(), -i_load.imag();
  EXPECT_LT(solver.compute_residuals().cwiseAbs().maxCoeff(), 1e-12);
  // Off the solution: shifting V_a by 1 leaves the source row at 1.
  solver.variables[0] += 1.0;
  const Eigen::VectorXd r = solver.compute_residuals();
  EXPECT_NEAR(r[2], 1.0, 1e-12);
  EXPECT_NEAR(r[3], 0.0, 1e-12);
  // Kirchhoff row: I_src + conj(S / V_a).
  const complex_d kcl = -i_load + std::conj(s / complex_d(u.real() + 1, u.imag()));
  EXPECT_NEAR(r[0], kcl.real(), 1e-12);
  EXPECT_NEAR(r[1], kcl.imag(), 1e-12);
}

TEST(Network, NodeWithoutPortsGetsConstantRows) {
  Bus bus(1, kZeros);
  local::Quadratic q({0.5, 0}, -1.0);
  ElectricalNetwork net({&bus, &q});
  bus.disconnect();
  Newton solver(&net, false);
  const Eigen::VectorXd r = solver.compute_residuals();
  ASSERT_EQ(r.size(), 4);
  EXPECT_EQ(r[0], 0.0);
  EXPECT_EQ(r[1], 0.0);
  EXPECT_EQ(solver.compute_jacobian().col(0).nonZeros(), 0);
}

TEST(Network, ElementsOfIndices) {
  // Node a holds the source and a load at zero potential (NaN current);
  // node b holds a bus alone.
  const complex_d u(1, 0);
  Bus bus(2, kZeros);
  VoltageSource src(2, &u);
  local::PowerLoad load({1, 0});
  PotentialRef ref;
  join(bus, 0, src, 0);
  join(bus, 0, load, 0);
  join(src, 1, ref, 0);
  join(src, 1, load, 1);
  ElectricalNetwork net({&bus, &src, &load, &ref});
  Newton solver(&net, false);  // records the load's NaN current
  // x: node a (0, 1), node b (2, 3), source current (4, 5)
  using V = std::vector<int>;
  EXPECT_EQ(net.elements_of_indices({}), V{});
  EXPECT_EQ(net.elements_of_indices({0}), V{2});      // the NaN port's owner
  EXPECT_EQ(net.elements_of_indices({2, 3}), V{0});   // the first listed port's owner
  EXPECT_EQ(net.elements_of_indices({4, 5}), V{1});   // the source's own variable
  EXPECT_EQ(net.elements_of_indices({1, 3, 5, 6}), (V{0, 1, 2}));
}

TEST(Network, SecondSolverStartsFromStoredPotentials) {
  local::SingleLoadCase<local::Admittance> lin({5, 0}, 0.5, {1, 0});
  Newton first(&lin.net, false);
  first.solve_load_flow(10, 1e-10);
  EXPECT_EQ(lin.va(), complex_d(5, 0));
  Newton second(&lin.net, false);
  EXPECT_EQ(second.variables[0], 1.0);
  EXPECT_EQ(lin.va(), complex_d(1, 0));
}
