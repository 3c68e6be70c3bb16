#pragma once
// Test harness: binds elements the way a solver does, through the layout of
// a network made of them (node potentials, each element's variables and
// parameters, the flexible parameters' limits), to arrays owned here. It
// records one tape whose independent variables are x and whose dynamic
// parameters are p: every port current of every element, in element and port
// order, then the elements' own equation rows. Both current modes can then be
// evaluated at whatever the arrays hold.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include <cppad/cppad.hpp>

#include "model/element.hpp"
#include "model/network.hpp"

class Rig {
 public:
  std::vector<Element*> elements;
  ElectricalNetwork network;
  std::vector<double> x0, p0;
  Eigen::VectorXd x, p;
  TapeArray X, P;
  CppAD::ADFun<double> tape;
  size_t variable_entries = 0;  // element block of x (and of the equation rows)

  explicit Rig(const std::vector<Element*>& els) : elements(els), network(els) {
    std::tie(x0, p0) = network.initial_values();
    variable_entries = x0.size() - static_cast<size_t>(network.layout().node_entries());
    x = Eigen::Map<Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    p = Eigen::Map<Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
    X.assign(x0.begin(), x0.end());
    P.assign(p0.begin(), p0.end());

    CppAD::Independent(X, P);
    try {
      network.bind(X, x, P, p);
      TapeArray out;
      for (Element* e : elements) {
        e->update_port_currents(true);
        for (Port& port : e->ports) {
          out.push_back(port.current_ad.real());
          out.push_back(port.current_ad.imag());
        }
      }
      TapeArray rows(variable_entries);
      int iy = 0;
      for (Element* e : elements) e->append_equations(rows, iy);
      out.insert(out.end(), rows.begin(), rows.end());
      tape.Dependent(X, out);
    } catch (...) {
      ad_double::abort_recording();
      throw;
    }
  }

  // The tape evaluated at the present solver arrays.
  struct Taped {
    std::vector<complex_d> currents;  // every port of every element, in order
    std::vector<double> rows;         // the element equation rows
  };
  Taped evaluate() {
    if (p.size() > 0) tape.new_dynamic(std::vector<double>(p.data(), p.data() + p.size()));
    const std::vector<double> y = tape.Forward(0, std::vector<double>(x.data(), x.data() + x.size()));
    Taped t;
    const size_t n_currents = y.size() - variable_entries;
    for (size_t k = 0; k + 1 < n_currents; k += 2) t.currents.emplace_back(y[k], y[k + 1]);
    t.rows.assign(y.begin() + static_cast<long>(n_currents), y.end());
    return t;
  }
};

// One element on its own, its port currents in both modes.
struct ElementHarness : Rig {
  Element& element;

  explicit ElementHarness(Element& e) : Rig({&e}), element(e) {}

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
  std::vector<complex_d> tape_currents() { return evaluate().currents; }
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
