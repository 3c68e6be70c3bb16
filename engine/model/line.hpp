#pragma once
// Lines: the series-impedance line and the pi-section line with a ground port.

#include <vector>

#include <Eigen/Dense>

#include "model/branch.hpp"

// What the two lines share: n conductors, side-1 port i and side-2 port i
// being the two ends of conductor i.
template <class T>
class Line : public ElementImpl<T, Branch> {
 public:
  using ElementImpl<T, Branch>::ElementImpl;

  // Values of an n by n matrix argument (row-major), in 64 bits; none for a
  // negative n, which the constructors refuse as a length error.
  static long long matrix_entries(int n) { return n > 0 ? static_cast<long long>(n) * n : 0; }

  int conductor_count() const { return static_cast<int>(this->side1.size()); }
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

  void parameter_holders(HolderVisitor& visitor) override;
  // I1 = Y (V1 - V2), I2 = -I1.
  template <class C>
  void compute_currents();
  void backward_step() override;
  double forward_step() override;

 private:
  // Work of the forward step, sized at its first call. The impedance is
  // inverted again only when the admittance it came from has changed.
  struct SweepWork {
    Eigen::VectorXcd v1, current, v2, old;
    Eigen::MatrixXcd y, y_inverted, z;
    Eigen::PartialPivLU<Eigen::MatrixXcd> lu;
    bool inverted = false;
  };
  SweepWork sweep_;
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
  // Filled by after_binding for the one-conductor sweeps, which read the
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

  void parameter_holders(HolderVisitor& visitor) override;
  // Has no variable: caches the end ports' currents.
  void after_binding() override;
  // I1 = y11 V1 + y12 V2 + y1_ground Vg, I2 = y21 V1 + y22 V2 + y2_ground Vg,
  // and the ground port the sum over k of y_ground(k) (V1(k) + V2(k) - 2 Vg).
  template <class C>
  void compute_currents();
  void backward_step() override;
  double forward_step() override;

 private:
  bool single_conductor_backward() const;
  bool side2_list_unchanged() const;
  bool single_conductor_forward() const;

  // Work of the general sweeps, sized at their first call.
  struct SweepWork {
    Eigen::VectorXcd a, b, c, d;
  };
  SweepWork sweep_;
};
