#pragma once
// Test harness for one element: binds its nodes and parameters to arrays the
// way the network container does, records the tape of its port currents once,
// and then evaluates both current modes at whatever the arrays hold.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "model/element.hpp"
#include "model/flexible_parameter.hpp"

struct ElementHarness {
  Element& element;
  std::vector<Connection*> nodes;  // distinct non-reference nodes, first-seen order
  std::vector<FlexibleParameter*> flexible;
  TapeArray X, P;
  Eigen::VectorXd x, p;
  CppAD::ADFun<double> tape;

  explicit ElementHarness(Element& e, std::vector<FlexibleParameter*> flex = {})
      : element(e), flexible(std::move(flex)) {
    for (Port& port : e.ports) {
      Connection* c = port.connection.get();
      if (c->is_reference || std::find(nodes.begin(), nodes.end(), c) != nodes.end()) continue;
      nodes.push_back(c);
    }
    std::vector<double> x0, p0;
    for (Connection* c : nodes) c->potential.append_value(x0);
    e.append_parameter_values(p0);
    for (FlexibleParameter* f : flexible)
      for (ScalarVariable* s : {&f->s_max, &f->q_min, &f->q_max}) s->append_value(p0);
    x = Eigen::Map<Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    p = Eigen::Map<Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
    X.assign(x0.begin(), x0.end());
    P.assign(p0.begin(), p0.end());

    CppAD::Independent(X, 0, false, P);
    int ix = 0, ip = 0;
    for (Connection* c : nodes) c->potential.bind(X, x, ix);
    e.bind_parameters(P, p, ip);
    for (FlexibleParameter* f : flexible)
      for (ScalarVariable* s : {&f->s_max, &f->q_min, &f->q_max}) s->bind(P, p, ip);
    try {
      e.update_port_currents(true);
    } catch (...) {
      ad_double::abort_recording();
      throw;
    }
    TapeArray y;
    for (const Port& port : e.ports) {
      y.push_back(port.current_ad.real());
      y.push_back(port.current_ad.imag());
    }
    tape.Dependent(X, y);
  }

  // Writes a node potential through its holder (into x once bound).
  void set_potential(int port, complex_d v) { element.ports[port].connection->potential.set_value(v); }
  void set_potentials(const std::vector<complex_d>& v) {
    for (size_t i = 0; i < v.size(); ++i) set_potential(static_cast<int>(i), v[i]);
  }

  std::vector<complex_d> plain_currents() {
    element.update_port_currents(false);
    std::vector<complex_d> out;
    for (const Port& port : element.ports) out.push_back(port.current);
    return out;
  }

  // The recorded tape evaluated at the present arrays.
  std::vector<complex_d> tape_currents() {
    const std::vector<double> pv(p.data(), p.data() + p.size());
    const std::vector<double> xv(x.data(), x.data() + x.size());
    if (!pv.empty()) tape.new_dynamic(pv);
    const std::vector<double> y = tape.Forward(0, xv);
    std::vector<complex_d> out;
    for (size_t k = 0; k + 1 < y.size(); k += 2) out.emplace_back(y[k], y[k + 1]);
    return out;
  }
};

// Load topology, for expected values: phase voltages are V_i - V_(n-1) for
// star loads and V_i - V_((i+1) mod n) for delta loads.
inline std::vector<complex_d> reference_phase_voltages(bool delta, const std::vector<complex_d>& v) {
  const size_t n = v.size();
  std::vector<complex_d> dv;
  for (size_t i = 0; i < (delta ? n : n - 1); ++i) dv.push_back(v[i] - (delta ? v[(i + 1) % n] : v[n - 1]));
  return dv;
}

// Star ports carry the phase currents and the neutral their negated sum; a
// delta port carries the phase starting there minus the one ending there.
inline std::vector<complex_d> reference_port_currents(bool delta, const std::vector<complex_d>& phases) {
  const size_t n = phases.size();
  std::vector<complex_d> ports;
  if (delta) {
    for (size_t j = 0; j < n; ++j) ports.push_back(phases[j] - phases[(j + n - 1) % n]);
    return ports;
  }
  ports = phases;
  complex_d sum = 0.0;
  for (const complex_d& c : phases) sum += c;
  ports.push_back(-sum);
  return ports;
}

// Part by part: NaN matches NaN, an infinity matches the same infinity, and
// finite parts agree to `rel` of the expected value's size.
inline void expect_close(complex_d actual, complex_d expected, double rel = 1e-12) {
  const double a[2] = {actual.real(), actual.imag()};
  const double e[2] = {expected.real(), expected.imag()};
  double scale = 1.0;
  for (double part : e)
    if (std::isfinite(part)) scale = std::max(scale, std::fabs(part));
  for (int k = 0; k < 2; ++k) {
    if (std::isnan(e[k]))
      EXPECT_TRUE(std::isnan(a[k])) << "part " << k << ": " << actual << " vs " << expected;
    else if (std::isinf(e[k]))
      EXPECT_EQ(a[k], e[k]) << "part " << k << ": " << actual << " vs " << expected;
    else
      EXPECT_NEAR(a[k], e[k], rel * scale) << "part " << k << ": " << actual << " vs " << expected;
  }
}

inline void expect_all_close(const std::vector<complex_d>& actual, const std::vector<complex_d>& expected,
                             double rel = 1e-12) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    expect_close(actual[i], expected[i], rel);
  }
}
