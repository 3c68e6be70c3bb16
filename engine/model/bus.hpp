#pragma once
// The simplest elements: the bus that gathers conductors and gives them
// initial potentials, the ground, the potential reference that fixes its node
// at zero, and the delta reference that fixes the sum of its potentials.

#include "model/current_mode.hpp"
#include "model/element.hpp"

class Bus : public ElementImpl<Bus> {
 public:
  // Port i starts on a node of its own at potentials[i].
  Bus(int n, const complex_d* potentials);

  // Writes potentials[i] to the node of port i (through to a bound solver).
  void initialize_potentials(const complex_d* potentials);

  template <class C>
  void compute_currents() {
    zero_port_currents<C>(ports);
  }
  void backward_step() override;
};

// One port carrying no current; its node stays an ordinary node.
class Ground : public ElementImpl<Ground> {
 public:
  Ground();

  template <class C>
  void compute_currents() {
    zero_port_currents<C>(ports);
  }
  void backward_step() override;
};

class PotentialRef : public ElementImpl<PotentialRef> {
 public:
  PotentialRef();

  // Sum of the plain currents of every port listed at the reference node.
  complex_d get_current() const;

  template <class C>
  void compute_currents() {
    zero_port_currents<C>(ports);
  }
  void backward_step() override;
  double forward_step() override;
};

// The sum of the n node potentials is held at zero by one current variable,
// which enters at port 0.
class DeltaPotentialRef : public ElementImpl<DeltaPotentialRef> {
 public:
  Variable current;

  explicit DeltaPotentialRef(int n);

  // Plain current of port 0 (0 for a reference without ports).
  complex_d get_current() const { return ports.empty() ? complex_d(0.0, 0.0) : ports[0].current; }

  void variable_holders(HolderVisitor& visitor) override;
  template <class C>
  void compute_currents() {
    zero_port_currents<C>(ports);
    if (!ports.empty()) CurrentMode<C>::current(ports[0]) = CurrentMode<C>::value(current);
  }
  void append_equations(TapeArray& y, int& index) override;
  void backward_step() override;
  double forward_step() override;
};
