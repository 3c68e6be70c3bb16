#pragma once
// The sparse Jacobian of a recorded residual tape, by forward
// differentiation over colour groups. The first evaluation of a pattern goes
// through the differentiation library (its colouring is kept in `work`);
// later ones repeat the library's forward sweeps group by group into kept
// storage, so every value is the one the library would give and the matrix
// keeps its structure, only its values being written.

#include <functional>
#include <vector>

#include <Eigen/Sparse>

#include "util/ad_types.hpp"

class SparseJacobian {
 public:
  using IndexVector = std::vector<int>;
  // Colours per forward sweep.
  static constexpr size_t group_size = 30;

  CppAD::sparse_rc<IndexVector> pattern;
  CppAD::sparse_rcv<IndexVector, Eigen::VectorXd> values;
  CppAD::sparse_jac_work work;

  // The pattern of the tape's Jacobian over n variables, anew; logs the two
  // pattern lines.
  void compute_pattern(CppAD::ADFun<double>& tape, int n);

  // J at x on the present pattern; `new_pattern` when compute_pattern has
  // just run. `poll` is called between sweeps. The matrix is held here and
  // overwritten by the next evaluation.
  const Eigen::SparseMatrix<double>& evaluate(CppAD::ADFun<double>& tape, const Eigen::VectorXd& x,
                                              bool new_pattern, const std::function<void()>& poll);

  // Colours of the colouring and forward sweeps per evaluation (0 before the
  // first evaluation).
  size_t colour_count() const;
  size_t group_count() const { return (colour_count() + group_size - 1) / group_size; }

 private:
  // The Jacobian's storage and, for each entry of `values`, the position of
  // its value there; no positions while a structure is to be built (or when
  // entries share a position and must be summed).
  Eigen::SparseMatrix<double> matrix_;
  std::vector<Eigen::Index> value_slots_;

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

  void build_structure(int n);
  // False when the groups cannot stand for the library's call.
  bool sweep_colour_groups(CppAD::ADFun<double>& tape, const Eigen::VectorXd& x,
                           const std::function<void()>& poll);
};
