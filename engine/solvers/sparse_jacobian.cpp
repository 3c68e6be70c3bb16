#include "solvers/sparse_jacobian.hpp"

#include <algorithm>
#include <spdlog/spdlog.h>

void SparseJacobian::compute_pattern(CppAD::ADFun<double>& tape, int n) {
  CppAD::sparse_rc<IndexVector> identity(n, n, n);
  for (int k = 0; k < n; ++k) identity.set(k, k, k);
  const bool transpose = false, dependency = false, internal_bool = false;
  if (n > 0) tape.for_jac_sparsity(identity, transpose, dependency, internal_bool, pattern);
  values = CppAD::sparse_rcv<IndexVector, Eigen::VectorXd>(pattern);
  spdlog::debug("----- Sparse pattern initialisation -----");
  spdlog::debug("n: {0:d} nnz: {1:d}", n, values.nnz());
}

size_t SparseJacobian::colour_count() const {
  const size_t n = work.color.size();
  size_t colours = 0;
  for (size_t j = 0; j < n; ++j)
    if (work.color[j] < n) colours = std::max(colours, work.color[j] + 1);
  return colours;
}

const Eigen::SparseMatrix<double>& SparseJacobian::evaluate(CppAD::ADFun<double>& tape, const Eigen::VectorXd& x,
                                                            bool new_pattern, const std::function<void()>& poll) {
  const int n = static_cast<int>(x.size());
  if (n > 0) {
    poll();
    if (new_pattern || work.color.size() != static_cast<size_t>(n) || !sweep_colour_groups(tape, x, poll))
      tape.sparse_jac_for(group_size, x, values, pattern, "cppad", work);
    poll();
  }

  if (new_pattern || matrix_.rows() != n || value_slots_.size() != values.nnz()) {
    build_structure(n);
  } else {
    const Eigen::VectorXd& vals = values.val();
    double* out = matrix_.valuePtr();
    for (size_t k = 0; k < value_slots_.size(); ++k) out[value_slots_[k]] = vals[static_cast<Eigen::Index>(k)];
  }
  return matrix_;
}

// The library's forward Jacobian, step by step, once the pattern and the
// colouring are fixed: the zero-order sweep at the point, then per group of
// at most group_size colours the same seeds and the same sweep of that many
// directions. Only the bookkeeping differs: the seeds are written in storage
// order into kept storage, and each entry's place among the sweep's results
// is found once.
bool SparseJacobian::sweep_colour_groups(CppAD::ADFun<double>& tape, const Eigen::VectorXd& x,
                                         const std::function<void()>& poll) {
  const size_t n = static_cast<size_t>(x.size());
  const size_t nnz = values.nnz();
  const CppAD::vector<size_t>& colour = work.color;
  if (!groups_usable_) return false;
  if (group_start_.empty()) {
    const size_t colours = std::max<size_t>(1, colour_count());
    const IndexVector& rows = values.row();
    const IndexVector& cols = values.col();
    const CppAD::vector<size_t>& order = work.order;
    group_entries_.clear();
    group_entries_.reserve(nnz);
    size_t p = 0;
    for (size_t first = 0; first < colours; first += group_size) {
      const size_t size = std::min(group_size, colours - first);
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
  tape.Forward(0, x);
  if (nnz == 0) return true;
  size_t p = 0;
  for (size_t q = 0; q + 1 < group_start_.size(); ++q) {
    poll();  // a large system's groups take long
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
      values.set(e.entry, dy[static_cast<Eigen::Index>(e.result)]);
    }
  }
  return true;
}

void SparseJacobian::build_structure(int n) {
  const size_t nnz = values.nnz();
  const IndexVector& rows = values.row();
  const IndexVector& cols = values.col();
  const Eigen::VectorXd& vals = values.val();
  std::vector<Eigen::Triplet<double>> triplets;
  triplets.reserve(nnz);
  for (size_t k = 0; k < nnz; ++k) triplets.emplace_back(rows[k], cols[k], vals[static_cast<Eigen::Index>(k)]);
  matrix_ = Eigen::SparseMatrix<double>(n, n);
  matrix_.setFromTriplets(triplets.begin(), triplets.end());

  // Where each entry's value landed, for the evaluations to come.
  value_slots_.clear();
  std::vector<Eigen::Index> slots(nnz);
  std::vector<bool> taken(static_cast<size_t>(matrix_.nonZeros()), false);
  const int* outer = matrix_.outerIndexPtr();
  const int* inner = matrix_.innerIndexPtr();
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
