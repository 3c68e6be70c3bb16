#include "model/line.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "model/current_mode.hpp"
#include "util/complex_ad.hpp"

namespace {
using RowMajorXcd = Eigen::Matrix<complex_d, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

Eigen::MatrixXcd read_row_major(const complex_d* data, int n) {
  if (n == 0) return Eigen::MatrixXcd(0, 0);
  return Eigen::Map<const RowMajorXcd>(data, n, n);
}

// LU with partial pivoting solved against the identity. Deliberately no
// singularity test: a singular matrix gives non-finite entries, which the
// solvers report as NaN failures.
Eigen::MatrixXcd dense_inverse(const Eigen::MatrixXcd& m) {
  if (m.size() == 0) return m;
  return m.partialPivLu().inverse();
}

void require_one_conductor(int n) {
  if (n != 1)
    throw std::invalid_argument(
        fmt::format("a one-value line update needs a line of one conductor, this line has {}", n));
}

// Largest |new_i - old_i| over the conductors; NaN as soon as a difference
// has a NaN part at any conductor (hypot alone would turn (inf, NaN) into
// inf).
double largest_change(const Eigen::VectorXcd& fresh, const Eigen::VectorXcd& old) {
  double change = 0.0;
  for (Eigen::Index i = 0; i < fresh.size(); ++i) {
    const complex_d d = fresh(i) - old(i);
    if (has_nan(d)) return std::numeric_limits<double>::quiet_NaN();
    const double m = modulus(d);
    if (i == 0 || m > change) change = m;
  }
  return change;
}

void write_potentials(const std::vector<Port*>& side, const Eigen::VectorXcd& values) {
  for (size_t i = 0; i < side.size(); ++i) side[i]->connection->potential.set_value(values(i));
}

// The solver slot of a port's node potential; empty for a node the solver
// does not hold (a reference node).
double* potential_slot(const Port* port) {
  const Connection& node = *port->connection;
  return (!node.is_reference && node.potential.bound) ? node.potential.value_ptr : nullptr;
}

// out = a x - b y, in the sweep's kept storage.
void chain_step(Eigen::VectorXcd& out, const Eigen::MatrixXcd& a, const Eigen::VectorXcd& x, const Eigen::MatrixXcd& b,
                const Eigen::VectorXcd& y) {
  out.setZero(a.rows());
  out.noalias() += a * x;
  out.noalias() -= b * y;
}
}  // namespace

// ---------------------------------------------------------------- simplified

SimplifiedLine::SimplifiedLine(int n, const complex_d* z_line)
    : Line(n, n), admittance(dense_inverse(read_row_major(z_line, n))) {}

void SimplifiedLine::update_line_parameters(const complex_d* z_line) {
  admittance.set_value(dense_inverse(read_row_major(z_line, port_count() / 2)));
}

void SimplifiedLine::update_single_line_parameters(complex_d z_line) {
  require_one_conductor(conductor_count());
  update_line_parameters(&z_line);
}

void SimplifiedLine::parameter_holders(HolderVisitor& visitor) { visitor.visit(admittance); }

template <class C>
void SimplifiedLine::compute_currents() {
  using M = CurrentMode<C>;
  using Vector = typename M::Vector;
  const Vector v1 = M::side_potentials(*this, 1);
  const Vector v2 = M::side_potentials(*this, 2);
  Vector dv(v1.size());
  for (Eigen::Index i = 0; i < dv.size(); ++i) dv(i) = v1(i) - v2(i);
  const Vector i1 = M::apply(admittance, dv);
  Vector i2(i1.size());
  for (Eigen::Index i = 0; i < i2.size(); ++i) i2(i) = -i1(i);
  M::set_currents(*this, i1, i2);
}

template void SimplifiedLine::compute_currents<complex_d>();
template void SimplifiedLine::compute_currents<ad_complex>();

void SimplifiedLine::backward_step() {
  for (Port* p : side2) p->current = balancing_current(*p);
  for (size_t i = 0; i < side1.size(); ++i) side1[i]->current = -side2[i]->current;
}

double SimplifiedLine::forward_step() {
  if (conductor_count() == 0) return 0.0;
  SweepWork& w = sweep_;
  read_side_potentials(1, w.v1);
  read_side_currents(1, w.current);
  // The inverse of the held admittance, not the caller's impedance: the
  // admittance is what a parameter update changes. Equal bits give the same
  // inverse, so it is kept while they stay.
  admittance.read_value(w.y);
  const bool same = w.inverted && w.y.size() == w.y_inverted.size() &&
                    std::memcmp(w.y.data(), w.y_inverted.data(), sizeof(complex_d) * w.y.size()) == 0;
  if (!same) {
    w.lu.compute(w.y);
    w.z = w.lu.inverse();
    w.y_inverted = w.y;
    w.inverted = true;
  }
  w.v2.noalias() = w.v1 - w.z * w.current;
  read_side_potentials(2, w.old);
  const double change = largest_change(w.v2, w.old);
  write_potentials(side2, w.v2);
  return change;
}

// ---------------------------------------------------------------- shunt

ShuntLine::ShuntLine(int n, const complex_d* y_shunt, const complex_d* z_line)
    : Line(n, n, WithExtraPort{}), ground_port(&ports.back()) {
  Coefficients c = compute_matrices(n, y_shunt, z_line);
  y11 = MatrixVariable(std::move(c.y11));
  y12 = MatrixVariable(std::move(c.y12));
  y21 = MatrixVariable(std::move(c.y21));
  y22 = MatrixVariable(std::move(c.y22));
  y_ground = VectorVariable(c.y_ground.col(0));
  y2_ground = MatrixVariable(std::move(c.y2_ground));
  y1_ground = MatrixVariable(std::move(c.y1_ground));
}

ShuntLine::Coefficients ShuntLine::compute_matrices(int n, const complex_d* y_shunt, const complex_d* z_line) {
  const Eigen::MatrixXcd y = read_row_major(y_shunt, n);
  const Eigen::MatrixXcd z = read_row_major(z_line, n);
  const Eigen::MatrixXcd identity = Eigen::MatrixXcd::Identity(n, n);
  chain_a = identity + (z * 0.5) * y;
  chain_b = z;
  chain_c = y + ((y * 0.25) * z) * y;
  chain_d = identity + (y * 0.5) * z;
  if (n > 0) {
    chain_a00 = chain_a(0, 0);
    chain_b00 = chain_b(0, 0);
    chain_c00 = chain_c(0, 0);
    chain_d00 = chain_d(0, 0);
  }

  Eigen::MatrixXcd e(n, 1);  // minus half the row sums of Y
  for (int i = 0; i < n; ++i) {
    complex_d sum(0.0, 0.0);
    for (int j = 0; j < n; ++j) sum += y(i, j);
    e(i, 0) = sum * -0.5;
  }
  const Eigen::MatrixXcd u = z * e;
  const Eigen::MatrixXcd w = 2.0 * e + ((y * 0.5) * z) * e;

  const Eigen::MatrixXcd b_inv = dense_inverse(chain_b);
  const Eigen::MatrixXcd d_b_inv = chain_d * b_inv;
  Coefficients c;
  c.y11 = d_b_inv;
  c.y12 = chain_c - d_b_inv * chain_a;
  c.y21 = -b_inv;
  c.y22 = b_inv * chain_a;
  c.y_ground = e;
  c.y2_ground = w - d_b_inv * u;
  c.y1_ground = b_inv * u;
  return c;
}

void ShuntLine::update_line_parameters(const complex_d* y_shunt, const complex_d* z_line) {
  const Coefficients c = compute_matrices(port_count() / 2, y_shunt, z_line);
  y11.set_value(c.y11);
  y12.set_value(c.y12);
  y21.set_value(c.y21);
  y22.set_value(c.y22);
  y_ground.set_value(c.y_ground.col(0));
  y2_ground.set_value(c.y2_ground);
  y1_ground.set_value(c.y1_ground);
}

void ShuntLine::update_single_line_parameters(complex_d y_shunt, complex_d z_line) {
  require_one_conductor(conductor_count());
  update_line_parameters(&y_shunt, &z_line);
}

void ShuntLine::parameter_holders(HolderVisitor& visitor) {
  visitor.visit(y11);
  visitor.visit(y12);
  visitor.visit(y21);
  visitor.visit(y22);
  visitor.visit(y_ground);
  visitor.visit(y2_ground);
  visitor.visit(y1_ground);
}

void ShuntLine::after_binding() {
  other_side2_currents.clear();
  if (conductor_count() == 0) return;
  side1_current = &side1[0]->current;
  side2_current = &side2[0]->current;
  ground_current = &ground_port->current;
  for (Port* p : side2[0]->connection->ports)
    if (p != side2[0]) other_side2_currents.push_back(&p->current);
}

template <class C>
void ShuntLine::compute_currents() {
  using M = CurrentMode<C>;
  using Vector = typename M::Vector;
  const Eigen::Index n = conductor_count();
  const Vector v1 = M::side_potentials(*this, 1);
  const Vector v2 = M::side_potentials(*this, 2);
  const C vg = M::potential(ground_port);
  const Vector p11 = M::apply(y11, v1), p12 = M::apply(y12, v2);
  const Vector p21 = M::apply(y21, v1), p22 = M::apply(y22, v2);
  const auto g1 = M::value(y1_ground), g2 = M::value(y2_ground);
  const auto e = M::value(y_ground);
  Vector i1(n), i2(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    i1(i) = (p11(i) + p12(i)) + M::multiply(g1(i, 0), vg);
    i2(i) = (p21(i) + p22(i)) + M::multiply(g2(i, 0), vg);
  }
  const C two_vg = M::twice(vg);
  C ig = M::zero();
  for (Eigen::Index k = 0; k < n; ++k) {
    const C term = M::multiply(e(k), (v1(k) + v2(k)) - two_vg);
    ig = k == 0 ? term : ig + term;
  }
  M::set_currents(*this, i1, i2);
  M::current(*ground_port) = ig;
}

template void ShuntLine::compute_currents<complex_d>();
template void ShuntLine::compute_currents<ad_complex>();

// The one-conductor sweeps run through the solver slots the end nodes hold
// now; an end node without one (a reference node, or a node whose solver
// has gone) takes the general path, which reads such a node by the read rule.
bool ShuntLine::single_conductor_backward() const {
  return conductor_count() == 1 && potential_slot(side2[0]) != nullptr && side2_list_unchanged();
}

// The cached currents belong to the ports listed at the side-2 node when the
// line was bound. Once that list has changed (a port taken out by its
// element's destruction or a disconnect, or ports moved by a later merge) a
// cached pointer may name a freed port, and the general path reads the list
// as it is. Only pointer values are compared here, nothing is read through them.
bool ShuntLine::side2_list_unchanged() const {
  size_t k = 0;
  for (const Port* p : side2[0]->connection->ports) {
    if (p == side2[0]) continue;
    if (k == other_side2_currents.size() || other_side2_currents[k] != &p->current) return false;
    ++k;
  }
  return k == other_side2_currents.size();
}

bool ShuntLine::single_conductor_forward() const {
  return conductor_count() == 1 && potential_slot(side1[0]) != nullptr && potential_slot(side2[0]) != nullptr;
}

void ShuntLine::backward_step() {
  if (single_conductor_backward()) {
    double re = 0.0, im = 0.0;
    for (const complex_d* c : other_side2_currents) {
      re -= c->real();
      im -= c->imag();
    }
    const complex_d i2(re, im);
    *side2_current = i2;
    const double* side2_slot = potential_slot(side2[0]);
    const complex_d v2(side2_slot[0], side2_slot[1]);
    const complex_d i1 = complex_multiply(chain_c00, v2) - complex_multiply(chain_d00, i2);
    *side1_current = i1;
    *ground_current = complex_d(-i1.real() - i2.real(), -i1.imag() - i2.imag());
    return;
  }
  for (Port* p : side2) p->current = balancing_current(*p);
  Eigen::VectorXcd& v2 = sweep_.a;
  Eigen::VectorXcd& i2 = sweep_.b;
  Eigen::VectorXcd& i1 = sweep_.c;
  read_side_potentials(2, v2);
  read_side_currents(2, i2);
  chain_step(i1, chain_c, v2, chain_d, i2);
  double re1 = 0.0, im1 = 0.0, re2 = 0.0, im2 = 0.0;
  for (Eigen::Index i = 0; i < i1.size(); ++i) {
    side1[i]->current = i1(i);
    re1 += i1(i).real();
    im1 += i1(i).imag();
    re2 += i2(i).real();
    im2 += i2(i).imag();
  }
  ground_port->current = complex_d(-re1 - re2, -im1 - im2);
}

double ShuntLine::forward_step() {
  if (single_conductor_forward()) {
    const double* side1_slot = potential_slot(side1[0]);
    double* side2_slot = potential_slot(side2[0]);
    const complex_d v1(side1_slot[0], side1_slot[1]);
    const complex_d v2_old(side2_slot[0], side2_slot[1]);
    const complex_d v2_new = complex_multiply(chain_a00, v1) - complex_multiply(chain_b00, *side1_current);
    // Only the slot: the node's stored value keeps its pre-solve value.
    side2_slot[0] = v2_new.real();
    side2_slot[1] = v2_new.imag();
    return change_measure(v2_new - v2_old);
  }
  if (conductor_count() == 0) return 0.0;
  Eigen::VectorXcd& v1 = sweep_.a;
  Eigen::VectorXcd& i1 = sweep_.b;
  Eigen::VectorXcd& v2_new = sweep_.c;
  Eigen::VectorXcd& v2_old = sweep_.d;
  read_side_potentials(1, v1);
  read_side_currents(1, i1);
  chain_step(v2_new, chain_a, v1, chain_b, i1);
  read_side_potentials(2, v2_old);
  const double change = largest_change(v2_new, v2_old);
  write_potentials(side2, v2_new);
  return change;
}
