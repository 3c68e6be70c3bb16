#pragma once
// Binds a few elements the way the network container does (node potentials
// first, then each element's variables and parameters) to arrays owned here,
// and records their port currents and equation rows on a tape whose
// independent variables are the potentials and element variables and whose
// dynamic parameters are the element parameters.

#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include <cppad/cppad.hpp>

#include "element_harness.hpp"
#include "model/element.hpp"

// An element whose currents are whatever the test writes into its ports.
struct FixedCurrents : Element {
  using Element::Element;
  void update_port_currents(bool) override {}
};

inline Eigen::MatrixXcd from_rows(int n, const std::vector<complex_d>& row_major) {
  Eigen::MatrixXcd m(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) m(i, j) = row_major[static_cast<size_t>(n * i + j)];
  return m;
}

inline std::vector<complex_d> to_rows(const Eigen::MatrixXcd& m) {
  std::vector<complex_d> out;
  for (Eigen::Index i = 0; i < m.rows(); ++i)
    for (Eigen::Index j = 0; j < m.cols(); ++j) out.push_back(m(i, j));
  return out;
}

// The regulator's smooth clip in its textbook form, ln(1 + e^(k x)) / k per
// side, in long double so that e^(k x) does not overflow over tested ranges.
inline double smooth_clip(double t, double a, double k) {
  const long double kk = k;
  auto sp = [kk](long double x) { return std::log1p(std::exp(kk * x)) / kk; };
  return static_cast<double>((1.0L - a) + sp(t - (1.0L - a)) - sp(t - (1.0L + a)));
}

class Rig {
 public:
  std::vector<Element*> elements;
  std::vector<std::shared_ptr<Connection>> nodes;  // non-reference, first-seen order
  std::vector<double> x0, p0;
  Eigen::VectorXd x, p;
  TapeArray X, P;
  CppAD::ADFun<double> tape;
  size_t variable_entries = 0;  // element block of x (and of the equation rows)

  explicit Rig(std::vector<Element*> els) : elements(std::move(els)) {
    std::set<const Connection*> seen;
    for (Element* e : elements)
      for (Port& port : e->ports)
        if (seen.insert(port.connection.get()).second && !port.connection->is_reference)
          nodes.push_back(port.connection);
    for (auto& node : nodes) node->potential.append_value(x0);
    const size_t node_entries = x0.size();
    for (Element* e : elements) {
      e->append_variable_values(x0);
      e->append_parameter_values(p0);
    }
    variable_entries = x0.size() - node_entries;
    x = Eigen::Map<Eigen::VectorXd>(x0.data(), static_cast<Eigen::Index>(x0.size()));
    p = Eigen::Map<Eigen::VectorXd>(p0.data(), static_cast<Eigen::Index>(p0.size()));
    X.assign(x0.begin(), x0.end());
    P.assign(p0.begin(), p0.end());

    CppAD::Independent(X, P);
    int ix = 0, ip = 0;
    for (auto& node : nodes) node->potential.bind(X, x, ix);
    for (Element* e : elements) {
      e->bind_variables(X, x, ix);
      e->bind_parameters(P, p, ip);
    }
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
  }

  // The tape evaluated at the present solver arrays.
  struct Taped {
    std::vector<complex_d> currents;  // every port of every element, in order
    std::vector<double> rows;         // the element equation rows
  };
  Taped evaluate() {
    tape.new_dynamic(std::vector<double>(p.data(), p.data() + p.size()));
    const std::vector<double> y = tape.Forward(0, std::vector<double>(x.data(), x.data() + x.size()));
    Taped t;
    const size_t n_currents = y.size() - variable_entries;
    for (size_t k = 0; k < n_currents; k += 2) t.currents.emplace_back(y[k], y[k + 1]);
    t.rows.assign(y.begin() + static_cast<long>(n_currents), y.end());
    return t;
  }
};
