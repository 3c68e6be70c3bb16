#include "model/network.hpp"

#include <unordered_map>

ElectricalNetwork::ElectricalNetwork(std::vector<Element*> element_list) : elements(std::move(element_list)) {
  std::set<const Connection*> seen;
  for (Element* element : elements) {
    for (const Port& port : element->ports) {
      if (seen.insert(port.connection.get()).second) connections.push_back(port.connection);
    }
    const std::vector<FlexibleParameter*>& phase_parameters = element->flexible_parameters();
    flexible_parameters.insert(phase_parameters.begin(), phase_parameters.end());
  }
}

std::vector<Element*> ElectricalNetwork::reserve_elements(int count) {
  std::vector<Element*> list;
  reserve_exactly(list, count);
  return list;
}

std::pair<std::vector<double>, std::vector<double>> ElectricalNetwork::initial_values() {
  layout_ = Layout(connections, elements, {flexible_parameters.begin(), flexible_parameters.end()});
  return layout_.initial_values();
}

void ElectricalNetwork::bind(TapeArray& X, Eigen::VectorXd& x, TapeArray& P, Eigen::VectorXd& p,
                             BindingRecord* record) {
  layout_.bind(X, x, P, p, record);
}

void ElectricalNetwork::record_equations(TapeArray& y) {
  for (Element* element : elements) element->update_port_currents(true);
  int index = 0;
  for (const Connection* node : layout_.free_nodes()) {
    ad_double re(0.0), im(0.0);
    for (const Port* port : node->ports) {
      re = re + port->current_ad.real();
      im = im + port->current_ad.imag();
    }
    y[index] = re;
    y[index + 1] = im;
    index += 2;
  }
  for (Element* element : elements) element->append_equations(y, index);
}

std::vector<int> ElectricalNetwork::elements_of_indices(const std::vector<int>& indices) const {
  std::set<int> found;
  std::unordered_map<const Element*, int> positions;
  auto contribute = [&](const Element* element) {
    if (positions.empty()) {
      for (size_t k = 0; k < elements.size(); ++k) positions.emplace(elements[k], static_cast<int>(k));
    }
    const auto it = positions.find(element);
    if (it != positions.end()) found.insert(it->second);
  };
  for (const int index : indices) {
    const int element = layout_.element_at(index);
    if (element >= 0) {
      found.insert(element);
      continue;
    }
    const Connection* node = layout_.node_at(index);
    if (node == nullptr) continue;  // past the layout: nothing to attribute
    bool any_nan = false;
    for (const Port* port : node->ports) {
      const double re = CppAD::Value(CppAD::Var2Par(port->current_ad.real()));
      const double im = CppAD::Value(CppAD::Var2Par(port->current_ad.imag()));
      if (re != re || im != im) {
        any_nan = true;
        contribute(port->element);
      }
    }
    // A node without listed ports has no element to name.
    if (!any_nan && !node->ports.empty()) contribute(node->ports.front()->element);
  }
  return {found.begin(), found.end()};
}
