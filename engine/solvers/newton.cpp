#include "solvers/newton.hpp"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <stdexcept>

#include "solvers/error_handler.hpp"

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

Eigen::SparseMatrix<double> AbstractNewton::compute_jacobian() {
  const int n = static_cast<int>(variables.size());
  if (!pattern_analysed) {
    CppAD::sparse_rc<IndexVector> identity(n, n, n);
    for (int k = 0; k < n; ++k) identity.set(k, k, k);
    const bool transpose = false, dependency = false, internal_bool = false;
    if (n > 0) tape.for_jac_sparsity(identity, transpose, dependency, internal_bool, jacobian_pattern);
    jacobian_values = CppAD::sparse_rcv<IndexVector, Eigen::VectorXd>(jacobian_pattern);
    spdlog::debug("----- Sparse pattern initialisation -----");
    spdlog::debug("n: {0:d} nnz: {1:d}", n, jacobian_values.nnz());
  }
  if (n > 0) {
    poll_stop();
    evaluate_jacobian_values();
    poll_stop();
  }

  const size_t nnz = jacobian_values.nnz();
  const IndexVector& rows = jacobian_values.row();
  const IndexVector& cols = jacobian_values.col();
  const Eigen::VectorXd& vals = jacobian_values.val();
  std::vector<Eigen::Triplet<double>> triplets;
  triplets.reserve(nnz);
  for (size_t k = 0; k < nnz; ++k) triplets.emplace_back(rows[k], cols[k], vals[static_cast<Eigen::Index>(k)]);
  Eigen::SparseMatrix<double> J(n, n);
  J.setFromTriplets(triplets.begin(), triplets.end());
  return J;
}

void AbstractNewton::evaluate_jacobian_values() {
  constexpr size_t group_max = 30;
  const auto& color = jacobian_work.color;
  if (color.size() == 0) {
    // The library colours the columns at its first evaluation.
    tape.sparse_jac_for(group_max, variables, jacobian_values, jacobian_pattern, "cppad", jacobian_work);
    return;
  }
  // The library's evaluation with its colouring, step for step, asking the
  // stop check between the forward sweeps of a large system.
  const size_t n = tape.Domain(), K = jacobian_values.nnz();
  const auto& order = jacobian_work.order;
  const IndexVector& row = jacobian_values.row();
  const IndexVector& col = jacobian_values.col();
  tape.Forward(0, variables);
  if (K == 0) return;
  size_t n_color = 1;
  for (size_t j = 0; j < n; ++j)
    if (color[j] < n) n_color = std::max<size_t>(n_color, color[j] + 1);
  for (size_t k = 0; k < K; ++k) jacobian_values.set(k, 0.0);
  size_t k = 0;
  for (size_t color_count = 0; color_count < n_color;) {
    poll_stop();
    const size_t group_size = std::min<size_t>(group_max, n_color - color_count);
    Eigen::VectorXd dx(static_cast<Eigen::Index>(n * group_size)), dy;
    for (size_t ell = 0; ell < group_size; ++ell)
      for (size_t j = 0; j < n; ++j)
        dx[static_cast<Eigen::Index>(j * group_size + ell)] = color[j] == ell + color_count ? 1.0 : 0.0;
    dy = group_size == 1 ? tape.Forward(1, dx) : tape.Forward(1, group_size, dx);
    for (size_t ell = 0; ell < group_size; ++ell)
      for (; k < K && color[static_cast<size_t>(col[order[k]])] == ell + color_count; ++k)
        jacobian_values.set(order[k], dy[static_cast<Eigen::Index>(row[order[k]] * group_size + ell)]);
    color_count += group_size;
  }
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
    const Eigen::SparseMatrix<double> J = compute_jacobian();
    if (!all_finite(J)) throw std::runtime_error(fmt::format("1 NaN value encountered at iteration {}. ", i));
    if (!pattern_analysed) {
      sparse_lu.analyzePattern(J);
      pattern_analysed = true;
      poll_stop();
    }
    sparse_lu.factorize(J);
    if (sparse_lu.info() != Eigen::Success)
      throw std::runtime_error(fmt::format("1 Decomposition failed, singular matrix at iteration {}. ", i));
    const Eigen::VectorXd dx = sparse_lu.solve(r);
    apply_step(J, dx, r);
    ++i;
  }
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

Eigen::VectorXd NewtonGoldstein::compute_row_weights(const Eigen::SparseMatrix<double>& J) {
  Eigen::VectorXd largest = Eigen::VectorXd::Ones(J.rows());
  for (int j = 0; j < J.outerSize(); ++j)
    for (Eigen::SparseMatrix<double>::InnerIterator it(J, j); it; ++it) {
      const double a = std::fabs(it.value());
      if (a > largest[it.row()]) largest[it.row()] = a;
    }
  return largest.cwiseInverse();
}

double NewtonGoldstein::merit(const Eigen::VectorXd& r, const Eigen::VectorXd& weights) const {
  if (!weighted_merit) return r.squaredNorm();
  if (weights.size() != r.size()) throw std::invalid_argument("merit: one row weight per residual is needed");
  return r.cwiseProduct(weights).squaredNorm();
}

void NewtonGoldstein::apply_step(const Eigen::SparseMatrix<double>& J, const Eigen::VectorXd& dx,
                                 Eigen::VectorXd& r) {
  Eigen::VectorXd weights;
  if (weighted_merit) weights = compute_row_weights(J);
  const double f0 = merit(r, weights);
  const double u = -f0;
  const Eigen::VectorXd x0 = variables;
  double step = 1.0, hi = 0.0, lo = 0.0;
  for (int trial = 0; trial < 10; ++trial) {
    // In place: the value holders point into `variables`.
    variables.noalias() = x0 - step * dx;
    r = compute_residuals();
    const double t = (0.5 * merit(r, weights) - 0.5 * f0) / step;
    if (t >= u * m2 && t <= u * m1) return;
    poll_stop();
    if (t > u * m1)
      hi = step;
    else
      lo = step;
    step = hi == 0.0 ? 2.0 * step : (hi + lo) * 0.5;
  }
}
