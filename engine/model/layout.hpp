#pragma once
// Where every value holder of a network sits in a solver's arrays. Built once
// from the holder declarations (Element::variable_holders and
// parameter_holders, the flexible parameters' limits), it is what every walk
// over the arrays follows: the initial values, the binding, the current-law
// rows and the attribution of positions to elements.
//
//   x = [ node block: Re V, Im V of each non-reference node, in node order;
//         element block: each element's variables, in element order ]
//   p = [ each element's parameters, in element order;
//         then s_max, q_min, q_max of each flexible parameter ]
// The residual rows y share x's positions: a node's two rows sit at its two
// entries, an element's rows at its variables.

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "model/element.hpp"

class FlexibleParameter;

// Positions begin .. end - 1 of one array.
struct Span {
  int begin = 0;
  int end = 0;
  int size() const { return end - begin; }
};

class Layout {
 public:
  Layout() = default;
  // `nodes` in their network order, reference nodes included (they get no
  // entries); `elements` in network order; the flexible parameters in the
  // order their limits take in p.
  Layout(const std::vector<std::shared_ptr<Connection>>& nodes, std::vector<Element*> elements,
         std::vector<FlexibleParameter*> flexible_parameters);

  int variable_count() const { return variable_count_; }
  int parameter_count() const { return parameter_count_; }

  // The node block: node k owns x[2k] and x[2k + 1].
  const std::vector<Connection*>& free_nodes() const { return free_nodes_; }
  int node_entries() const { return 2 * static_cast<int>(free_nodes_.size()); }
  // Element k's entries in x (its rows in y) and in p.
  Span variables_of(size_t k) const { return variables_[k]; }
  Span parameters_of(size_t k) const { return parameters_[k]; }

  // (x0, p0) from the values the holders store themselves.
  std::pair<std::vector<double>, std::vector<double>> initial_values() const;

  // Binds every holder to (X, x) and (P, p) at its positions; `record`, when
  // given, notes each holder bound.
  void bind(TapeArray& X, Eigen::VectorXd& x, TapeArray& P, Eigen::VectorXd& p,
            BindingRecord* record = nullptr) const;

  // What covers position `index` of x (row of y): the node of the node block,
  // or the position in the element list of the element whose block holds it;
  // nullptr and -1 elsewhere.
  const Connection* node_at(long long index) const;
  int element_at(long long index) const;

 private:
  std::vector<Connection*> free_nodes_;
  std::vector<Element*> elements_;
  std::vector<FlexibleParameter*> flexible_;
  std::vector<Span> variables_;
  std::vector<Span> parameters_;
  int variable_count_ = 0;
  int parameter_count_ = 0;
};
