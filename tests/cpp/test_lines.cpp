#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "branch_rig.hpp"
#include "model/line.hpp"

namespace {
using Eigen::MatrixXcd;
using Eigen::VectorXcd;
const complex_d j(0, 1);

// Non-symmetric so that a transposed read shows.
const std::vector<complex_d> kZ3 = {{0.3, 0.9}, {0.1, 0.4}, {0.05, 0.35},  //
                                    {0.12, 0.38}, {0.32, 0.85}, {0.1, 0.41},
                                    {0.06, 0.33}, {0.09, 0.42}, {0.29, 0.88}};
const std::vector<complex_d> kZ4 = {{0.25, 0.8}, {0.05, 0.3}, {0.04, 0.28}, {0.06, 0.31},
                                    {0.05, 0.32}, {0.26, 0.82}, {0.05, 0.3}, {0.04, 0.27},
                                    {0.03, 0.29}, {0.06, 0.3}, {0.24, 0.79}, {0.05, 0.33},
                                    {0.07, 0.3}, {0.04, 0.26}, {0.05, 0.31}, {0.4, 1.1}};
// Shunt admittances: symmetric, and a non-symmetric one.
const std::vector<complex_d> kY4 = {{1e-6, 4e-4}, {0, -8e-5}, {0, -6e-5}, {0, -7e-5},
                                    {0, -8e-5}, {2e-6, 4.2e-4}, {0, -9e-5}, {0, -5e-5},
                                    {0, -6e-5}, {0, -9e-5}, {1e-6, 3.9e-4}, {0, -6e-5},
                                    {0, -7e-5}, {0, -5e-5}, {0, -6e-5}, {3e-6, 3e-4}};
const std::vector<complex_d> kY4Skew = {{2e-6, 5e-4}, {0, -1e-4}, {0, -2e-5}, {0, -7e-5},
                                        {0, -3e-5}, {1e-6, 4e-4}, {0, -9e-5}, {0, -1e-5},
                                        {0, -6e-5}, {0, -4e-5}, {1e-6, 2.9e-4}, {0, -6e-5},
                                        {0, -1e-4}, {0, -5e-5}, {0, -8e-5}, {1e-6, 3.5e-4}};

VectorXcd potentials(int n, double scale, double turn) {
  VectorXcd v(n);
  for (int i = 0; i < n; ++i) v(i) = std::polar(scale * (1.0 - 0.01 * i), turn - 2.0 * M_PI * i / 3.0);
  return v;
}

// Z^-1 b by a QR solve, independent of the lines' LU inverse.
MatrixXcd solve(const MatrixXcd& z, const MatrixXcd& b) { return z.colPivHouseholderQr().solve(b); }

void set_side(const std::vector<Port*>& side, const VectorXcd& v) {
  for (size_t i = 0; i < side.size(); ++i) side[i]->connection->potential.set_value(v(i));
}

// Nominal pi section: half the shunt admittance at each end, to the ground.
struct Pi {
  VectorXcd i1, i2;
  complex_d ig;
};
Pi pi_section(const MatrixXcd& y, const MatrixXcd& z, const VectorXcd& v1, const VectorXcd& v2, complex_d vg) {
  const VectorXcd g = VectorXcd::Constant(v1.size(), vg);
  Pi r{solve(z, v1 - v2) + 0.5 * y * (v1 - g), solve(z, v2 - v1) + 0.5 * y * (v2 - g), 0.0};
  const VectorXcd e = -0.5 * y.rowwise().sum();
  for (Eigen::Index k = 0; k < e.size(); ++k) r.ig += e(k) * (v1(k) + v2(k) - 2.0 * vg);
  return r;
}
}  // namespace

TEST(SimplifiedLine, CurrentsFollowPotentialsAndParameterUpdates) {
  SimplifiedLine line(3, kZ3.data());
  Rig rig({&line});
  const VectorXcd v1 = potentials(3, 230, 0.1), v2 = potentials(3, 224, 0.07);
  set_side(line.side1, v1);
  set_side(line.side2, v2);

  // A second impedance: every entry changed, reached without a new tape.
  std::vector<complex_d> z_new;
  for (const complex_d& z : kZ3) z_new.push_back(z * complex_d(1.7, -0.2));
  for (const auto& z_rows : {kZ3, z_new}) {
    if (&z_rows != &kZ3) line.update_line_parameters(z_rows.data());
    const VectorXcd want = solve(from_rows(3, z_rows), v1 - v2);
    line.update_port_currents(false);
    const Rig::Taped taped = rig.evaluate();
    for (int i = 0; i < 3; ++i) {
      expect_close(line.side1[i]->current, want(i));
      EXPECT_EQ(line.side2[i]->current, -line.side1[i]->current);
      expect_close(taped.currents[i], want(i));
      expect_close(taped.currents[3 + i], -want(i));
    }
  }
  // The update wrote the held admittance through to the parameter array.
  EXPECT_EQ(std::vector<double>(rig.p.data(), rig.p.data() + rig.p.size()), flatten_matrix(line.admittance.value));
}

TEST(SimplifiedLine, ParameterLayoutIsRowMajorWithoutTransposition) {
  const complex_d a(1, 2), b(0.5, -1), c(-0.25, 0.75), d(2, 1);
  const complex_d z[] = {a, b, c, d};
  SimplifiedLine line(2, z);
  std::vector<double> p0;
  line.append_parameter_values(p0);
  const complex_d det = a * d - b * c;
  const complex_d y[] = {d / det, -b / det, -c / det, a / det};
  ASSERT_EQ(p0.size(), 8u);
  for (int k = 0; k < 4; ++k) expect_close({p0[2 * k], p0[2 * k + 1]}, y[k], 1e-14);
}

TEST(SimplifiedLine, OneConductorExample) {
  const complex_d z(1, 1);
  SimplifiedLine line(1, &z);
  EXPECT_EQ(line.admittance.value(0, 0), complex_d(0.5, -0.5));
  line.side1[0]->connection->potential.set_value(1.0);
  line.update_port_currents(false);
  EXPECT_EQ(line.side1[0]->current, complex_d(0.5, -0.5));
  EXPECT_EQ(line.side2[0]->current, complex_d(-0.5, 0.5));
}

TEST(SimplifiedLine, Sweeps) {
  SimplifiedLine line(3, kZ3.data());
  FixedCurrents load(3);
  for (int i = 0; i < 3; ++i) line.side2[i]->connection->merge(&load.ports[i]);
  const complex_d draw[] = {{40, -12}, {-25, 30}, {-12, -20}};
  for (int i = 0; i < 3; ++i) load.ports[i].current = draw[i];
  line.backward_step();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(line.side2[i]->current, -draw[i]);
    EXPECT_EQ(line.side1[i]->current, draw[i]);
  }

  Rig rig({&line, &load});
  const VectorXcd v1 = potentials(3, 230, 0.0), v2_old = potentials(3, 220, -0.05);
  set_side(line.side1, v1);
  set_side(line.side2, v2_old);
  VectorXcd i1(3);
  for (int i = 0; i < 3; ++i) i1(i) = draw[i];
  const VectorXcd want = v1 - from_rows(3, kZ3) * i1;
  double change = 0;
  for (int i = 0; i < 3; ++i) change = std::max(change, std::abs(want(i) - v2_old(i)));
  EXPECT_NEAR(line.forward_step(), change, 1e-11 * change);
  for (int i = 0; i < 3; ++i) {
    const Connection& node = *line.side2[i]->connection;
    expect_close(node.get_potential(), want(i));
    EXPECT_EQ(node.potential.value, node.get_potential());
  }
  // With no current the far end takes the near end's potentials.
  for (Port* p : line.side1) p->current = 0.0;
  const VectorXcd before = line.get_side_potentials_values(2);
  double gap = 0;
  for (int i = 0; i < 3; ++i) gap = std::max(gap, std::abs(v1(i) - before(i)));
  EXPECT_NEAR(line.forward_step(), gap, 1e-12 * gap);
  for (int i = 0; i < 3; ++i) expect_close(line.side2[i]->connection->get_potential(), v1(i));
}

TEST(ShuntLine, OneConductorExample) {
  const complex_d y = 2.0 * j, z = 1.0;
  ShuntLine line(1, &y, &z);
  EXPECT_EQ(line.chain_a00, complex_d(1, 1));
  EXPECT_EQ(line.chain_b00, complex_d(1, 0));
  EXPECT_EQ(line.chain_c00, complex_d(-1, 2));
  EXPECT_EQ(line.chain_d00, complex_d(1, 1));
  EXPECT_EQ(line.y11.value(0, 0), complex_d(1, 1));
  EXPECT_EQ(line.y22.value(0, 0), complex_d(1, 1));
  EXPECT_EQ(line.y12.value(0, 0), complex_d(-1, 0));
  EXPECT_EQ(line.y21.value(0, 0), complex_d(-1, 0));
  EXPECT_EQ(line.y_ground.value(0), -j);
  EXPECT_EQ(line.y1_ground.value(0, 0), -j);
  EXPECT_EQ(line.y2_ground.value(0, 0), -j);
  line.side1[0]->connection->potential.set_value(1.0);
  line.update_port_currents(false);
  EXPECT_EQ(line.side1[0]->current, complex_d(1, 1));
  EXPECT_EQ(line.side2[0]->current, complex_d(-1, 0));
  EXPECT_EQ(line.ground_port->current, -j);
}

TEST(ShuntLine, PiSectionCurrentsFollowPotentialsAndParameterUpdates) {
  ShuntLine line(4, kY4.data(), kZ4.data());
  Rig rig({&line});
  ASSERT_EQ(rig.p0.size(), 8u * 16 + 6 * 4);
  const VectorXcd v1 = potentials(4, 230, 0.2), v2 = potentials(4, 226, 0.18);
  const complex_d vg(1.5, -0.7);
  set_side(line.side1, v1);
  set_side(line.side2, v2);
  line.ground_port->connection->potential.set_value(vg);

  std::vector<complex_d> z_new;
  for (const complex_d& z : kZ4) z_new.push_back(z * 1.3);
  struct Case {
    const std::vector<complex_d>& y;
    const std::vector<complex_d>& z;
  };
  for (const Case& c : {Case{kY4, kZ4}, Case{kY4Skew, z_new}}) {
    if (&c.y != &kY4) line.update_line_parameters(c.y.data(), c.z.data());
    const Pi want = pi_section(from_rows(4, c.y), from_rows(4, c.z), v1, v2, vg);
    line.update_port_currents(false);
    const Rig::Taped taped = rig.evaluate();
    for (int i = 0; i < 4; ++i) {
      expect_close(line.side1[i]->current, want.i1(i));
      expect_close(line.side2[i]->current, want.i2(i));
      expect_close(taped.currents[i], want.i1(i));
      expect_close(taped.currents[4 + i], want.i2(i));
    }
    expect_close(line.ground_port->current, want.ig, 1e-9);
    expect_close(taped.currents[8], want.ig, 1e-9);
  }
  // The symmetric shunt balances the ground port against the sides; the
  // skewed one, built from row sums, does not.
  const VectorXcd i_all = line.get_side_currents(1) + line.get_side_currents(2);
  EXPECT_GT(std::abs(line.ground_port->current + i_all.sum()), 1e-6);
  line.update_line_parameters(kY4.data(), kZ4.data());
  line.update_port_currents(false);
  const VectorXcd i_sym = line.get_side_currents(1) + line.get_side_currents(2);
  expect_close(line.ground_port->current, -i_sym.sum(), 1e-9);
}

TEST(ShuntLine, ParameterLayout) {
  std::vector<complex_d> y3(9, complex_d(0, -1e-5));
  for (int i = 0; i < 3; ++i) y3[4 * i] = complex_d(1e-6, 3e-4 + 1e-5 * i);
  ShuntLine line(3, y3.data(), kZ3.data());
  std::vector<double> p0;
  line.append_parameter_values(p0);
  ASSERT_EQ(p0.size(), 90u);
  const MatrixXcd y = from_rows(3, y3), z_inv = solve(from_rows(3, kZ3), MatrixXcd::Identity(3, 3));
  const VectorXcd half_rows = -0.5 * y.rowwise().sum();
  const MatrixXcd blocks[] = {z_inv + 0.5 * y, -z_inv, -z_inv, z_inv + 0.5 * y};
  for (int b = 0; b < 4; ++b)
    for (int k = 0; k < 9; ++k)
      expect_close({p0[18 * b + 2 * k], p0[18 * b + 2 * k + 1]}, blocks[b](k / 3, k % 3), 1e-10);
  for (int g = 0; g < 3; ++g)  // y_ground, y2_ground, y1_ground
    for (int k = 0; k < 3; ++k)
      expect_close({p0[72 + 6 * g + 2 * k], p0[72 + 6 * g + 2 * k + 1]}, half_rows(k), 1e-12);
}

TEST(ShuntLine, WithoutShuntMatchesSimplifiedLine) {
  const std::vector<complex_d> y0(16, 0.0);
  ShuntLine shunt(4, y0.data(), kZ4.data());
  SimplifiedLine simple(4, kZ4.data());
  EXPECT_TRUE(shunt.chain_a.isIdentity(0));
  EXPECT_TRUE(shunt.chain_d.isIdentity(0));
  EXPECT_TRUE(shunt.chain_c.isZero(0));
  EXPECT_TRUE(shunt.y_ground.value.isZero(0));
  const VectorXcd v1 = potentials(4, 230, 0.0), v2 = potentials(4, 229, -0.01);
  set_side(shunt.side1, v1);
  set_side(shunt.side2, v2);
  set_side(simple.side1, v1);
  set_side(simple.side2, v2);
  shunt.update_port_currents(false);
  simple.update_port_currents(false);
  for (int i = 0; i < 8; ++i) expect_close(shunt.ports[i].current, simple.ports[i].current, 1e-9);
  EXPECT_EQ(shunt.ground_port->current, complex_d(0, 0));
}

TEST(ShuntLine, SweepsOfSeveralConductors) {
  ShuntLine line(4, kY4.data(), kZ4.data());
  FixedCurrents load(4);
  for (int i = 0; i < 4; ++i) line.side2[i]->connection->merge(&load.ports[i]);
  Rig rig({&line, &load});
  const MatrixXcd y = from_rows(4, kY4), z = from_rows(4, kZ4), id = MatrixXcd::Identity(4, 4);
  VectorXcd draw(4);
  draw << complex_d(30, -10), complex_d(-20, 25), complex_d(-9, -14), complex_d(1, 0.5);
  for (int i = 0; i < 4; ++i) load.ports[i].current = draw(i);
  const VectorXcd v2 = potentials(4, 221, 0.03);
  set_side(line.side2, v2);

  line.backward_step();
  // Chain relation of the pi section with its ground at zero.
  const VectorXcd i2 = -draw;
  const VectorXcd i1 = (y + 0.25 * y * z * y) * v2 - (id + 0.5 * y * z) * i2;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(line.side2[i]->current, i2(i));
    expect_close(line.side1[i]->current, i1(i), 1e-10);
  }
  expect_close(line.ground_port->current, -(i1.sum() + i2.sum()), 1e-9);

  const VectorXcd v1 = potentials(4, 230, 0.05), v2_old = line.get_side_potentials_values(2);
  set_side(line.side1, v1);
  const VectorXcd want = v1 - z * (i1 - 0.5 * y * v1);
  double change = 0;
  for (int i = 0; i < 4; ++i) change = std::max(change, std::abs(want(i) - v2_old(i)));
  EXPECT_NEAR(line.forward_step(), change, 1e-10 * change);
  for (int i = 0; i < 4; ++i) {
    const Connection& node = *line.side2[i]->connection;
    expect_close(node.get_potential(), want(i), 1e-10);
    EXPECT_EQ(node.potential.value, node.get_potential());
  }
}

TEST(ShuntLine, OneConductorSweepsRunThroughTheSolverSlots) {
  const complex_d y(1e-6, 3e-4), z(0.2, 0.6);
  ShuntLine line(1, &y, &z);
  FixedCurrents load(1), other(1);
  line.side2[0]->connection->merge(&load.ports[0]);
  line.side2[0]->connection->merge(&other.ports[0]);
  line.side1[0]->connection->potential.set_value(230.0);
  line.side2[0]->connection->potential.set_value(225.0);
  Rig rig({&line, &load, &other});
  load.ports[0].current = {12, -4};
  other.ports[0].current = {-2, 1};
  const complex_d v2(224, -3);
  line.side2[0]->connection->potential.set_value(v2);  // solver slot and stored value

  line.backward_step();
  const complex_d i2(-10, 3);
  const complex_d i1 = (y + 0.25 * y * z * y) * v2 - (1.0 + 0.5 * y * z) * i2;
  EXPECT_EQ(line.side2[0]->current, i2);
  expect_close(line.side1[0]->current, i1, 1e-13);
  expect_close(line.ground_port->current, -i1 - i2, 1e-13);

  const complex_d v1(231, 2);
  line.side1[0]->connection->potential.set_value(v1);
  const complex_d want = v1 - z * (i1 - 0.5 * y * v1);
  const complex_d delta = want - v2;
  EXPECT_NEAR(line.forward_step(), std::max(std::fabs(delta.real()), std::fabs(delta.imag())), 1e-12);
  const Connection& far = *line.side2[0]->connection;
  expect_close(far.get_potential(), want, 1e-13);
  EXPECT_EQ(far.potential.value, v2);  // the stored value stays behind
}

TEST(ShuntLine, OneConductorBackwardAfterAPortLeftTheSide2Node) {
  const complex_d y(1e-6, 3e-4), z(0.2, 0.6);
  ShuntLine line(1, &y, &z);
  FixedCurrents kept(1);
  auto gone = std::make_unique<FixedCurrents>(1);
  line.side2[0]->connection->merge(&kept.ports[0]);
  line.side2[0]->connection->merge(&gone->ports[0]);
  Rig rig({&line, &kept, gone.get()});
  kept.ports[0].current = {12, -4};
  gone->ports[0].current = {-2, 1};
  gone.reset();  // its port leaves the node's list; the line must not read it
  line.backward_step();
  EXPECT_EQ(line.side2[0]->current, complex_d(-12, 4));
}

// A change of 3 + 4j in one conductor: the one-conductor shunt line reports
// the larger part, every other line the modulus.
TEST(Lines, ForwardChangeMeasure) {
  struct Case {
    bool shunt;
    int n;
    double want;
  };
  for (const Case& c : {Case{true, 1, 4.0}, Case{true, 2, 5.0}, Case{false, 1, 5.0}, Case{false, 2, 5.0}}) {
    SCOPED_TRACE(testing::Message() << (c.shunt ? "shunt" : "simplified") << " n=" << c.n);
    const std::vector<complex_d> y(c.n * c.n, 0.0);
    std::vector<complex_d> z(c.n * c.n, 0.0);
    for (int i = 0; i < c.n; ++i) z[(c.n + 1) * i] = 1.0;  // V2 = V1 - I1
    std::unique_ptr<Branch> line;
    if (c.shunt)
      line = std::make_unique<ShuntLine>(c.n, y.data(), z.data());
    else
      line = std::make_unique<SimplifiedLine>(c.n, z.data());
    Rig rig({line.get()});
    for (int i = 0; i < c.n; ++i) {
      line->side1[i]->connection->potential.set_value(10.0);
      line->side1[i]->current = 2.0;
      line->side2[i]->connection->potential.set_value(i == 0 ? complex_d(5, -4) : complex_d(8, 0));
    }
    EXPECT_DOUBLE_EQ(line->forward_step(), c.want);
  }
}

// A one-conductor line at a reference node has no slot there: the sweeps
// take the general path, which reads that node as zero.
TEST(ShuntLine, OneConductorAtReferenceNodes) {
  const complex_d y(0, 2e-4), z(0.1, 0.3);
  const complex_d c = y + 0.25 * y * z * y, d = 1.0 + 0.5 * y * z;
  for (int side : {1, 2}) {
    SCOPED_TRACE(side);
    ShuntLine line(1, &y, &z);
    FixedCurrents load(1);
    line.side2[0]->connection->merge(&load.ports[0]);
    (side == 1 ? line.side1 : line.side2)[0]->connection->is_reference = true;
    Rig rig({&line, &load});
    load.ports[0].current = {5, -1};
    line.side1[0]->connection->potential.set_value(100.0);
    line.side2[0]->connection->potential.set_value(95.0);
    const complex_d v2 = side == 2 ? 0.0 : 95.0, v1 = side == 1 ? 0.0 : 100.0;
    line.backward_step();
    const complex_d i1 = c * v2 - d * complex_d(-5, 1);
    expect_close(line.side1[0]->current, i1, 1e-13);
    line.forward_step();
    const complex_d want = v1 - z * (i1 - 0.5 * y * v1);
    const Connection& far = *line.side2[0]->connection;
    expect_close(far.potential.value, want, 1e-13);
    if (side == 1) expect_close(far.get_potential(), want, 1e-13);
  }
  // Never bound: no slots either.
  ShuntLine line(1, &y, &z);
  line.side1[0]->connection->potential.set_value(100.0);
  line.backward_step();
  line.forward_step();
  expect_close(line.side2[0]->connection->get_potential(), (1.0 + 0.5 * z * y) * 100.0, 1e-13);
}

TEST(Lines, SingularImpedanceGivesNonFiniteValues) {
  const std::vector<complex_d> z = {1.0, 2.0, 2.0, 4.0}, y(4, complex_d(0, 1e-4));
  SimplifiedLine simple(2, z.data());
  ShuntLine shunt(2, y.data(), z.data());
  for (Branch* line : {static_cast<Branch*>(&simple), static_cast<Branch*>(&shunt)}) {
    line->side1[0]->connection->potential.set_value(1.0);
    line->update_port_currents(false);
    const complex_d i = line->side1[0]->current;
    EXPECT_FALSE(std::isfinite(i.real()) && std::isfinite(i.imag()));
  }
}

TEST(Lines, NoConductors) {
  SimplifiedLine simple(0, nullptr);
  ShuntLine shunt(0, nullptr, nullptr);
  EXPECT_EQ(shunt.port_count(), 1);
  for (Branch* line : {static_cast<Branch*>(&simple), static_cast<Branch*>(&shunt)}) {
    line->update_port_currents(false);
    line->backward_step();
    EXPECT_EQ(line->forward_step(), 0.0);
  }
  EXPECT_EQ(shunt.ground_port->current, complex_d(0, 0));
  EXPECT_THROW(SimplifiedLine(-1, nullptr), std::length_error);
  EXPECT_THROW(ShuntLine(-1, nullptr, nullptr), std::length_error);
}

TEST(Lines, OneValueUpdateNeedsOneConductor) {
  const std::vector<complex_d> z = {1.0, 0.0, 0.0, 1.0}, y(4, 0.0);
  SimplifiedLine simple2(2, z.data());
  ShuntLine shunt2(2, y.data(), z.data());
  EXPECT_EQ(simple2.conductor_count(), 2);
  EXPECT_EQ(shunt2.conductor_count(), 2);
  EXPECT_THROW(simple2.update_single_line_parameters(2.0), std::invalid_argument);
  EXPECT_THROW(shunt2.update_single_line_parameters(0.0, 2.0), std::invalid_argument);
  EXPECT_EQ(simple2.admittance.value(0, 0), complex_d(1, 0));
  EXPECT_EQ(shunt2.chain_b00, complex_d(1, 0));

  const complex_d one = 1.0;
  SimplifiedLine simple(1, &one);
  ShuntLine shunt(1, &one, &one);
  Rig rig({&simple, &shunt});
  simple.update_single_line_parameters(complex_d(0, 2));
  shunt.update_single_line_parameters(2.0 * j, 1.0);
  EXPECT_EQ(rig.p(0), 0.0);
  EXPECT_EQ(rig.p(1), -0.5);
  EXPECT_EQ(shunt.chain_a00, complex_d(1, 1));
  EXPECT_EQ(rig.p(2 + 2 * 4), 0.0);  // y_ground of the new shunt, -1j
  EXPECT_EQ(rig.p(2 + 2 * 4 + 1), -1.0);
}
