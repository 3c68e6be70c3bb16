#include <gtest/gtest.h>

#include <limits>

#include "model/branch.hpp"
#include "model/element.hpp"

namespace {
struct Probe : Element {
  using Element::Element;
  void update_port_currents(bool) override {}
};

struct TwoSided : Branch {
  using Branch::Branch;
  void update_port_currents(bool) override {}
};

std::vector<Port*> listed(const Port& p) { return p.connection->ports; }
}  // namespace

TEST(Element, FreshElementHasOwnNodes) {
  Probe e(3);
  ASSERT_EQ(e.ports.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(listed(e.ports[i]), std::vector<Port*>{&e.ports[i]});
    EXPECT_EQ(e.ports[i].connection->get_potential(), complex_d(0, 0));
    EXPECT_FALSE(e.ports[i].connection->is_reference);
    EXPECT_EQ(e.ports[i].element, &e);
  }
  EXPECT_NE(e.ports[0].connection, e.ports[1].connection);
}

TEST(Element, CountsZeroAndNegative) {
  EXPECT_TRUE(Probe(0).ports.empty());
  try {
    Probe bad(-1);
    FAIL();
  } catch (const std::length_error& err) {
    EXPECT_STREQ(err.what(), "vector too long");
  }
  EXPECT_THROW(TwoSided(-1, 2), std::length_error);
  EXPECT_THROW(TwoSided(2, -1), std::length_error);
  EXPECT_THROW(TwoSided(1 << 30, 1 << 30), std::length_error);  // total beyond int
}

TEST(Element, PortCountsBeyondTheLimitAllocateNothing) {
  // Each port costs a node too: a count within int can still exhaust memory.
  for (int n : {max_port_count + 1, std::numeric_limits<int>::max()}) {
    try {
      Probe bad(n);
      FAIL() << n;
    } catch (const std::length_error& err) {
      EXPECT_STREQ(err.what(), "vector too long");
    }
  }
  EXPECT_THROW(TwoSided(max_port_count / 2, max_port_count / 2 + 1), std::length_error);
}

TEST(Element, MergeKeepsSurvivorOrderAndPotential) {
  Probe a(2), b(2);
  a.ports[0].connection->potential.set_value({5, 1});
  b.ports[0].connection->potential.set_value({7, 7});
  b.ports[0].connection->merge(&b.ports[1]);  // b's node: [b0, b1]
  a.ports[0].connection->merge(&a.ports[1]);  // a's node: [a0, a1]
  auto survivor = a.ports[0].connection;
  survivor->merge(&b.ports[1]);
  EXPECT_EQ(survivor->ports, (std::vector<Port*>{&a.ports[0], &a.ports[1], &b.ports[0], &b.ports[1]}));
  for (Port* p : survivor->ports) EXPECT_EQ(p->connection, survivor);
  EXPECT_EQ(survivor->get_potential(), complex_d(5, 1));
  // Merging a port already on the survivor changes nothing.
  survivor->merge(&b.ports[0]);
  EXPECT_EQ(survivor->ports.size(), 4u);
}

TEST(Element, NodeGrowingByOnePortPerJoinKeepsArrivalOrderAndRarelyMoves) {
  // A shared neutral: one port arrives per join. Its list must not be copied
  // whole at every join (that made large joins quadratic).
  constexpr int count = 4096;
  Probe neutral(1), ports(count);
  Connection& node = *neutral.ports[0].connection;
  std::vector<Port*> expected{&neutral.ports[0]};
  int moves = 0;
  const Port* const* storage = node.ports.data();
  for (int k = 0; k < count; ++k) {
    node.merge(&ports.ports[k]);
    expected.push_back(&ports.ports[k]);
    if (node.ports.data() != storage) ++moves;
    storage = node.ports.data();
  }
  EXPECT_EQ(node.ports, expected);
  EXPECT_LE(moves, 16);  // log2(4096) + a few, against 4096 when grown by the count
}

TEST(Element, MergeSpreadsReferenceFlagBothWays) {
  for (bool survivor_is_reference : {true, false}) {
    Probe a(1), b(1);
    (survivor_is_reference ? a : b).ports[0].connection->is_reference = true;
    a.ports[0].connection->merge(&b.ports[0]);
    EXPECT_TRUE(a.ports[0].connection->is_reference);
    EXPECT_EQ(a.ports[0].connection->get_potential(), complex_d(0, 0));
  }
}

TEST(Element, ConnectPortsFirstListedSurvives) {
  Probe e(3);
  Connection* node2 = e.ports[2].connection.get();
  const int idx[] = {2, 0, 1};
  e.connect_ports(idx, 3);
  EXPECT_EQ(e.ports[0].connection.get(), node2);
  EXPECT_EQ(node2->ports, (std::vector<Port*>{&e.ports[2], &e.ports[0], &e.ports[1]}));
  const int one[] = {1};
  e.connect_ports(one, 1);  // nothing to join
  EXPECT_EQ(node2->ports.size(), 3u);
}

// Which node survives each join: its potential is the one the joined ports
// read, and its own ports come first in the list.
TEST(Element, JoinsKeepTheirSurvivor) {
  const complex_d a_start[] = {{1, 1}, {2, 2}}, b_start[] = {{3, 3}, {4, 4}, {5, 5}};
  struct Pattern : Element {
    explicit Pattern(int n, const complex_d* v) : Element(n, v) {}
    void update_port_currents(bool) override {}
  };
  struct Side : Branch {
    Side() : Branch(1, 2) {}
    void update_port_currents(bool) override {}
  };
  {
    Pattern a(2, a_start), b(3, b_start);
    a.connect(b, {{0, 2}, {1, 0}, {0, 1}});
    EXPECT_EQ(listed(a.ports[0]), (std::vector<Port*>{&a.ports[0], &b.ports[2], &b.ports[1]}));
    EXPECT_EQ(listed(a.ports[1]), (std::vector<Port*>{&a.ports[1], &b.ports[0]}));
    for (const Port* p : {&b.ports[1], &b.ports[2]}) EXPECT_EQ(p->connection->get_potential(), a_start[0]);
    EXPECT_EQ(b.ports[0].connection->get_potential(), a_start[1]);
  }
  {
    Pattern b(3, b_start);
    Side s;  // side 1: port 0; side 2: ports 1 and 2
    s.connect_side(b, {{1, 0}, {0, 2}}, false);
    s.connect_side(b, {{0, 1}}, true);
    EXPECT_EQ(listed(b.ports[0]), (std::vector<Port*>{&b.ports[0], &s.ports[2]}));
    EXPECT_EQ(listed(b.ports[2]), (std::vector<Port*>{&b.ports[2], &s.ports[1]}));
    EXPECT_EQ(listed(b.ports[1]), (std::vector<Port*>{&b.ports[1], &s.ports[0]}));
    for (int k = 0; k < 3; ++k) EXPECT_EQ(s.ports[k].connection->get_potential(), b_start[(k + 1) % 3]);
  }
}

TEST(Element, DisconnectAndLaterMerges) {
  Probe a(1), b(1), c(1);
  a.ports[0].connection->merge(&b.ports[0]);  // node N = [a0, b0]
  auto node = a.ports[0].connection;
  node->potential.set_value({3, 4});
  b.disconnect();
  EXPECT_EQ(node->ports, std::vector<Port*>{&a.ports[0]});
  EXPECT_EQ(b.ports[0].connection, node);  // still reads the node
  EXPECT_EQ(b.ports[0].connection->get_potential(), complex_d(3, 4));
  // Joining another element at the node does not list b again.
  node->merge(&c.ports[0]);
  EXPECT_EQ(node->ports, (std::vector<Port*>{&a.ports[0], &c.ports[0]}));
  // Merging through the disconnected port moves its node's members and leaves it.
  Probe d(1);
  d.ports[0].connection->merge(&b.ports[0]);
  EXPECT_EQ(d.ports[0].connection->ports, (std::vector<Port*>{&d.ports[0], &a.ports[0], &c.ports[0]}));
  EXPECT_EQ(b.ports[0].connection, node);
  // No port is listed at two nodes afterwards.
  EXPECT_TRUE(node->ports.empty());
  b.disconnect();  // a second disconnect removes nothing
  a.disconnect();
  c.disconnect();
  EXPECT_EQ(d.ports[0].connection->ports, std::vector<Port*>{&d.ports[0]});
}

TEST(Element, DestroyedElementLeavesNoStaleEntries) {
  Probe a(1);
  {
    Probe b(2);
    a.ports[0].connection->merge(&b.ports[0]);
    a.ports[0].connection->merge(&b.ports[1]);
    EXPECT_EQ(a.ports[0].connection->ports.size(), 3u);
  }
  EXPECT_EQ(a.ports[0].connection->ports, std::vector<Port*>{&a.ports[0]});
}

TEST(Element, ReadRules) {
  Probe e(2);
  Connection& ref = *e.ports[0].connection;
  ref.is_reference = true;
  ref.potential.set_value({9, 9});
  EXPECT_EQ(ref.get_potential(), complex_d(0, 0));
  const ad_complex tape_ref = ref.get_potential_ad();
  EXPECT_EQ(CppAD::Value(tape_ref.real()), 0.0);
  EXPECT_TRUE(CppAD::Constant(tape_ref.real()));

  Connection& node = *e.ports[1].connection;
  node.potential.set_value({1, 2});
  TapeArray X{ad_double(0.0), ad_double(0.0)};
  Eigen::VectorXd x(2);
  x << 10, 20;
  int c = 0;
  node.potential.bind(X, x, c);
  EXPECT_EQ(node.get_potential(), complex_d(10, 20));
  complex_d out[2];
  e.get_potentials(2, out);
  EXPECT_EQ(out[0], complex_d(0, 0));
  EXPECT_EQ(out[1], complex_d(10, 20));
}

TEST(Element, DefaultOperations) {
  Probe e(1);
  try {
    e.backward_step();
    FAIL();
  } catch (const std::runtime_error& err) {
    EXPECT_STREQ(err.what(), "2 No backward-forward method has been defined for this element");
  }
  EXPECT_EQ(e.forward_step(), 0.0);
  std::vector<double> v;
  e.append_variable_values(v);
  e.append_parameter_values(v);
  EXPECT_TRUE(v.empty());
  EXPECT_THROW(e.check_port_index(1), std::out_of_range);
  EXPECT_THROW(e.check_port_index(-1), std::out_of_range);
  EXPECT_NO_THROW(e.check_port_index(0));
}

TEST(Element, BalancingCurrentSkipsOwnPort) {
  Probe a(1), b(1), c(1);
  a.ports[0].connection->merge(&b.ports[0]);
  a.ports[0].connection->merge(&c.ports[0]);
  a.ports[0].current = {100, 100};
  b.ports[0].current = {1, 2};
  c.ports[0].current = {3, -5};
  EXPECT_EQ(balancing_current(a.ports[0]), complex_d(-4, 3));
  Probe lone(1);
  EXPECT_EQ(balancing_current(lone.ports[0]), complex_d(0, 0));
}

TEST(Branch, SidesAndExtraPort) {
  TwoSided b(2, 3);
  ASSERT_EQ(b.ports.size(), 5u);
  EXPECT_EQ(b.side1, (std::vector<Port*>{&b.ports[0], &b.ports[1]}));
  EXPECT_EQ(b.side2, (std::vector<Port*>{&b.ports[2], &b.ports[3], &b.ports[4]}));
  TwoSided s(2, 3, Branch::WithExtraPort{});
  ASSERT_EQ(s.ports.size(), 6u);
  EXPECT_EQ(s.side2.back(), &s.ports[4]);
  for (int sel : {0, 2, -7}) EXPECT_EQ(&b.side(sel), &b.side2);
  EXPECT_EQ(&b.side(1), &b.side1);
}

TEST(Branch, SideRule) {
  TwoSided b(1, 3);
  Eigen::VectorXcd none(0), two(2), three(3);
  two << complex_d(1, 2), complex_d(3, -1);
  three << complex_d(1, 0), complex_d(2, 0), complex_d(3, 0);
  b.ports[0].current = {9, 9};
  b.set_side_currents(none, two);
  EXPECT_EQ(b.ports[0].current, complex_d(0, 0));  // one-port side, no values
  EXPECT_EQ(b.ports[1].current, complex_d(1, 2));
  EXPECT_EQ(b.ports[2].current, complex_d(3, -1));
  EXPECT_EQ(b.ports[3].current, complex_d(-4, -1));
  b.set_side_currents(none, three);
  EXPECT_EQ(b.ports[3].current, complex_d(3, 0));

  VectorXad ad_two(2), ad_none(0);
  ad_two << ad_complex(1.0, 2.0), ad_complex(3.0, -1.0);
  b.set_side_currents_ad(ad_none, ad_two);
  EXPECT_EQ(CppAD::Value(b.ports[3].current_ad.real()), -4.0);
  EXPECT_EQ(CppAD::Value(b.ports[3].current_ad.imag()), -1.0);
  EXPECT_EQ(CppAD::Value(b.ports[0].current_ad.real()), 0.0);
}

TEST(Branch, SideReadsSeeReferenceAsZero) {
  TwoSided b(2, 1);
  b.ports[0].connection->potential.set_value({1, 1});
  b.ports[0].connection->is_reference = true;
  b.ports[1].connection->potential.set_value({2, 0});
  b.ports[2].connection->potential.set_value({0, 3});
  complex_d s1[2], s2[1];
  b.get_side_potentials(2, 1, s1, s2);
  EXPECT_EQ(s1[0], complex_d(0, 0));
  EXPECT_EQ(s1[1], complex_d(2, 0));
  EXPECT_EQ(s2[0], complex_d(0, 3));
  EXPECT_EQ(b.get_side_potentials_values(1)(1), complex_d(2, 0));
  EXPECT_EQ(CppAD::Value(b.get_side_potentials_ad(1)(0).real()), 0.0);
  b.ports[2].current = {4, 5};
  EXPECT_EQ(b.get_side_currents(2)(0), complex_d(4, 5));
}
