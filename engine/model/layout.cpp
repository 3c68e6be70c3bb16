#include "model/layout.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "model/flexible_parameter.hpp"

namespace {
// Counts the entries a walk over holders takes, without reading any value.
class CountEntries final : public HolderVisitor {
 public:
  long long count = 0;

 private:
  void on_complex(Variable&) override { count += 2; }
  void on_scalar(ScalarVariable&, const std::function<double()>*) override { count += 1; }
  void on_vector(VectorVariable& h) override { count += 2 * static_cast<long long>(h.value.size()); }
  void on_matrix(MatrixVariable& h) override { count += 2 * static_cast<long long>(h.value.size()); }
};

// The next span of `size` entries after `end`; arrays are indexed by int.
Span next_span(int& end, long long size) {
  if (size > std::numeric_limits<int>::max() - static_cast<long long>(end))
    throw std::length_error("the network has more values than a solver array can hold");
  const Span span{end, end + static_cast<int>(size)};
  end = span.end;
  return span;
}
}  // namespace

Layout::Layout(const std::vector<std::shared_ptr<Connection>>& nodes, std::vector<Element*> elements,
               std::vector<FlexibleParameter*> flexible_parameters)
    : elements_(std::move(elements)), flexible_(std::move(flexible_parameters)) {
  for (const auto& node : nodes)
    if (!node->is_reference) free_nodes_.push_back(node.get());
  int x_end = 0, p_end = 0;
  next_span(x_end, 2 * static_cast<long long>(free_nodes_.size()));
  variables_.reserve(elements_.size());
  parameters_.reserve(elements_.size());
  for (Element* element : elements_) {
    CountEntries variables, parameters;
    element->variable_holders(variables);
    element->parameter_holders(parameters);
    variables_.push_back(next_span(x_end, variables.count));
    parameters_.push_back(next_span(p_end, parameters.count));
  }
  next_span(p_end, 3 * static_cast<long long>(flexible_.size()));
  variable_count_ = x_end;
  parameter_count_ = p_end;
}

std::pair<std::vector<double>, std::vector<double>> Layout::initial_values() const {
  std::vector<double> x0, p0;
  x0.reserve(static_cast<size_t>(variable_count_));
  p0.reserve(static_cast<size_t>(parameter_count_));
  for (const Connection* node : free_nodes_) node->potential.append_value(x0);
  for (Element* element : elements_) {
    element->append_variable_values(x0);
    element->append_parameter_values(p0);
  }
  AppendValues to_p0(p0);
  for (FlexibleParameter* parameter : flexible_) parameter->holders(to_p0);
  return {std::move(x0), std::move(p0)};
}

void Layout::bind(TapeArray& X, Eigen::VectorXd& x, TapeArray& P, Eigen::VectorXd& p,
                  BindingRecord* record) const {
  int ix = 0, ip = 0;
  for (Connection* node : free_nodes_) node->potential.bind(X, x, ix, record);
  for (Element* element : elements_) {
    element->bind_variables(X, x, ix, record);
    element->bind_parameters(P, p, ip, record);
  }
  BindValues to_p(P, p, ip, record);
  for (FlexibleParameter* parameter : flexible_) parameter->holders(to_p);
}

const Connection* Layout::node_at(long long index) const {
  if (index < 0 || index >= node_entries()) return nullptr;
  return free_nodes_[static_cast<size_t>(index / 2)];
}

int Layout::element_at(long long index) const {
  if (index < node_entries() || index >= variable_count_) return -1;
  // The first block ending past the index holds it: blocks are contiguous,
  // and an empty block ends where it begins.
  const auto it = std::upper_bound(variables_.begin(), variables_.end(), index,
                                   [](long long i, const Span& s) { return i < s.end; });
  return it == variables_.end() ? -1 : static_cast<int>(it - variables_.begin());
}
