#pragma once
// Helpers of the transformer tests: node writes, complex comparisons, and a
// tape recorded the way the network container and a Newton solver record it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

#include "model/element.hpp"

// An element with ports only, to put currents on a node.
struct CurrentProbe : Element {
  using Element::Element;
  void update_port_currents(bool) override {}
};

inline void set_potential(Port* port, complex_d v) { port->connection->potential.set_value(v); }

// |actual - expected| <= tol * max(1, |expected|).
inline void expect_close(complex_d actual, complex_d expected, double tol = 1e-12) {
  const double scale = std::max(1.0, std::abs(expected));
  EXPECT_LE(std::abs(actual - expected), tol * scale) << "actual " << actual << " expected " << expected;
}

// Records the element's tape currents with the non-reference node potentials
// as independent variables and its parameters as dynamic parameters, both
// bound to x and p like a solver binds them; then moves potentials and
// parameters to new values, evaluates the tape there and compares it with
// the plain currents at the same values. The holders stay bound to x and p.
struct TapeCheck {
  Eigen::VectorXd x, p;
  void expect_tape_matches_plain(Element& e, double shift);
};

inline void TapeCheck::expect_tape_matches_plain(Element& e, double shift) {
  std::vector<Connection*> nodes;
  for (Port& port : e.ports) {
    Connection* c = port.connection.get();
    if (!c->is_reference && std::find(nodes.begin(), nodes.end(), c) == nodes.end()) nodes.push_back(c);
  }
  std::vector<double> x0, p0;
  for (Connection* c : nodes) c->potential.append_value(x0);
  e.append_parameter_values(p0);

  TapeArray X(x0.begin(), x0.end()), P(p0.begin(), p0.end());
  CppAD::Independent(X, P);
  x = Eigen::Map<Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
  p = Eigen::Map<Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
  int ix = 0, ip = 0;
  for (Connection* c : nodes) c->potential.bind(X, x, ix);
  e.bind_parameters(P, p, ip);
  ASSERT_EQ(ip, static_cast<int>(p0.size()));
  e.update_port_currents(true);
  TapeArray Y;
  for (const Port& port : e.ports) {
    Y.push_back(port.current_ad.real());
    Y.push_back(port.current_ad.imag());
  }
  CppAD::ADFun<double> f(X, Y);

  // Other values than those recorded: the tape must follow its inputs.
  std::vector<double> x1(x0), p1(p0);
  for (size_t i = 0; i < x1.size(); ++i) x1[i] += shift * static_cast<double>(i % 3 + 1);
  for (size_t i = 0; i < p1.size(); ++i) p1[i] *= 1.0 + 0.1 * shift;
  f.new_dynamic(p1);
  const std::vector<double> y = f.Forward(0, x1);
  for (size_t i = 0; i < x1.size(); ++i) x(static_cast<Eigen::Index>(i)) = x1[i];
  for (size_t i = 0; i < p1.size(); ++i) p(static_cast<Eigen::Index>(i)) = p1[i];
  e.update_port_currents(false);
  for (size_t i = 0; i < e.ports.size(); ++i)
    expect_close(complex_d(y[2 * i], y[2 * i + 1]), e.ports[i].current, 1e-11);
}
