#include <gtest/gtest.h>

#include "branch_rig.hpp"
#include "model/switch.hpp"

namespace {
void set_potential(Port& port, complex_d v) { port.connection->potential.set_value(v); }
}  // namespace

TEST(Branch, RefusesCountsBeyondTheSides) {
  OpenSwitch b(2);
  Eigen::VectorXcd three = Eigen::VectorXcd::Ones(3), two = Eigen::VectorXcd::Ones(2);
  b.ports[0].current = {7, 7};
  EXPECT_THROW(b.set_side_currents(three, two), std::out_of_range);
  EXPECT_THROW(b.set_side_currents(two, three), std::out_of_range);
  EXPECT_EQ(b.ports[0].current, complex_d(7, 7));  // refused before writing
  VectorXad ad3(3);
  EXPECT_THROW(b.set_side_currents_ad(ad3, VectorXad(2)), std::out_of_range);
  complex_d out1[3], out2[3];
  EXPECT_THROW(b.get_side_potentials(3, 2, out1, out2), std::out_of_range);
  EXPECT_THROW(b.get_side_potentials(2, 3, out1, out2), std::out_of_range);
  EXPECT_THROW(b.get_side_potentials(-1, 0, out1, out2), std::out_of_range);
  EXPECT_NO_THROW(b.get_side_potentials(2, 1, out1, out2));
}

TEST(Switch, LayoutCurrentsAndEquations) {
  Switch sw(3);
  const complex_d v1[] = {{230, 5}, {-115, -199}, {-115, 199}};
  const complex_d v2[] = {{229, 4}, {-110, -190}, {-120, 201}};
  const complex_d i[] = {{10, -3}, {-4, 2.5}, {0.25, 8}};
  Rig rig({&sw});
  ASSERT_EQ(rig.x0.size(), 12u + 6u);
  for (size_t k = 12; k < 18; ++k) EXPECT_EQ(rig.x0[k], 0.0);  // currents start at 0
  EXPECT_TRUE(rig.p0.empty());
  for (int c = 0; c < 3; ++c) {
    set_potential(sw.ports[c], v1[c]);
    set_potential(sw.ports[3 + c], v2[c]);
    rig.x[12 + 2 * c] = i[c].real();
    rig.x[13 + 2 * c] = i[c].imag();
  }
  sw.update_port_currents(false);
  const Rig::Taped taped = rig.evaluate();
  ASSERT_EQ(taped.rows.size(), 6u);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(sw.ports[c].current, i[c]);
    EXPECT_EQ(sw.ports[3 + c].current, -i[c]);
    EXPECT_EQ(taped.currents[c], i[c]);
    EXPECT_EQ(taped.currents[3 + c], -i[c]);
    EXPECT_DOUBLE_EQ(taped.rows[2 * c], v1[c].real() - v2[c].real());
    EXPECT_DOUBLE_EQ(taped.rows[2 * c + 1], v1[c].imag() - v2[c].imag());
  }
}

TEST(Switch, ReferenceSideOneForcesSideTwoToZero) {
  Switch sw(1);
  sw.ports[0].connection->is_reference = true;
  set_potential(sw.ports[0], {50, 50});  // never read at a reference node
  Rig rig({&sw});
  ASSERT_EQ(rig.x0.size(), 4u);  // the side-2 node and the current
  set_potential(sw.ports[1], {3, -2});
  const Rig::Taped taped = rig.evaluate();
  EXPECT_EQ(taped.rows, (std::vector<double>{-3, 2}));
}

TEST(Switch, BackwardBalancesSideTwoAndForwardCopiesPotentials) {
  Switch sw(2);
  FixedCurrents load(2);
  sw.ports[2].connection->merge(&load.ports[0]);
  load.ports[0].current = {3, -1};
  load.ports[1].current = {8, 8};  // not at the switch: conductor 1 balances to 0
  sw.backward_step();
  EXPECT_EQ(sw.ports[2].current, complex_d(-3, 1));
  EXPECT_EQ(sw.ports[0].current, complex_d(3, -1));
  EXPECT_EQ(sw.ports[3].current, complex_d(0, 0));
  EXPECT_EQ(sw.ports[1].current, complex_d(0, 0));
  EXPECT_EQ(sw.currents[0].value, complex_d(0, 0));

  // Unbound: stored values follow; bound: the solver slot as well.
  set_potential(sw.ports[0], {1, 2});
  set_potential(sw.ports[1], {3, 4});
  EXPECT_EQ(sw.forward_step(), 0.0);
  EXPECT_EQ(sw.ports[2].connection->potential.value, complex_d(1, 2));
  EXPECT_EQ(sw.ports[3].connection->potential.value, complex_d(3, 4));
  Rig rig({&sw, &load});
  set_potential(sw.ports[0], {-5, 6});
  EXPECT_EQ(sw.forward_step(), 0.0);
  EXPECT_EQ(sw.ports[2].connection->get_potential(), complex_d(-5, 6));
  EXPECT_EQ(sw.ports[2].connection->potential.value, complex_d(-5, 6));
}

TEST(OpenSwitch, CarriesNothing) {
  OpenSwitch sw(3);
  for (Port& p : sw.ports) p.current = {1, 1};
  for (int c = 0; c < 3; ++c) set_potential(sw.ports[c], {100.0 + c, 0});
  Rig rig({&sw});
  EXPECT_EQ(rig.x0.size(), 12u);  // node potentials only
  EXPECT_TRUE(rig.p0.empty());
  EXPECT_TRUE(rig.evaluate().rows.empty());
  for (const complex_d& c : rig.evaluate().currents) EXPECT_EQ(c, complex_d(0, 0));
  sw.update_port_currents(false);
  for (Port& p : sw.ports) EXPECT_EQ(p.current, complex_d(0, 0));
  for (Port& p : sw.ports) p.current = {1, 1};
  sw.backward_step();
  for (Port& p : sw.ports) EXPECT_EQ(p.current, complex_d(0, 0));
  EXPECT_EQ(sw.forward_step(), 0.0);
}

TEST(Switch, NoConductors) {
  Switch sw(0);
  EXPECT_TRUE(sw.ports.empty());
  std::vector<double> x0;
  sw.append_variable_values(x0);
  EXPECT_TRUE(x0.empty());
  TapeArray y;
  int index = 0;
  sw.append_equations(y, index);
  EXPECT_EQ(index, 0);
  EXPECT_THROW(Switch(-1), std::length_error);
}
