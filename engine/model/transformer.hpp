#pragma once
// Transformers: side 1 is the primary, side 2 the secondary. All kinds share
// one two-winding model: the magnetising admittance ym on the primary winding
// voltage U1, an ideal ratio k, then the series impedance z2 on the secondary:
//   I2 = (U2 - k U1) / z2,   I1 = ym U1 - conj(k) I2.
// z2, ym and k are dynamic parameters of the tape; transformers have no
// variables and no equations of their own.

#include <utility>
#include <vector>

#include "model/branch.hpp"
#include "model/variables.hpp"

class TransformerBase : public Branch {
 public:
  Variable z2;
  Variable ym;
  Variable k;

  TransformerBase(int n1, int n2, complex_d z2, complex_d ym, complex_d k);
  ~TransformerBase() override = default;

  void parameter_holders(HolderVisitor& visitor) override;

  // Open-circuit and short-circuit tests at the rated voltages uhv, ulv (V)
  // and power sn (VA). Each writes its test potentials on the transformer's
  // nodes (through to a bound solver), leaves the plain currents on the
  // ports and returns (active power into side 1, per-unit ratio).
  virtual std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) = 0;
  virtual std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) = 0;

  // Sets the three holders, through to a bound solver's parameter array.
  void update_transformer_parameters(complex_d z2, complex_d ym, complex_d k);

 protected:
  // The backward step of the kinds that have none.
  [[noreturn]] static void refuse_backward_step();

  struct TestPotential {
    int port;
    complex_d value;
  };
  // Writes each potential on its port's node in the order given (a node
  // shared by two ports keeps the later value), recomputes the plain
  // currents and returns the active power entering side 1.
  double run_test(const std::vector<TestPotential>& writes);
};

// Intermediate of the concrete transformers, parameterised by the concrete
// class; it carries nothing of its own.
template <class T>
class Transformer : public ElementImpl<T, TransformerBase> {
 public:
  using ElementImpl<T, TransformerBase>::ElementImpl;
};

// Two ports per side: side 1 = (0, 1), side 2 = (2, 3). Complex ratio.
class SingleTransformer : public Transformer<SingleTransformer> {
 public:
  SingleTransformer(complex_d z2, complex_d ym, complex_d k);

  template <class C>
  void compute_currents();
  void backward_step() override;
  double forward_step() override;
  std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
  std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;
};

// Split-phase secondary: side 1 = (0, 1), side 2 = outer terminals a, b and
// the centre tap n (ports 2, 3, 4). Each half winding has ratio Re(k)/2 and
// series impedance z2/2. Only the real part of k enters the currents.
class CenterTransformer : public Transformer<CenterTransformer> {
 public:
  CenterTransformer(complex_d z2, complex_d ym, double k);

  template <class C>
  void compute_currents();
  void backward_step() override;
  std::pair<double, double> compute_open_circuit_parameters(double uhv, double ulv, double sn) override;
  std::pair<double, double> compute_short_circuit_parameters(double uhv, double ulv, double sn) override;
};
