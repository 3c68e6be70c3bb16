#pragma once
// Three-phase two-winding transformer: the two-winding model applied to the
// three legs, with constant real matrices for the winding connections
// ("D"/"Y" on side 1, "d"/"y"/"z" on side 2) and the clock number. A star or
// zigzag side has four ports, the neutral last; a delta side has three.

#include <string>
#include <utility>

#include <Eigen/Dense>

#include "model/transformer.hpp"

class ThreePhaseTransformer : public Transformer<ThreePhaseTransformer> {
 public:
  Eigen::Matrix3d hv_current_matrix;        // HV winding currents -> side-1 phase currents
  Eigen::MatrixXd hv_voltage_matrix;        // side-1 potentials -> HV winding voltages
  Eigen::Matrix3d lv_current_matrix;        // LV winding currents -> side-2 phase currents
  Eigen::Matrix3d voltage_coupling_matrix;  // LV voltages induced per unit ratio of HV voltages
  Eigen::MatrixXd lv_voltage_matrix;        // side-2 potentials -> LV winding voltages
  Eigen::Matrix3d current_coupling_matrix;  // HV currents balancing per unit ratio the LV currents
  double clock_sign;
  int clock;
  std::string whv;
  std::string wlv;

  // Throws std::runtime_error for a winding name outside the accepted ones
  // (the HV name first), then std::invalid_argument when n1 or n2 is not the
  // port count of its winding (3 for "D"/"d", 4 for "Y"/"y"/"z").
  ThreePhaseTransformer(int n1, int n2, std::string whv, std::string wlv, complex_d z2, complex_d ym, double k,
                        int clock);

  template <class C>
  void compute_currents();
  void backward_step() override;
  std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
  std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;
};
