#include <gtest/gtest.h>

#include <memory>

#include "local_elements.hpp"
#include "model/bus.hpp"
#include "model/voltage_source.hpp"

namespace {
using local::join;

std::unique_ptr<Element> make_source(bool delta, int n, const complex_d* u) {
  if (delta) return std::make_unique<DeltaVoltageSource>(n, u);
  return std::make_unique<VoltageSource>(n, u);
}

// Binds the nodes of `e` to constants holding x (two doubles each).
void bind_nodes(Element& e, Eigen::VectorXd& x, TapeArray& X) {
  int c = 0;
  for (Port& p : e.ports) p.connection->potential.bind(X, x, c);
}
}  // namespace

TEST(VoltageSource, LayoutAndCurrents) {
  const complex_d u[] = {{230, 0}, {-115, -199}, {-115, 199}};
  VoltageSource src(4, u);
  std::vector<double> x0, p0;
  src.append_variable_values(x0);
  src.append_parameter_values(p0);
  EXPECT_EQ(x0, std::vector<double>(6, 0.0));
  EXPECT_EQ(p0, (std::vector<double>{230, 0, -115, -199, -115, 199}));
  src.currents[0].set_value({1, 2});
  src.currents[1].set_value({3, 4});
  src.currents[2].set_value({5, -7});
  src.update_port_currents(false);
  EXPECT_EQ(src.ports[0].current, complex_d(1, 2));
  EXPECT_EQ(src.ports[2].current, complex_d(5, -7));
  EXPECT_EQ(src.ports[3].current, complex_d(-9, 1));
}

TEST(VoltageSource, PortCountsZeroAndOne) {
  const complex_d u[] = {{1, 0}};
  for (int n : {0, -1}) {
    try {
      VoltageSource bad(n, u);
      FAIL();
    } catch (const std::length_error& e) {
      EXPECT_STREQ(e.what(), "vector too long");
    }
    EXPECT_THROW(DeltaVoltageSource(n, u), std::length_error);
  }
  VoltageSource one(1, u);
  std::vector<double> x0, p0;
  one.append_variable_values(x0);
  one.append_parameter_values(p0);
  EXPECT_TRUE(x0.empty() && p0.empty());
  one.ports[0].current = {3, 3};
  one.update_port_currents(false);
  EXPECT_EQ(one.ports[0].current, complex_d(0, 0));
  TapeArray y;
  int index = 0;
  one.append_equations(y, index);
  EXPECT_EQ(index, 0);
}

TEST(VoltageSource, EquationsOfBothForms) {
  // Potentials 10, 4 + 1j, 1 - 2j; voltages (1, 2j).
  const complex_d u[] = {{1, 0}, {0, 2}, {99, 99}};
  Eigen::VectorXd x(6);
  x << 10, 0, 4, 1, 1, -2;
  TapeArray X(x.data(), x.data() + 6);
  struct Case {
    bool delta;
    std::vector<double> rows;
  };
  // star: (V0 - V2) - U0, (V1 - V2) - U1; delta: (V0 - V1) - U0, (V1 - V2) - U1
  for (const Case& c : {Case{false, {8, 2, 3, 1}}, Case{true, {5, -1, 3, 1}}}) {
    const std::unique_ptr<Element> src = make_source(c.delta, 3, u);
    bind_nodes(*src, x, X);
    std::vector<double> p0;
    src->append_parameter_values(p0);
    EXPECT_EQ(p0.size(), 4u);  // the third voltage is never read
    Eigen::VectorXd p = Eigen::Map<Eigen::VectorXd>(p0.data(), 4);
    TapeArray P(p0.begin(), p0.end());
    int ip = 0;
    src->bind_parameters(P, p, ip);
    TapeArray y(4, ad_double(0.0));
    int index = 0;
    src->append_equations(y, index);
    ASSERT_EQ(index, 4);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(CppAD::Value(y[k]), c.rows[k]) << "delta " << c.delta << " row " << k;
  }
}

TEST(VoltageSource, ForwardStepFromReferenceNeutral) {
  const complex_d u[] = {{230, 0}, {-115, -199.2}, {-115, 199.2}};
  VoltageSource src(4, u);
  PotentialRef ref;
  join(ref, 0, src, 3);
  EXPECT_EQ(src.forward_step(), 0.0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(src.ports[i].connection->get_potential(), u[i]);
}

TEST(DeltaVoltageSource, ForwardStepChainsFromPortZero) {
  const complex_d u[] = {{2, 1}, {-3, 4}};
  DeltaVoltageSource src(3, u);
  src.ports[0].connection->potential.set_value({10, 0});
  EXPECT_EQ(src.forward_step(), 0.0);
  EXPECT_EQ(src.ports[1].connection->get_potential(), complex_d(8, -1));
  EXPECT_EQ(src.ports[2].connection->get_potential(), complex_d(11, -5));
}

TEST(VoltageSource, BackwardStepsBalanceTheNodes) {
  // A load current J at one node of a three-port source: the star form
  // balances ports 0 .. n-2 and closes on the last, the delta form balances
  // ports 1 .. n-1 and closes on port 0.
  const complex_d u[] = {{1, 0}, {1, 0}};
  const complex_d j(2, -3);
  struct Case {
    bool delta;
    int loaded_port;
    complex_d expected[3];
  };
  for (const Case& c : {Case{false, 0, {-j, 0.0, j}}, Case{true, 2, {j, 0.0, -j}}}) {
    const std::unique_ptr<Element> src = make_source(c.delta, 3, u);
    local::Admittance load(1.0);
    join(*src, c.loaded_port, load, 0);
    load.ports[0].current = j;
    src->backward_step();
    for (int k = 0; k < 3; ++k) EXPECT_EQ(src->ports[k].current, c.expected[k]) << c.delta << " port " << k;
  }
}

TEST(VoltageSource, UpdateWritesThroughToBoundSlots) {
  const complex_d u[] = {{1, 2}, {3, 4}};
  VoltageSource src(3, u);
  Eigen::VectorXd p = Eigen::VectorXd::Zero(4);
  TapeArray P(4);
  int ip = 0;
  src.bind_parameters(P, p, ip);
  const complex_d fresh[] = {{5, 6}, {7, 8}};
  src.update_voltages(fresh);
  EXPECT_EQ(p, (Eigen::VectorXd(4) << 5, 6, 7, 8).finished());
  EXPECT_EQ(src.voltage_count(), 2);
}

TEST(VoltageSource, OneValueUpdateServesSourcesOfAtMostOneVoltage) {
  const complex_d u[] = {{1, 2}, {3, 4}};
  VoltageSource two_ports(2, u);
  two_ports.update_voltage({9, -1});
  EXPECT_EQ(two_ports.voltages[0].get_value(), complex_d(9, -1));
  VoltageSource one_port(1, u);
  one_port.update_voltage({9, -1});
  EXPECT_TRUE(one_port.voltages.empty());
  VoltageSource three_ports(3, u);
  EXPECT_THROW(three_ports.update_voltage({9, -1}), std::invalid_argument);
  EXPECT_EQ(three_ports.voltages[1].get_value(), complex_d(3, 4));
}
