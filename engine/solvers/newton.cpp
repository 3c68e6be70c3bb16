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
  const int n = static_cast<int>(variables.size());
  const bool new_pattern = !pattern_analysed;
  if (new_pattern) {
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
    if (new_pattern || jacobian_work.color.size() != static_cast<size_t>(n) || !sweep_colour_groups())
      tape.sparse_jac_for(30, variables, jacobian_values, jacobian_pattern, "cppad", jacobian_work);
    poll_stop();
  }

  if (new_pattern || jacobian_.rows() != n || value_slots_.size() != jacobian_values.nnz()) {
    build_jacobian_structure();
  } else {
    const Eigen::VectorXd& vals = jacobian_values.val();
    double* out = jacobian_.valuePtr();
    for (size_t k = 0; k < value_slots_.size(); ++k) out[value_slots_[k]] = vals[static_cast<Eigen::Index>(k)];
  }
  return jacobian_;
}

// The library's forward Jacobian, step by step, once the pattern and the
// colouring are fixed: the zero-order sweep at the point, then per group of
// at most 30 colours the same seeds and the same sweep of that many
// directions, so every value is the one the library would give. Only the
// bookkeeping differs: the seeds are written in storage order into kept
// storage, and each entry's place among the sweep's results is found once.
bool AbstractNewton::sweep_colour_groups() {
  const size_t n = static_cast<size_t>(variables.size());
  const size_t nnz = jacobian_values.nnz();
  const CppAD::vector<size_t>& colour = jacobian_work.color;
  if (!groups_usable_) return false;
  if (group_start_.empty()) {
    size_t colours = 1;
    for (size_t j = 0; j < n; ++j)
      if (colour[j] < n) colours = std::max(colours, colour[j] + 1);
    const IndexVector& rows = jacobian_values.row();
    const IndexVector& cols = jacobian_values.col();
    const CppAD::vector<size_t>& order = jacobian_work.order;
    group_entries_.clear();
    group_entries_.reserve(nnz);
    size_t p = 0;
    for (size_t first = 0; first < colours; first += 30) {
      const size_t size = std::min<size_t>(30, colours - first);
      group_start_.push_back(first);
      group_entry_end_.push_back(p);
      while (p < nnz && colour[static_cast<size_t>(cols[order[p]])] < first + size) {
        const size_t k = order[p];
        const size_t ell = colour[static_cast<size_t>(cols[k])] - first;
        group_entries_.push_back({k, static_cast<size_t>(rows[k]) * size + ell});
        ++p;
      }
      group_entry_end_.back() = p;
    }
    group_start_.push_back(colours);
    // Every entry must lie in a group, as each value is written anew.
    if (p != nnz) {
      groups_usable_ = false;
      return false;
    }
  }
  tape.Forward(0, variables);
  if (nnz == 0) return true;
  size_t p = 0;
  for (size_t q = 0; q + 1 < group_start_.size(); ++q) {
    poll_stop();  // a large system's groups take long
    const size_t first = group_start_[q];
    const size_t size = group_start_[q + 1] - first;
    // The seeds of a group never change; they stay in place while one group
    // is all there is.
    if (seeded_group_ != q) {
      seeds_.resize(static_cast<Eigen::Index>(n * size));
      double* dx = seeds_.data();
      for (size_t j = 0; j < n; ++j)
        for (size_t ell = 0; ell < size; ++ell) dx[j * size + ell] = colour[j] == first + ell ? 1.0 : 0.0;
      seeded_group_ = q;
    }
    const Eigen::VectorXd dy = size == 1 ? tape.Forward(1, seeds_) : tape.Forward(1, size, seeds_);
    for (; p < group_entry_end_[q]; ++p) {
      const GroupEntry& e = group_entries_[p];
      jacobian_values.set(e.entry, dy[static_cast<Eigen::Index>(e.result)]);
    }
  }
  return true;
}

void AbstractNewton::build_jacobian_structure() {
  const int n = static_cast<int>(variables.size());
  const size_t nnz = jacobian_values.nnz();
  const IndexVector& rows = jacobian_values.row();
  const IndexVector& cols = jacobian_values.col();
  const Eigen::VectorXd& vals = jacobian_values.val();
  std::vector<Eigen::Triplet<double>> triplets;
  triplets.reserve(nnz);
  for (size_t k = 0; k < nnz; ++k) triplets.emplace_back(rows[k], cols[k], vals[static_cast<Eigen::Index>(k)]);
  jacobian_ = Eigen::SparseMatrix<double>(n, n);
  jacobian_.setFromTriplets(triplets.begin(), triplets.end());

  // Where each entry's value landed, for the evaluations to come.
  value_slots_.clear();
  std::vector<Eigen::Index> slots(nnz);
  std::vector<bool> taken(static_cast<size_t>(jacobian_.nonZeros()), false);
  const int* outer = jacobian_.outerIndexPtr();
  const int* inner = jacobian_.innerIndexPtr();
  for (size_t k = 0; k < nnz; ++k) {
    const int* first = inner + outer[cols[k]];
    const int* last = inner + outer[cols[k] + 1];
    const int* at = std::lower_bound(first, last, rows[k]);
    const auto slot = static_cast<size_t>(at - inner);
    // Entries summed into one value cannot be written one by one.
    if (at == last || *at != rows[k] || taken[slot]) return;
    taken[slot] = true;
    slots[k] = static_cast<Eigen::Index>(slot);
  }
  value_slots_ = std::move(slots);
}

void AbstractNewton::release_pattern_memory() {
  tape.size_forward_set(0);
  tape.size_forward_bool(0);
  // The blocks in use stay: the tape's Taylor storage of the last Jacobian
  // goes back to the pool at the next residual evaluation and is taken again
  // by the next Jacobian, so what the pool holds from then on is what the
  // iterations cycle through.
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
