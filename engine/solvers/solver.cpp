#include "solvers/solver.hpp"

#include <algorithm>
#include <cmath>

#include "util/errors.hpp"

namespace {
Eigen::VectorXd to_vector(const std::vector<double>& values) {
  return Eigen::Map<const Eigen::VectorXd>(values.data(), static_cast<Eigen::Index>(values.size()));
}

// One pass over the port currents, no allocation: a few comparisons per port
// beside the backward steps that computed them.
bool port_currents_finite(const std::vector<Element*>& elements) {
  for (const Element* element : elements)
    for (const Port& port : element->ports)
      if (!std::isfinite(port.current.real()) || !std::isfinite(port.current.imag())) return false;
  return true;
}

[[noreturn]] void fail_with_nan(int sweep) { throw nan_failure(SolverFamily::backward_forward, sweep); }
}  // namespace

AbstractSolver::AbstractSolver(ElectricalNetwork* net) : network(net) {
  auto [x0, p0] = network->initial_values();
  variables = to_vector(x0);
  parameters = to_vector(p0);
}

AbstractSolver::~AbstractSolver() { bindings_.release(); }

void AbstractSolver::set_variables(const double* values) {
  std::copy(values, values + variables.size(), variables.data());
}

void AbstractSolver::reset_inputs() { set_variables(initial_variables.data()); }

void AbstractSolver::bind_network(TapeArray& X, TapeArray& P) {
  network->bind(X, variables, P, parameters, &bindings_);
}

BackwardForward::BackwardForward(ElectricalNetwork* net) : AbstractSolver(net) {
  TapeArray X(variables.data(), variables.data() + variables.size());
  TapeArray P(parameters.data(), parameters.data() + parameters.size());
  bind_network(X, P);
  initial_variables = variables;
}

std::pair<int, double> BackwardForward::solve_load_flow(int max_iterations, double tolerance) {
  std::vector<Element*>& elements = network->elements;
  const PollingScope polling = start_polling();
  int i = 0;
  double err = 0.0;
  for (;;) {
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) (*it)->backward_step();
    // An infinite or NaN current would be swept into the potentials, or not
    // at all at reference nodes: the sweep has failed either way.
    if (!port_currents_finite(elements)) fail_with_nan(i + 1);
    poll_stop();
    err = 0.0;
    for (Element* element : elements) {
      const double e = element->forward_step();
      if (std::isnan(e)) {
        err = e;
      } else if (e > err) {
        err = e;
      }
    }
    ++i;
    if (std::isnan(err)) fail_with_nan(i);
    if (!(err > tolerance && i < max_iterations)) break;
    poll_stop();
  }
  return {i, err};
}
