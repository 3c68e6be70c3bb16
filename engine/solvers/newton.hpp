#pragma once
// The Newton solvers: the residual tape recorded once with the element
// parameters as dynamic parameters, its sparse Jacobian, the LU solve of each
// step, the full step and the Goldstein line search, and the diagnostics.
//
// With r(x) the recorded residuals y of the network and J = dr/dx:
//   J(x_k) dx = r(x_k),   x_(k+1) = x_k - s dx,
// s = 1 for Newton. Goldstein tries s = 1 first, doubles s until a step is
// too long (t > m1 (-f)), then bisects between the last too long and the
// last too short step (0 at first); at most ten trials, keeping the first s
// with
//   m2 (-f(x_k)) <= t <= m1 (-f(x_k)),  t = (f(x_k - s dx) - f(x_k)) / (2 s),
//   f(x) = sum_i (w_i r_i(x))^2, w_i = 1 / max(1, max_j |J_ij|) when
//   weighted, else 1; after ten it keeps the last trial.
// The iteration stops when max_i |r_i| <= tolerance and no r_i is NaN, or
// after max_iterations steps, and reports (steps, max_i |r_i|). A Jacobian
// with a non-finite entry, or one the LU cannot factorise, is a "1 ..."
// failure of util/errors.hpp.

#include <string>
#include <utility>
#include <vector>

#include <Eigen/Sparse>
#include <Eigen/SparseLU>

#include "solvers/solver.hpp"
#include "solvers/sparse_jacobian.hpp"

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

  // First, so that it is emptied after the tape has returned its storage.
  TaylorMemoryPool taylor_memory;

  CppAD::ADFun<double> tape;
  // The tape's sparse Jacobian: pattern, values and colouring.
  SparseJacobian jacobian;
  Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> sparse_lu;
  bool pattern_analysed = false;

  AbstractNewton(ElectricalNetwork* network, bool optimize_tape);
  ~AbstractNewton() override;

  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;

  // Residuals and sparse Jacobian at `variables`, with the parameters last
  // loaded into the tape (at construction or at the start of the last solve).
  Eigen::VectorXd compute_residuals();
  Eigen::SparseMatrix<double> compute_jacobian();
  // The same Jacobian, held by the solver and overwritten by the next
  // evaluation: once the pattern is fixed, only its values are written.
  const Eigen::SparseMatrix<double>& evaluate_jacobian();
  // Factorises J, analysing its pattern at the first call of the solver's
  // life (which also frees what only the pattern needed); true on success.
  bool factorize_jacobian(const Eigen::SparseMatrix<double>& J);

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
  Eigen::VectorXd step_;

  // The pattern's sets on the tape: not needed again once the pattern is
  // fixed. The pool's idle blocks, which they join, are kept until the next
  // Jacobian has taken its storage from them (release_idle_blocks).
  void release_pattern_memory();
  // Hands the pool's idle blocks back to the system, once after the pattern
  // was fixed: after the second Jacobian, or at the end of a solve that
  // needed no second one.
  void release_idle_blocks();
  bool idle_blocks_held_ = false;
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

  // The line-search settings; read afresh at every step.
  void update_params(double new_m1, double new_m2, bool new_weighted_merit);

  // 1 / max(1, largest absolute entry) of each row.
  static Eigen::VectorXd compute_row_weights(const Eigen::SparseMatrix<double>& J);
  // Sum of squared residuals, each scaled by its row weight when weighted.
  double merit(const Eigen::VectorXd& r, const Eigen::VectorXd& weights) const;

  void apply_step(const Eigen::SparseMatrix<double>& J, const Eigen::VectorXd& dx, Eigen::VectorXd& r) override;

 private:
  // Work of the line search, kept between iterations.
  Eigen::VectorXd weights_;
  Eigen::VectorXd start_;
  static void fill_row_weights(const Eigen::SparseMatrix<double>& J, Eigen::VectorXd& out);
};
