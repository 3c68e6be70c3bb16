#include "model/network.hpp"

#include <unordered_map>

#include "model/flexible_load.hpp"
#include "model/flexible_parameter.hpp"

ElectricalNetwork::ElectricalNetwork(std::vector<Element*> element_list) : elements(std::move(element_list)) {
  std::set<const Connection*> seen;
  for (Element* element : elements) {
    for (const Port& port : element->ports) {
      if (seen.insert(port.connection.get()).second) connections.push_back(port.connection);
    }
    const std::vector<FlexibleParameter*>* phase_parameters = nullptr;
    if (auto* star = dynamic_cast<FlexibleLoad*>(element))
      phase_parameters = &star->parameters;
    else if (auto* delta = dynamic_cast<DeltaFlexibleLoad*>(element))
      phase_parameters = &delta->parameters;
    if (phase_parameters != nullptr) flexible_parameters.insert(phase_parameters->begin(), phase_parameters->end());
  }
}

std::vector<Element*> ElectricalNetwork::reserve_elements(int count) {
  std::vector<Element*> list;
  reserve_exactly(list, count);
  return list;
}

std::pair<std::vector<double>, std::vector<double>> ElectricalNetwork::initial_values() const {
  std::vector<double> x0, p0;
  for (const auto& node : connections) {
    if (!node->is_reference) node->potential.append_value(x0);
  }
  for (Element* element : elements) {
    element->append_variable_values(x0);
    element->append_parameter_values(p0);
  }
  AppendValues to_p0(p0);
  for (FlexibleParameter* parameter : flexible_parameters) parameter->holders(to_p0);
  return {std::move(x0), std::move(p0)};
}

void ElectricalNetwork::bind(TapeArray& X, Eigen::VectorXd& x, TapeArray& P, Eigen::VectorXd& p) {
  int ix = 0, ip = 0;
  for (const auto& node : connections) {
    if (!node->is_reference) node->potential.bind(X, x, ix);
  }
  for (Element* element : elements) {
    element->bind_variables(X, x, ix);
    element->bind_parameters(P, p, ip);
  }
  BindValues to_p(P, p, ip);
  for (FlexibleParameter* parameter : flexible_parameters) parameter->holders(to_p);
}

void ElectricalNetwork::record_equations(TapeArray& y) {
  for (Element* element : elements) element->update_port_currents(true);
  int index = 0;
  for (const auto& node : connections) {
    if (node->is_reference) continue;
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
  auto position_of = [&](const Element* element) {
    if (positions.empty()) {
      for (size_t k = 0; k < elements.size(); ++k) positions.emplace(elements[k], static_cast<int>(k));
    }
    const auto it = positions.find(element);
    return it == positions.end() ? -1 : it->second;
  };
  auto contribute = [&](const Element* element) {
    const int pos = position_of(element);
    if (pos >= 0) found.insert(pos);
  };

  // Walk the layout only as far as the largest index: nodes, then elements.
  size_t node = 0, element = 0;
  long long begin = 0, end = 0;
  const Connection* covering_node = nullptr;
  int covering_element = -1;
  std::vector<double> scratch;
  for (const int index : indices) {
    while (index >= end) {
      covering_node = nullptr;
      covering_element = -1;
      begin = end;
      while (node < connections.size() && connections[node]->is_reference) ++node;
      if (node < connections.size()) {
        covering_node = connections[node++].get();
        end = begin + 2;
      } else if (element < elements.size()) {
        scratch.clear();
        elements[element]->append_variable_values(scratch);
        covering_element = static_cast<int>(element++);
        end = begin + static_cast<long long>(scratch.size());
      } else {
        break;  // past the layout: nothing to attribute
      }
    }
    if (index < begin || index >= end) continue;
    if (covering_element >= 0) {
      found.insert(covering_element);
    } else if (covering_node != nullptr) {
      bool any_nan = false;
      for (const Port* port : covering_node->ports) {
        const double re = CppAD::Value(CppAD::Var2Par(port->current_ad.real()));
        const double im = CppAD::Value(CppAD::Var2Par(port->current_ad.imag()));
        if (re != re || im != im) {
          any_nan = true;
          contribute(port->element);
        }
      }
      // A node without listed ports has no element to name.
      if (!any_nan && !covering_node->ports.empty()) contribute(covering_node->ports.front()->element);
    }
  }
  return {found.begin(), found.end()};
}
