#pragma once
// Two-sided elements: the first ports form side 1, the next ones side 2.

#include <utility>
#include <vector>

#include "model/element.hpp"

class Branch : public Element {
 public:
  std::vector<Port*> side1;
  std::vector<Port*> side2;

  struct WithExtraPort {};

  Branch(int n1, int n2);
  // n1 + n2 + 1 ports; the last one belongs to neither side.
  Branch(int n1, int n2, WithExtraPort);
  ~Branch() override = default;

  // Side index i of side 1 (`beginning`) or side 2 with port j of `other`,
  // for each pair (i, j) in order; unlike Element::connect, the other
  // element's node survives each join.
  void connect_side(Element& other, const std::vector<std::pair<int, int>>& pairs, bool beginning);

  // Side selector: 1 selects side 1, every other value side 2.
  const std::vector<Port*>& side(int which) const { return which == 1 ? side1 : side2; }

  // Throws std::out_of_range when n1 or n2 exceeds its side's port count.
  void get_side_potentials(int n1, int n2, complex_d* out1, complex_d* out2) const;
  Eigen::VectorXcd get_side_potentials_values(int which) const;
  VectorXad get_side_potentials_ad(int which) const;
  Eigen::VectorXcd get_side_currents(int which) const;
  // The same values into `out`, which keeps its storage when already sized.
  void read_side_potentials(int which, Eigen::VectorXcd& out) const;
  void read_side_currents(int which, Eigen::VectorXcd& out) const;
  // Port i of a side takes value i; a side with one port more than values
  // gives its last port the negated sum of the values. More values than
  // ports is refused with std::out_of_range before anything is written.
  void set_side_currents_ad(const VectorXad& i1, const VectorXad& i2);
  void set_side_currents(const Eigen::VectorXcd& i1, const Eigen::VectorXcd& i2);

 private:
  void split_sides(int n1, int n2);
};
