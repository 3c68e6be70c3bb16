#pragma once
// Small element models local to the tests: each writes its equations out in
// full so that a test can evaluate them by hand.

#include <stdexcept>

#include "model/element.hpp"
#include "util/complex_ad.hpp"

namespace local {

inline ad_complex tape_zero() { return {ad_double(0.0), ad_double(0.0)}; }

// Two ports; I = Y (V0 - V1) enters at port 0 and leaves at port 1. Y is a
// dynamic parameter.
struct Admittance : Element {
  Variable y;
  explicit Admittance(complex_d admittance) : Element(2), y(admittance) {}
  void append_parameter_values(std::vector<double>& p0) override { y.append_value(p0); }
  void bind_parameters(TapeArray& P, Eigen::VectorXd& p, int& c) override { y.bind(P, p, c); }
  void update_port_currents(bool on_tape) override {
    if (on_tape) {
      const ad_complex a = ports[0].connection->get_potential_ad(), b = ports[1].connection->get_potential_ad();
      const ad_double dr = a.real() - b.real(), di = a.imag() - b.imag();
      const ad_complex i(y.ad.real() * dr - y.ad.imag() * di, y.ad.real() * di + y.ad.imag() * dr);
      ports[0].current_ad = i;
      ports[1].current_ad = ad_complex(-i.real(), -i.imag());
    } else {
      backward_step();
    }
  }
  void backward_step() override {
    const complex_d i = complex_multiply(y.get_value(), ports[0].connection->get_potential() -
                                                            ports[1].connection->get_potential());
    ports[0].current = i;
    ports[1].current = -i;
  }
};

// Two ports; constant power S = (V0 - V1) conj(I).
struct PowerLoad : Element {
  Variable s;
  explicit PowerLoad(complex_d power) : Element(2), s(power) {}
  void append_parameter_values(std::vector<double>& p0) override { s.append_value(p0); }
  void bind_parameters(TapeArray& P, Eigen::VectorXd& p, int& c) override { s.bind(P, p, c); }
  void update_port_currents(bool on_tape) override {
    if (on_tape) {
      const ad_complex a = ports[0].connection->get_potential_ad(), b = ports[1].connection->get_potential_ad();
      // conj(S / dV) = conj(S) / conj(dV)
      const ad_complex i = ad_divide(ad_complex(s.ad.real(), -s.ad.imag()),
                                     ad_complex(a.real() - b.real(), b.imag() - a.imag()));
      ports[0].current_ad = i;
      ports[1].current_ad = ad_complex(-i.real(), -i.imag());
    } else {
      backward_step();
    }
  }
  void backward_step() override {
    const complex_d dv = ports[0].connection->get_potential() - ports[1].connection->get_potential();
    const complex_d i = std::conj(complex_divide(s.get_value(), dv));
    ports[0].current = i;
    ports[1].current = -i;
  }
};

// Series impedance from port 0 (upstream) to port 1 (downstream).
struct SeriesImpedance : Element {
  complex_d z;
  explicit SeriesImpedance(complex_d impedance) : Element(2), z(impedance) {}
  void update_port_currents(bool on_tape) override {
    if (on_tape) {
      const ad_complex a = ports[0].connection->get_potential_ad(), b = ports[1].connection->get_potential_ad();
      const ad_complex i = ad_divide(ad_complex(a.real() - b.real(), a.imag() - b.imag()),
                                     ad_complex(ad_double(z.real()), ad_double(z.imag())));
      ports[0].current_ad = i;
      ports[1].current_ad = ad_complex(-i.real(), -i.imag());
    } else {
      const complex_d i = complex_divide(ports[0].connection->get_potential() - ports[1].connection->get_potential(), z);
      ports[0].current = i;
      ports[1].current = -i;
    }
  }
  void backward_step() override {
    ports[1].current = balancing_current(ports[1]);
    ports[0].current = -ports[1].current;
  }
  double forward_step() override {
    Variable& downstream = ports[1].connection->potential;
    const complex_d before = ports[1].connection->get_potential();
    const complex_d after = ports[0].connection->get_potential() - complex_multiply(z, ports[0].current);
    downstream.set_value(after);
    return change_measure(after - before);
  }
};

// No ports; one own complex variable v with the equations
// Re v * Re v + c = 0 and Im v = 0. With v starting at 1 and c = 1 the
// first Newton step lands on v = 0, where the Jacobian is singular.
struct Quadratic : Element {
  Variable v;
  double c;
  Quadratic(complex_d start, double constant) : Element(0), v(start), c(constant) {}
  void append_variable_values(std::vector<double>& x0) override { v.append_value(x0); }
  void bind_variables(TapeArray& X, Eigen::VectorXd& x, int& i) override { v.bind(X, x, i); }
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

}  // namespace local
