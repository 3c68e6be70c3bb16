#include "model/branch.hpp"

#include <limits>
#include <stdexcept>

#include <fmt/format.h>

namespace {
int total_ports(int n1, int n2, int extra) {
  // Negative side counts, and totals no port count can hold, fail as a
  // negative port count would.
  const long long total = static_cast<long long>(n1) + n2 + extra;
  if (n1 < 0 || n2 < 0 || total > std::numeric_limits<int>::max()) return -1;
  return static_cast<int>(total);
}

// More values than ports would write past the side.
void check_value_count(Eigen::Index m, size_t k) {
  if (m > static_cast<Eigen::Index>(k))
    throw std::out_of_range(fmt::format("{} currents given for a side of {} ports", m, k));
}

void check_read_count(int n, size_t k) {
  if (n < 0 || static_cast<size_t>(n) > k)
    throw std::out_of_range(fmt::format("{} potentials asked of a side of {} ports", n, k));
}

void assign_side(const std::vector<Port*>& ports, const Eigen::VectorXcd& values) {
  const Eigen::Index m = values.size();
  for (Eigen::Index i = 0; i < m; ++i) ports[i]->current = values(i);
  if (m < static_cast<Eigen::Index>(ports.size())) {
    double re = 0.0, im = 0.0;
    for (Eigen::Index i = 0; i < m; ++i) {
      re -= values(i).real();
      im -= values(i).imag();
    }
    ports.back()->current = complex_d(re, im);
  }
}

void assign_side_ad(const std::vector<Port*>& ports, const VectorXad& values) {
  const Eigen::Index m = values.size();
  for (Eigen::Index i = 0; i < m; ++i) ports[i]->current_ad = values(i);
  if (m < static_cast<Eigen::Index>(ports.size())) {
    ad_double re(0.0), im(0.0);
    for (Eigen::Index i = 0; i < m; ++i) {
      re = re - values(i).real();
      im = im - values(i).imag();
    }
    ports.back()->current_ad = ad_complex(re, im);
  }
}
}  // namespace

Branch::Branch(int n1, int n2) : Element(total_ports(n1, n2, 0)) { split_sides(n1, n2); }

Branch::Branch(int n1, int n2, WithExtraPort) : Element(total_ports(n1, n2, 1)) { split_sides(n1, n2); }

void Branch::split_sides(int n1, int n2) {
  side1.reserve(static_cast<size_t>(n1));
  side2.reserve(static_cast<size_t>(n2));
  for (int i = 0; i < n1; ++i) side1.push_back(&ports[i]);
  for (int i = 0; i < n2; ++i) side2.push_back(&ports[n1 + i]);
}

void Branch::connect_side(Element& other, const std::vector<std::pair<int, int>>& pairs, bool beginning) {
  const std::vector<Port*>& side = beginning ? side1 : side2;
  for (const auto& [i, j] : pairs) other.ports[static_cast<size_t>(j)].connection->merge(side[static_cast<size_t>(i)]);
}

void Branch::get_side_potentials(int n1, int n2, complex_d* out1, complex_d* out2) const {
  check_read_count(n1, side1.size());
  check_read_count(n2, side2.size());
  for (int i = 0; i < n1; ++i) out1[i] = side1[i]->connection->get_potential();
  for (int j = 0; j < n2; ++j) out2[j] = side2[j]->connection->get_potential();
}

Eigen::VectorXcd Branch::get_side_potentials_values(int which) const {
  const auto& s = side(which);
  Eigen::VectorXcd v(static_cast<Eigen::Index>(s.size()));
  for (size_t i = 0; i < s.size(); ++i) v(i) = s[i]->connection->get_potential();
  return v;
}

VectorXad Branch::get_side_potentials_ad(int which) const {
  const auto& s = side(which);
  VectorXad v(static_cast<Eigen::Index>(s.size()));
  for (size_t i = 0; i < s.size(); ++i) v(i) = s[i]->connection->get_potential_ad();
  return v;
}

Eigen::VectorXcd Branch::get_side_currents(int which) const {
  const auto& s = side(which);
  Eigen::VectorXcd v(static_cast<Eigen::Index>(s.size()));
  for (size_t i = 0; i < s.size(); ++i) v(i) = s[i]->current;
  return v;
}

void Branch::read_side_potentials(int which, Eigen::VectorXcd& out) const {
  const auto& s = side(which);
  out.resize(static_cast<Eigen::Index>(s.size()));
  for (size_t i = 0; i < s.size(); ++i) out(i) = s[i]->connection->get_potential();
}

void Branch::read_side_currents(int which, Eigen::VectorXcd& out) const {
  const auto& s = side(which);
  out.resize(static_cast<Eigen::Index>(s.size()));
  for (size_t i = 0; i < s.size(); ++i) out(i) = s[i]->current;
}

void Branch::set_side_currents_ad(const VectorXad& i1, const VectorXad& i2) {
  check_value_count(i1.size(), side1.size());
  check_value_count(i2.size(), side2.size());
  assign_side_ad(side1, i1);
  assign_side_ad(side2, i2);
}

void Branch::set_side_currents(const Eigen::VectorXcd& i1, const Eigen::VectorXcd& i2) {
  check_value_count(i1.size(), side1.size());
  check_value_count(i2.size(), side2.size());
  assign_side(side1, i1);
  assign_side(side2, i2);
}
