#pragma once
// Switches: the closed switch ties the two side potentials of every conductor
// together through current variables of its own; the open one carries nothing.

#include <vector>

#include "model/branch.hpp"
#include "model/current_mode.hpp"

class Switch : public ElementImpl<Switch, Branch> {
 public:
  // Current of conductor i from the side-1 node through the switch into the
  // side-2 node; solver variables.
  std::vector<Variable> currents;

  explicit Switch(int n);

  void variable_holders(HolderVisitor& visitor) override;
  // Conductor i carries its current variable in at side 1 and out at side 2.
  template <class C>
  void compute_currents() {
    using M = CurrentMode<C>;
    for (size_t i = 0; i < side1.size(); ++i) {
      const C c = M::value(currents[i]);
      M::current(*side1[i]) = c;
      M::current(*side2[i]) = C(-c.real(), -c.imag());
    }
  }
  void append_equations(TapeArray& y, int& index) override;
  void backward_step() override;
  // Copies the side-1 potentials to the side-2 nodes; reports no change.
  double forward_step() override;
};

class OpenSwitch : public ElementImpl<OpenSwitch, Branch> {
 public:
  explicit OpenSwitch(int n);

  template <class C>
  void compute_currents() {
    for (size_t i = 0; i < side1.size(); ++i) {
      CurrentMode<C>::current(*side1[i]) = CurrentMode<C>::zero();
      CurrentMode<C>::current(*side2[i]) = CurrentMode<C>::zero();
    }
  }
  void backward_step() override;
};
