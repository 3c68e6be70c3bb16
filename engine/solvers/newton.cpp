#include "solvers/newton.hpp"

#include <algorithm>
#include <cmath>
#include <spdlog/spdlog.h>
#include <stdexcept>

#include "solvers/error_handler.hpp"
#include "util/errors.hpp"

namespace {
// Largest absolute residual, 0 for an empty vector; NaN entries are caught
// by the explicit scan of the convergence test, not here.
double largest_abs(const Eigen::VectorXd& r) { return r.size() == 0 ? 0.0 : r.cwiseAbs().maxCoeff(); }

bool has_nan(const Eigen::VectorXd& r) {
  for (Eigen::Index k = 0; k < r.size(); ++k)
    if (std::isnan(r[k])) return true;
  return false;
}

bool all_finite(const Eigen::SparseMatrix<double>& J) {
  const double* values = J.valuePtr();
  for (Eigen::Index k = 0; k < J.nonZeros(); ++k)
    if (!std::isfinite(values[k])) return false;
  return true;
}
}  // namespace

int TaylorMemoryPool::users = 0;

TaylorMemoryPool::TaylorMemoryPool() {
  if (users++ == 0) CppAD::thread_alloc::hold_memory(true);
}

TaylorMemoryPool::~TaylorMemoryPool() {
  if (--users == 0) {
    CppAD::thread_alloc::hold_memory(false);
    CppAD::thread_alloc::free_available(CppAD::thread_alloc::thread_num());
  }
}

AbstractNewton::AbstractNewton(ElectricalNetwork* net, bool optimize_tape) : AbstractSolver(net) {
  CppAD::ErrorHandler handler(cppad_error_handler);
  TapeArray ax(variables.data(), variables.data() + variables.size());
  TapeArray ap(parameters.data(), parameters.data() + parameters.size());
  if (ax.empty()) {
    // The library cannot record a function of no variables: there is no
    // equation either, so the holders are bound to constants and the tape
    // stays empty.
    bind_network(ax, ap);
  } else {
    CppAD::Independent(ax, ap);
    try {
      bind_network(ax, ap);
      TapeArray y(ax.size(), ad_double(0.0));
      network->record_equations(y);
      tape.Dependent(ax, y);
    } catch (...) {
      // Free the process's one recording slot for the next solver.
      ad_double::abort_recording();
      throw;
    }
  }
  spdlog::debug("----- Tape evaluation -----");
  spdlog::debug("Number of tape operators: {0:d}", tape.size_op());
  if (optimize_tape) {
    if (!ax.empty()) tape.optimize("");
    spdlog::debug("----- Tape optimization -----");
    spdlog::debug("Number of tape operators: {0:d}", tape.size_op());
  }
  initial_variables = variables;
}

AbstractNewton::~AbstractNewton() = default;

Eigen::VectorXd AbstractNewton::compute_residuals() {
  if (variables.size() == 0) return {};
  return tape.Forward(0, variables);
}

Eigen::SparseMatrix<double> AbstractNewton::compute_jacobian() { return evaluate_jacobian(); }

const Eigen::SparseMatrix<double>& AbstractNewton::evaluate_jacobian() {
  const bool new_pattern = !pattern_analysed;
  if (new_pattern) jacobian.compute_pattern(tape, static_cast<int>(variables.size()));
  const Eigen::SparseMatrix<double>& J = jacobian.evaluate(tape, variables, new_pattern, [this] { poll_stop(); });
  if (!new_pattern) release_idle_blocks();
  return J;
}

void AbstractNewton::release_pattern_memory() {
  tape.size_forward_set(0);
  tape.size_forward_bool(0);
  idle_blocks_held_ = true;
}

void AbstractNewton::release_idle_blocks() {
  if (!idle_blocks_held_) return;
  idle_blocks_held_ = false;
  // The blocks in use stay: the tape's Taylor storage of the last Jacobian
  // goes back to the pool at the next residual evaluation and is taken again
  // by the next Jacobian, so what the pool holds from then on is what the
  // iterations cycle through. Freed any earlier, the second Jacobian would
  // take its storage fresh from the system.
  CppAD::thread_alloc::free_available(CppAD::thread_alloc::thread_num());
}

bool AbstractNewton::factorize_jacobian(const Eigen::SparseMatrix<double>& J) {
  if (!pattern_analysed) {
    sparse_lu.analyzePattern(J);
    pattern_analysed = true;
    release_pattern_memory();
    poll_stop();
  }
  sparse_lu.factorize(J);
  return sparse_lu.info() == Eigen::Success;
}

std::pair<int, double> AbstractNewton::solve_load_flow(int max_iterations, double tolerance) {
  CppAD::ErrorHandler handler(cppad_error_handler);
  if (variables.size() > 0) tape.new_dynamic(parameters);
  const PollingScope polling = start_polling();
  Eigen::VectorXd r = compute_residuals();
  int i = 0;
  for (;;) {
    // An empty system has no step to take.
    if (r.size() == 0) break;
    if (!(largest_abs(r) > tolerance) && !has_nan(r)) break;
    if (i >= max_iterations) break;
    poll_stop();
    const Eigen::SparseMatrix<double>& J = evaluate_jacobian();
    if (!all_finite(J)) throw nan_failure(SolverFamily::newton, i);
    if (!factorize_jacobian(J)) throw singular_failure(i);
    step_ = sparse_lu.solve(r);
    apply_step(J, step_, r);
    ++i;
  }
  release_idle_blocks();
  for (Element* element : network->elements) element->update_port_currents(false);
  // Exact zero residuals report +0.0, not the -0.0 of a negated zero.
  const double e = r.size() == 0 ? 0.0 : std::max(r.maxCoeff(), -r.minCoeff());
  return {i, e};
}

Newton::Newton(ElectricalNetwork* net, bool optimize_tape) : AbstractNewton(net, optimize_tape) {}

void Newton::apply_step(const Eigen::SparseMatrix<double>&, const Eigen::VectorXd& dx, Eigen::VectorXd& r) {
  variables -= dx;
  r = compute_residuals();
}

NewtonGoldstein::NewtonGoldstein(ElectricalNetwork* net, bool optimize_tape, double m1_, double m2_,
                                 bool weighted)
    : AbstractNewton(net, optimize_tape), m1(m1_), m2(m2_), weighted_merit(weighted) {}

void NewtonGoldstein::update_params(double new_m1, double new_m2, bool new_weighted_merit) {
  m1 = new_m1;
  m2 = new_m2;
  weighted_merit = new_weighted_merit;
}

Eigen::VectorXd NewtonGoldstein::compute_row_weights(const Eigen::SparseMatrix<double>& J) {
  Eigen::VectorXd weights;
  fill_row_weights(J, weights);
  return weights;
}

void NewtonGoldstein::fill_row_weights(const Eigen::SparseMatrix<double>& J, Eigen::VectorXd& largest) {
  largest.setOnes(J.rows());
  for (int j = 0; j < J.outerSize(); ++j)
    for (Eigen::SparseMatrix<double>::InnerIterator it(J, j); it; ++it) {
      const double a = std::fabs(it.value());
      if (a > largest[it.row()]) largest[it.row()] = a;
    }
  largest = largest.cwiseInverse();
}

double NewtonGoldstein::merit(const Eigen::VectorXd& r, const Eigen::VectorXd& weights) const {
  if (!weighted_merit) return r.squaredNorm();
  if (weights.size() != r.size()) throw std::invalid_argument("merit: one row weight per residual is needed");
  return r.cwiseProduct(weights).squaredNorm();
}

void NewtonGoldstein::apply_step(const Eigen::SparseMatrix<double>& J, const Eigen::VectorXd& dx,
                                 Eigen::VectorXd& r) {
  if (weighted_merit) fill_row_weights(J, weights_);
  const double f0 = merit(r, weights_);
  const double u = -f0;
  start_ = variables;
  double step = 1.0, hi = 0.0, lo = 0.0;
  for (int trial = 0; trial < 10; ++trial) {
    // In place: the value holders point into `variables`.
    variables.noalias() = start_ - step * dx;
    r = compute_residuals();
    const double t = (0.5 * merit(r, weights_) - 0.5 * f0) / step;
    if (t >= u * m2 && t <= u * m1) return;
    poll_stop();
    if (t > u * m1)
      hi = step;
    else
      lo = step;
    step = hi == 0.0 ? 2.0 * step : (hi + lo) * 0.5;
  }
}
