#pragma once
// Four-conductor shunt element (three phases, neutral last) drawing the phase
// currents Y * (V_phase - V_neutral) through a fixed 3 x 3 admittance derived
// from transformer-like parameters; the neutral returns their sum.

#include "model/load.hpp"

class LoadBalancer : public Load<LoadBalancer> {
 public:
  static constexpr bool delta = false;

  // Y, a dynamic parameter: 18 doubles, row-major, real part first.
  MatrixVariable admittance;
  // Phase potential minus neutral potential, one row per phase.
  Eigen::Matrix<double, 3, 4> incidence;

  LoadBalancer(complex_d z2, complex_d ym, double k);
  ~LoadBalancer() override;

  void parameter_holders(HolderVisitor& visitor) override;
  template <class C>
  void compute_currents();
  void backward_step() override;

 private:
  Eigen::MatrixXcd sweep_admittance_;  // read by the backward step without allocating

  template <class C>
  void phase_to_neutral(C (&u)[3]) const;
  template <class C>
  void assign_port_currents(const C (&phase)[3]);
};
