#pragma once
// Lines: the series-impedance line and the pi-section line with a ground port.

#include <vector>

#include <Eigen/Dense>

#include "model/branch.hpp"

// What the two lines share: n conductors, side-1 port i and side-2 port i
// being the two ends of conductor i.
template <class T>
class Line : public Branch {
 public:
  using Branch::Branch;

  int conductor_count() const { return static_cast<int>(side1.size()); }
};

class SimplifiedLine : public Line<SimplifiedLine> {
 public:
  // Y = Z^-1; a dynamic parameter, so a new impedance needs no new tape.
  MatrixVariable admittance;

  // z_line: n * n values, row-major.
  SimplifiedLine(int n, const complex_d* z_line);

  // Replaces the impedance (n * n values, row-major); writes through to a
  // bound parameter array.
  void update_line_parameters(const complex_d* z_line);
  // The one-value form; throws std::invalid_argument unless the line has
  // exactly one conductor.
  void update_single_line_parameters(complex_d z_line);

  void append_parameter_values(std::vector<double>& p0) override;
  void bind_parameters(TapeArray& P, Eigen::VectorXd& p, int& index) override;
  void update_port_currents(bool on_tape) override;
  void backward_step() override;
  double forward_step() override;
};

class ShuntLine : public Line<ShuntLine> {
 public:
  // The seven coefficient blocks that give the port currents from the side
  // potentials and the ground-port potential, in holder order.
  struct Coefficients {
    Eigen::MatrixXcd y11, y12, y21, y22, y_ground, y2_ground, y1_ground;
  };

  Port* ground_port;
  MatrixVariable y11;
  MatrixVariable y12;
  MatrixVariable y21;
  MatrixVariable y22;
  VectorVariable y_ground;
  MatrixVariable y2_ground;  // n x 1
  MatrixVariable y1_ground;  // n x 1
  // Chain matrices: V2 = A V1 - B I1 and I1 = C V2 - D I2; plain values
  // driving the sweeps.
  Eigen::MatrixXcd chain_a, chain_b, chain_c, chain_d;
  complex_d chain_a00, chain_b00, chain_c00, chain_d00;
  // Filled by bind_variables for the one-conductor sweeps, which read the
  // end nodes' solver slots through the nodes at each step: a slot kept
  // here could outlive the solver that owns it.
  std::vector<complex_d*> other_side2_currents;
  complex_d* side1_current = nullptr;
  complex_d* side2_current = nullptr;
  complex_d* ground_current = nullptr;

  // y_shunt and z_line: n * n values each, row-major.
  ShuntLine(int n, const complex_d* y_shunt, const complex_d* z_line);

  // Sets the chain matrices and returns the coefficient blocks.
  Coefficients compute_matrices(int n, const complex_d* y_shunt, const complex_d* z_line);
  void update_line_parameters(const complex_d* y_shunt, const complex_d* z_line);
  // The one-value form; throws std::invalid_argument unless the line has
  // exactly one conductor.
  void update_single_line_parameters(complex_d y_shunt, complex_d z_line);

  void append_parameter_values(std::vector<double>& p0) override;
  // Consumes no variable: caches the end ports' currents.
  void bind_variables(TapeArray& X, Eigen::VectorXd& x, int& index) override;
  void bind_parameters(TapeArray& P, Eigen::VectorXd& p, int& index) override;
  void update_port_currents(bool on_tape) override;
  void backward_step() override;
  double forward_step() override;

 private:
  bool single_conductor_backward() const;
  bool side2_list_unchanged() const;
  bool single_conductor_forward() const;
};
