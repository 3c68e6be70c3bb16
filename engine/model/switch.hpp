#pragma once
// Switches: the closed switch ties the two side potentials of every conductor
// together through current variables of its own; the open one carries nothing.

#include <vector>

#include "model/branch.hpp"

class Switch : public Branch {
 public:
  // Current of conductor i from the side-1 node through the switch into the
  // side-2 node; solver variables.
  std::vector<Variable> currents;

  explicit Switch(int n);

  void append_variable_values(std::vector<double>& x0) override;
  void bind_variables(TapeArray& X, Eigen::VectorXd& x, int& index) override;
  void update_port_currents(bool on_tape) override;
  void append_equations(TapeArray& y, int& index) override;
  void backward_step() override;
  // Copies the side-1 potentials to the side-2 nodes; reports no change.
  double forward_step() override;
};

class OpenSwitch : public Branch {
 public:
  explicit OpenSwitch(int n);

  void update_port_currents(bool on_tape) override;
  void backward_step() override;
};
