#include <gtest/gtest.h>

#include "local_elements.hpp"
#include "model/bus.hpp"

using local::join;

TEST(Bus, PortsStartAtGivenPotentials) {
  const complex_d v[] = {{1, 2}, {3, 4}, {5, 6}};
  Bus bus(3, v);
  complex_d out[3];
  bus.get_potentials(3, out);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], v[i]);
  EXPECT_NE(bus.ports[0].connection, bus.ports[1].connection);
  EXPECT_EQ(Bus(0, nullptr).port_count(), 0);
  try {
    Bus bad(-1, v);
    FAIL();
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "vector too long");
  }
}

TEST(Bus, InitializePotentialsWritesThroughToBoundSlot) {
  const complex_d v[] = {{1, 0}, {2, 0}};
  Bus bus(2, v);
  PotentialRef ref;
  join(ref, 0, bus, 1);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(2);
  TapeArray X(2);
  int c = 0;
  bus.ports[0].connection->potential.bind(X, x, c);
  const complex_d fresh[] = {{7, 8}, {9, 9}};
  bus.initialize_potentials(fresh);
  EXPECT_EQ(x[0], 7);
  EXPECT_EQ(x[1], 8);
  EXPECT_EQ(bus.ports[0].connection->potential.value, complex_d(7, 8));
  EXPECT_EQ(bus.ports[1].connection->get_potential(), complex_d(0, 0));  // reference reads 0
}

TEST(Bus, GroundAndBusCarryNoCurrent) {
  const complex_d v[] = {{1, 1}, {2, 2}};
  Bus bus(2, v);
  Ground ground;
  join(bus, 0, ground, 0);
  EXPECT_FALSE(bus.ports[0].connection->is_reference);
  for (Element* e : std::initializer_list<Element*>{&bus, &ground}) {
    for (Port& p : e->ports) p.current = {5, 5};
    e->backward_step();
    for (Port& p : e->ports) EXPECT_EQ(p.current, complex_d(0, 0));
    for (Port& p : e->ports) p.current = {5, 5};
    e->update_port_currents(false);
    for (Port& p : e->ports) EXPECT_EQ(p.current, complex_d(0, 0));
    EXPECT_EQ(e->forward_step(), 0.0);
  }
}

TEST(PotentialRef, MakesItsNodeAReference) {
  const complex_d v[] = {{3, 4}};
  Bus bus(1, v);
  PotentialRef ref;
  join(bus, 0, ref, 0);
  EXPECT_TRUE(bus.ports[0].connection->is_reference);
  EXPECT_EQ(bus.ports[0].connection->get_potential(), complex_d(0, 0));
  EXPECT_EQ(ref.forward_step(), 0.0);
  EXPECT_EQ(bus.ports[0].connection->get_potential(), complex_d(0, 0));
}

TEST(PotentialRef, CurrentSumsEveryPortAtItsNode) {
  const complex_d v[] = {{1, 0}, {0, 0}};
  Bus bus(2, v);
  PotentialRef ref;
  local::Admittance load({2, 1});
  join(bus, 1, ref, 0);
  join(bus, 0, load, 0);
  join(bus, 1, load, 1);
  load.update_port_currents(false);  // I = (2 + 1j) * 1 at port 0, its negative at port 1
  EXPECT_EQ(ref.get_current(), complex_d(-2, -1));
}

TEST(PotentialRef, ForwardStepReportsTheLargerPart) {
  // The change measure is that of the potential read before the reset.
  struct Case {
    complex_d v;
    double expected;
  };
  const double nan = std::nan("");
  for (const Case& c : {Case{{3, -4}, 4}, Case{{-5, 2}, 5}}) {
    PotentialRef ref;
    Connection& node = *ref.ports[0].connection;
    node.is_reference = false;  // let the stored value be read
    node.potential.set_value(c.v);
    EXPECT_EQ(ref.forward_step(), c.expected);
    EXPECT_EQ(node.get_potential(), complex_d(0, 0));
  }
  for (const complex_d v : {complex_d(nan, 0), complex_d(1, nan)}) {  // a NaN in either part is reported
    PotentialRef ref;
    ref.ports[0].connection->is_reference = false;
    ref.ports[0].connection->potential.set_value(v);
    EXPECT_TRUE(std::isnan(ref.forward_step()));
  }
}

TEST(DeltaPotentialRef, ForwardStepCentresThePotentials) {
  const complex_d v[] = {{1, 0}, {2, 0}, {6, 0}};
  Bus bus(3, v);
  DeltaPotentialRef ref(3);
  for (int i = 0; i < 3; ++i) join(bus, i, ref, i);
  EXPECT_EQ(ref.forward_step(), 9.0);
  complex_d out[3];
  bus.get_potentials(3, out);
  EXPECT_EQ(out[0], complex_d(-2, 0));
  EXPECT_EQ(out[1], complex_d(-1, 0));
  EXPECT_EQ(out[2], complex_d(3, 0));
}

TEST(DeltaPotentialRef, CurrentEntersAtPortZero) {
  DeltaPotentialRef ref(3);
  ref.current.set_value({4, -1});
  ref.update_port_currents(false);
  EXPECT_EQ(ref.get_current(), complex_d(4, -1));
  EXPECT_EQ(ref.ports[1].current, complex_d(0, 0));
  EXPECT_EQ(ref.ports[2].current, complex_d(0, 0));
  ref.backward_step();
  for (const Port& p : ref.ports) EXPECT_EQ(p.current, complex_d(0, 0));
  EXPECT_EQ(DeltaPotentialRef(0).get_current(), complex_d(0, 0));
}

TEST(DeltaPotentialRef, EquationSumsThePotentials) {
  const complex_d v[] = {{1, 2}, {3, -5}};
  Bus bus(2, v);
  DeltaPotentialRef ref(2);
  for (int i = 0; i < 2; ++i) join(bus, i, ref, i);
  TapeArray y(2, ad_double(0.0));
  int index = 0;
  // Bound to constants, the nodes' tape values are the numbers of x.
  Eigen::VectorXd x(4);
  x << 1, 2, 3, -5;
  TapeArray X(x.data(), x.data() + 4);
  int c = 0;
  for (int i = 0; i < 2; ++i) bus.ports[i].connection->potential.bind(X, x, c);
  ref.append_equations(y, index);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(CppAD::Value(y[0]), 4.0);
  EXPECT_EQ(CppAD::Value(y[1]), -3.0);
}
