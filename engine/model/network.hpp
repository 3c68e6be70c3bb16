#pragma once
// The network container: the element list, the distinct nodes in first-seen
// order and the distinct flexible parameters. It fixes the layout shared by
// every solver (variables x, dynamic parameters p, residual rows y), binds
// the value holders to a solver's arrays and records the equations.
//
// The square system, n unknowns and n rows:
//   x = [ Re V, Im V of each non-reference node, in `connections` order;
//         then each element's own variables, in element order ]
//   p = [ each element's dynamic parameters, in element order;
//         then s_max, q_min, q_max of each flexible parameter ]
//   y = [ for each non-reference node: Re, Im of sum I_port over the ports
//         listed at the node (current law, port currents positive into
//         their elements);
//         then each element's own rows, in element order ]
// A node's two rows sit at its two entries of x, and each element has as
// many rows as variable entries, so both blocks share their positions.

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "model/element.hpp"
#include "model/layout.hpp"

class FlexibleParameter;

class ElectricalNetwork {
 public:
  std::vector<Element*> elements;
  std::vector<std::shared_ptr<Connection>> connections;
  std::set<FlexibleParameter*> flexible_parameters;

  explicit ElectricalNetwork(std::vector<Element*> elements);

  ElectricalNetwork(const ElectricalNetwork&) = delete;
  ElectricalNetwork& operator=(const ElectricalNetwork&) = delete;

  // An empty element list with room for exactly `count` entries; a negative
  // count is the standard length error "vector too long".
  static std::vector<Element*> reserve_elements(int count);

  // Where every holder sits in the solvers' arrays: laid out by
  // initial_values (empty before), so that each solver follows the reference
  // flags its nodes have when it is made.
  const Layout& layout() const { return layout_; }

  // Lays the network out anew, then (x0, p0) from the values the holders
  // store themselves.
  std::pair<std::vector<double>, std::vector<double>> initial_values();

  // Binds every holder to (X, x) and (P, p), noting each in `record` when
  // one is given.
  void bind(TapeArray& X, Eigen::VectorXd& x, TapeArray& P, Eigen::VectorXd& p, BindingRecord* record = nullptr);

  // Records the port currents, the current-law rows of the non-reference
  // nodes and the elements' own rows into y, on the open tape.
  void record_equations(TapeArray& y);

  // Positions in `elements` of the elements behind ascending positions of
  // x (or rows of y), ascending and without repeats.
  std::vector<int> elements_of_indices(const std::vector<int>& indices) const;

 private:
  Layout layout_;
};
