#pragma once
// Single-phase regulating transformer with a smoothly clipped automatic tap.

#include <cmath>
#include <vector>

#include "model/branch.hpp"

// Smooth max(x, 0): 0.5 (x + |x|) + log1p(exp(-k |x|)) / k, which equals
// ln(1 + e^(k x)) / k without overflowing for large k x. One form for plain
// and tape values; on the tape the operand order is what an optimised tape
// sums, so it stays as written.
template <class R>
R softplus(const R& x, double k) {
  using std::abs;
  using std::exp;
  using std::log1p;
  const R ax = abs(x);
  const R smooth = log1p(exp(-k * ax)) / k;
  return 0.5 * (x + ax) + smooth;
}

// Smooth min(max(t, 1 - a), 1 + a); k > 0 sets the sharpness.
template <class R>
R clip_tap(const R& t, double a, double k) {
  return ((1.0 - a) + softplus(t - (1.0 - a), k)) - softplus(t - (1.0 + a), k);
}

// Side 1 is the input (phase, neutral), side 2 the output (phase, neutral);
// the output neutral shares the input neutral's node from construction on.
class SingleVoltageRegulator : public ElementImpl<SingleVoltageRegulator, Branch> {
 public:
  Variable z2;           // series impedance of the winding
  Variable ym;           // magnetising admittance
  ScalarVariable u_ref;  // reference magnitude of the output voltage
  double u_range;        // the clipped tap lies in [1 - u_range, 1 + u_range]
  double alpha;          // sharpness of the clip; positive
  double phi;            // angle of the ratio, radians
  ScalarVariable tap;    // the unclipped tap; a solver variable

  SingleVoltageRegulator(complex_d z2, complex_d ym, double u_ref, double u_range, double alpha, double phi);

  // New parameters; with a live input voltage also a re-clamped tap and the
  // no-load output potential as the next starting point.
  void update_parameters(complex_d z2, complex_d ym, double u_ref);
  // The clipped present tap.
  double get_tap() const;
  // The clipped tap that an input voltage of magnitude u_in calls for.
  double compute_tap(double u_in) const;

  // The tap, starting from the no-load ratio while the input voltage is
  // live; then z2, ym, u_ref.
  void variable_holders(HolderVisitor& visitor) override;
  void parameter_holders(HolderVisitor& visitor) override;
  // I2 = (dV2 - kt dV1) / z2 and I1 = ym dV1 - conj(kt) I2, kt the clipped
  // tap at the angle phi.
  template <class C>
  void compute_currents();
  void append_equations(TapeArray& y, int& index) override;
  void backward_step() override;
  double forward_step() override;

 private:
  complex_d input_voltage() const;
  // min(1 + a, max(1 - a, u_ref / d)): the tap that puts u_ref on the output
  // at no load.
  double clamped_ratio(double d) const;
};
