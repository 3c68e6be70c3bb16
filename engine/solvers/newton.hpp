#pragma once
// The Newton solvers: the residual tape recorded once with the element
// parameters as dynamic parameters, its sparse Jacobian, the LU solve of each
// step, the full step and the Goldstein line search, and the diagnostics.

#include <string>
#include <utility>
#include <vector>

#include <Eigen/Sparse>
#include <Eigen/SparseLU>

#include "solvers/solver.hpp"

// While a Newton solver lives, the differentiation library keeps the blocks
// it frees for reuse: each evaluation resizes the tape's Taylor storage (one
// direction for the residuals, up to thirty for the Jacobian), and reusing
// the blocks spares fresh pages from the system at every iteration. The last
// solver to go empties the pool.
class TaylorMemoryPool {
 public:
  TaylorMemoryPool();
  ~TaylorMemoryPool();
  TaylorMemoryPool(const TaylorMemoryPool&) = delete;
  TaylorMemoryPool& operator=(const TaylorMemoryPool&) = delete;

 private:
  static int users;  // the library runs single-threaded, as do its callers
};

class AbstractNewton : public AbstractSolver {
 public:
  using IndexVector = std::vector<int>;

  // First, so that it is emptied after the tape has returned its storage.
  TaylorMemoryPool taylor_memory;

  CppAD::ADFun<double> tape;
  CppAD::sparse_rc<IndexVector> jacobian_pattern;
  CppAD::sparse_rcv<IndexVector, Eigen::VectorXd> jacobian_values;
  CppAD::sparse_jac_work jacobian_work;
  Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> sparse_lu;
  bool pattern_analysed = false;

  AbstractNewton(ElectricalNetwork* network, bool optimize_tape);
  ~AbstractNewton() override;

  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

  // Residuals and sparse Jacobian at `variables`, with the parameters last
  // loaded into the tape (at construction or at the start of the last solve).
  Eigen::VectorXd compute_residuals();
  Eigen::SparseMatrix<double> compute_jacobian();

  // Diagnostics; none changes variables, parameters or element values.
  Eigen::VectorXd get_residuals();
  // The dense n x n Jacobian, row-major (entry (i, j) at i * n + j).
  Eigen::VectorXd get_jacobian();
  // (elements behind variables no residual depends on, elements behind rows
  // holding NaN or infinite values).
  std::pair<std::vector<int>, std::vector<int>> analyse_jacobian();
  // The Jacobian to prefix + ".mtx", the residuals to prefix + "_b.mtx";
  // a file that cannot be opened is skipped.
  void save_matrix(const std::string& prefix);

  // Moves from the current variables along the Newton step dx (J dx = r)
  // and leaves in r the residuals at the new variables.
  virtual void apply_step(const Eigen::SparseMatrix<double>& J, const Eigen::VectorXd& dx, Eigen::VectorXd& r) = 0;

 private:
  // Fills jacobian_values at `variables`.
  void evaluate_jacobian_values();
};

class Newton : public AbstractNewton {
 public:
  Newton(ElectricalNetwork* network, bool optimize_tape);

  void apply_step(const Eigen::SparseMatrix<double>& J, const Eigen::VectorXd& dx, Eigen::VectorXd& r) override;
};

class NewtonGoldstein : public AbstractNewton {
 public:
  double m1;
  double m2;
  bool weighted_merit;

  NewtonGoldstein(ElectricalNetwork* network, bool optimize_tape, double m1, double m2, bool weighted_merit);

  // 1 / max(1, largest absolute entry) of each row.
  static Eigen::VectorXd compute_row_weights(const Eigen::SparseMatrix<double>& J);
  // Sum of squared residuals, each scaled by its row weight when weighted.
  double merit(const Eigen::VectorXd& r, const Eigen::VectorXd& weights) const;

  void apply_step(const Eigen::SparseMatrix<double>& J, const Eigen::VectorXd& dx, Eigen::VectorXd& r) override;
};
