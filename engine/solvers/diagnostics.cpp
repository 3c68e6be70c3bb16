// Diagnostics of the Newton solvers on their recorded system.
#include <set>
#include <unsupported/Eigen/SparseExtra>

#include "solvers/error_handler.hpp"
#include "solvers/newton.hpp"

Eigen::VectorXd AbstractNewton::get_residuals() {
  CppAD::ErrorHandler handler(cppad_error_handler);
  return compute_residuals();
}

Eigen::VectorXd AbstractNewton::get_jacobian() {
  CppAD::ErrorHandler handler(cppad_error_handler);
  if (variables.size() == 0) return {};
  return tape.Jacobian(variables);
}

std::pair<std::vector<int>, std::vector<int>> AbstractNewton::analyse_jacobian() {
  CppAD::ErrorHandler handler(cppad_error_handler);
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
  const Eigen::VectorXd r = compute_residuals();
  const Eigen::SparseMatrix<double> J = compute_jacobian();
  // A name holding a NUL cannot be opened: the system would open its
  // truncation instead, once for both files.
  if (prefix.find('\0') != std::string::npos) return;
  // Each writer reports a file it cannot open by its result, which is ignored.
  Eigen::saveMarket(J, prefix + ".mtx");
  Eigen::saveMarketVector(r, prefix + "_b.mtx");
}
