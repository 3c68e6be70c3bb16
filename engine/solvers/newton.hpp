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
  // The Jacobian's storage and, for each entry of `jacobian_values`, the
  // position of its value there; no positions while a structure is to be
  // built (or when entries share a position and must be summed).
  Eigen::SparseMatrix<double> jacobian_;
  std::vector<Eigen::Index> value_slots_;
  Eigen::VectorXd step_;

  // The colour groups of the fixed pattern: group q covers the colours
  // group_start_[q] .. group_start_[q + 1] - 1 and the entries of
  // group_entries_ before group_entry_end_[q], each entry with its index
  // among that group's sweep results.
  struct GroupEntry {
    size_t entry;
    size_t result;
  };
  std::vector<size_t> group_start_;
  std::vector<size_t> group_entry_end_;
  std::vector<GroupEntry> group_entries_;
  Eigen::VectorXd seeds_;
  size_t seeded_group_ = static_cast<size_t>(-1);  // whose seeds seeds_ holds
  bool groups_usable_ = true;

  void build_jacobian_structure();
  // False when the groups cannot stand for the library's call.
  bool sweep_colour_groups();
  // The pattern's sets on the tape and the pool's idle blocks: neither is
  // needed again once the pattern is fixed.
  void release_pattern_memory();
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

 private:
  // Work of the line search, kept between iterations.
  Eigen::VectorXd weights_;
  Eigen::VectorXd start_;
  static void fill_row_weights(const Eigen::SparseMatrix<double>& J, Eigen::VectorXd& out);
};
