// Diagnostics of the Newton solvers on their recorded system.
#include <algorithm>
#include <set>
#include <unsupported/Eigen/SparseExtra>

#include "solvers/error_handler.hpp"
#include "solvers/newton.hpp"

// The diagnostics poll as a solve does: a dense Jacobian of a large system
// takes long.

Eigen::VectorXd AbstractNewton::get_residuals() {
  CppAD::ErrorHandler handler(cppad_error_handler);
  const PollingScope polling = start_polling();
  return compute_residuals();
}

// The library's dense Jacobian, sweep by sweep with a poll between sweeps:
// the zero-order sweep at the point, then one first-order forward sweep per
// variable, or one reverse sweep per result that is not a parameter when
// there are fewer of those (the library's rule), with the same directions in
// the same order, so that every value is the library's.
Eigen::VectorXd AbstractNewton::get_jacobian() {
  CppAD::ErrorHandler handler(cppad_error_handler);
  if (variables.size() == 0) return {};
  const PollingScope polling = start_polling();
  const size_t n = tape.Domain();
  const size_t m = tape.Range();
  tape.Forward(0, variables);
  size_t reverse_work = 0;
  for (size_t i = 0; i < m; ++i)
    if (!tape.Parameter(i)) ++reverse_work;
  Eigen::VectorXd jac(static_cast<Eigen::Index>(n * m));
  if (n <= reverse_work) {
    Eigen::VectorXd u = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n));
    for (size_t j = 0; j < n; ++j) {
      poll_stop();
      u[static_cast<Eigen::Index>(j)] = 1.0;
      const Eigen::VectorXd v = tape.Forward(1, u);
      u[static_cast<Eigen::Index>(j)] = 0.0;
      for (size_t i = 0; i < m; ++i) jac[static_cast<Eigen::Index>(i * n + j)] = v[static_cast<Eigen::Index>(i)];
    }
  } else {
    Eigen::VectorXd w = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(m));
    for (size_t i = 0; i < m; ++i) {
      double* row = jac.data() + i * n;
      if (tape.Parameter(i)) {
        std::fill(row, row + n, 0.0);
        continue;
      }
      poll_stop();
      w[static_cast<Eigen::Index>(i)] = 1.0;
      const Eigen::VectorXd u = tape.Reverse(1, w);
      w[static_cast<Eigen::Index>(i)] = 0.0;
      std::copy(u.data(), u.data() + n, row);
    }
  }
  return jac;
}

std::pair<std::vector<int>, std::vector<int>> AbstractNewton::analyse_jacobian() {
  CppAD::ErrorHandler handler(cppad_error_handler);
  const PollingScope polling = start_polling();
  const Eigen::SparseMatrix<double> J = compute_jacobian();
  std::vector<int> inactive_columns;
  std::set<int> non_finite_rows;
  for (int j = 0; j < J.outerSize(); ++j) {
    bool active = false;
    for (Eigen::SparseMatrix<double>::InnerIterator it(J, j); it; ++it) {
      if (it.value() != 0.0) active = true;  // NaN counts as non-zero
      if (!std::isfinite(it.value())) non_finite_rows.insert(static_cast<int>(it.row()));
    }
    if (!active) inactive_columns.push_back(j);
  }
  const std::vector<int> rows(non_finite_rows.begin(), non_finite_rows.end());
  return {network->elements_of_indices(inactive_columns), network->elements_of_indices(rows)};
}

void AbstractNewton::save_matrix(const std::string& prefix) {
  const PollingScope polling = start_polling();
  const Eigen::VectorXd r = compute_residuals();
  const Eigen::SparseMatrix<double> J = compute_jacobian();
  // A name holding a NUL cannot be opened: the system would open its
  // truncation instead, once for both files.
  if (prefix.find('\0') != std::string::npos) return;
  // Each writer reports a file it cannot open by its result, which is ignored.
  Eigen::saveMarket(J, prefix + ".mtx");
  Eigen::saveMarketVector(r, prefix + "_b.mtx");
}
