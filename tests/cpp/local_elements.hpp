#pragma once
// Small element models local to the tests: each writes its equations out in
// full so that a test can evaluate them by hand.

#include <stdexcept>

#include "model/bus.hpp"
#include "model/element.hpp"
#include "model/network.hpp"
#include "model/voltage_source.hpp"
#include "util/complex_ad.hpp"

namespace local {

inline ad_complex tape_zero() { return {ad_double(0.0), ad_double(0.0)}; }

// Two ports; the current I(value, V0 - V1) of Law enters at port 0 and
// leaves at port 1. The value is a dynamic parameter.
template <class Law>
struct TwoPortLoad : Element {
  Variable value;
  explicit TwoPortLoad(complex_d v) : Element(2), value(v) {}
  void parameter_holders(HolderVisitor& visitor) override { visitor.visit(value); }
  void update_port_currents(bool on_tape) override {
    if (!on_tape) return backward_step();
    const ad_complex a = ports[0].connection->get_potential_ad(), b = ports[1].connection->get_potential_ad();
    const ad_complex i = Law::current(value.ad, ad_complex(a.real() - b.real(), a.imag() - b.imag()));
    ports[0].current_ad = i;
    ports[1].current_ad = ad_complex(-i.real(), -i.imag());
  }
  void backward_step() override {
    const complex_d i =
        Law::current(value.get_value(), ports[0].connection->get_potential() - ports[1].connection->get_potential());
    ports[0].current = i;
    ports[1].current = -i;
  }
};

// I = Y dV
struct AdmittanceLaw {
  static ad_complex current(const ad_complex& y, const ad_complex& dv) {
    return {y.real() * dv.real() - y.imag() * dv.imag(), y.real() * dv.imag() + y.imag() * dv.real()};
  }
  static complex_d current(complex_d y, complex_d dv) { return complex_multiply(y, dv); }
};

// I = conj(S / dV) = conj(S) / conj(dV)
struct PowerLaw {
  static ad_complex current(const ad_complex& s, const ad_complex& dv) {
    return ad_divide(ad_complex(s.real(), -s.imag()), ad_complex(dv.real(), -dv.imag()));
  }
  static complex_d current(complex_d s, complex_d dv) { return std::conj(complex_divide(s, dv)); }
};

using Admittance = TwoPortLoad<AdmittanceLaw>;
using PowerLoad = TwoPortLoad<PowerLaw>;

// No ports; one own complex variable v with the equations
// Re v * Re v + c = 0 and Im v = 0. With v starting at 1 and c = 1 the
// first Newton step lands on v = 0, where the Jacobian is singular.
struct Quadratic : Element {
  Variable v;
  double c;
  Quadratic(complex_d start, double constant) : Element(0), v(start), c(constant) {}
  void variable_holders(HolderVisitor& visitor) override { visitor.visit(v); }
  void update_port_currents(bool) override {}
  void append_equations(TapeArray& y, int& i) override {
    y[i] = v.ad.real() * v.ad.real() + c;
    y[i + 1] = v.ad.imag();
    i += 2;
  }
};

// Fails while its equations are recorded.
struct Faulty : Element {
  Faulty() : Element(1) {}
  void update_port_currents(bool) override {}
  void append_equations(TapeArray&, int&) override { throw std::runtime_error("faulty element"); }
};

inline void join(Element& a, int pa, Element& b, int pb) { a.ports[pa].connection->merge(&b.ports[pb]); }

// Source U between node a and the reference, one load there. Elements
// [source, bus, load, reference]; x = [Re Va, Im Va, Re Is, Im Is].
template <class Load>
struct SingleLoadCase {
  complex_d u;
  VoltageSource src;
  Bus bus;
  Load load;
  PotentialRef ref;
  ElectricalNetwork net;
  SingleLoadCase(complex_d u_, complex_d value, complex_d start)
      : u(u_), src(2, &u), bus(1, &start), load(value), ref(), net(wire()) {}
  ElectricalNetwork wire() {
    join(bus, 0, src, 0);
    join(bus, 0, load, 0);
    join(src, 1, load, 1);
    join(src, 1, ref, 0);
    return ElectricalNetwork({&src, &bus, &load, &ref});
  }
  complex_d va() const { return bus.ports[0].connection->get_potential(); }
};

}  // namespace local
