#include "model/element.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

Port::Port(complex_d initial_current, complex_d potential, Element* owner)
    : connection(), element(owner), current_ad(ad_double(0.0), ad_double(0.0)), current(initial_current) {
  connection = std::make_shared<Connection>(potential, this);
}

Connection::Connection(complex_d initial_potential, Port* first) : ports{first}, potential(initial_potential) {}

void Connection::merge(Port* other) {
  // Hold the absorbed node until the loop ends: re-pointing its last port
  // would otherwise destroy the list being walked.
  const std::shared_ptr<Connection> absorbed = other->connection;
  if (absorbed.get() == this) return;
  is_reference = is_reference || absorbed->is_reference;
  const std::shared_ptr<Connection> self = shared_from_this();
  const size_t count = absorbed->ports.size();
  // Grown geometrically: a node that absorbs one port per join (a shared
  // neutral, connect_ports over many ports) would otherwise be copied whole
  // at every join.
  const size_t needed = ports.size() + count;
  if (needed > ports.capacity()) ports.reserve(std::max(needed, 2 * ports.capacity()));
  for (size_t k = 0; k < count; ++k) {
    Port* port = absorbed->ports[k];
    ports.push_back(port);
    port->connection = self;
  }
  // Every listed port has moved here; a stale list would let a later merge
  // through a disconnected port list them at two nodes.
  absorbed->ports.clear();
}

void Connection::remove_port(const Port* port) {
  ports.erase(std::remove(ports.begin(), ports.end(), port), ports.end());
}

complex_d balancing_current(const Port& port) {
  double re = 0.0, im = 0.0;
  for (const Port* other : port.connection->ports) {
    if (other == &port) continue;
    re += other->current.real();
    im += other->current.imag();
  }
  return {-re, -im};
}

namespace {
void reserve_ports(std::vector<Port>& ports, int n) {
  if (n > max_port_count) throw vector_too_long();
  reserve_exactly(ports, n);
}
}  // namespace

Element::Element(int n) {
  reserve_ports(ports, n);
  for (int i = 0; i < n; ++i) ports.emplace_back(complex_d(0.0, 0.0), complex_d(0.0, 0.0), this);
}

Element::Element(int n, const complex_d* potentials) {
  reserve_ports(ports, n);
  for (int i = 0; i < n; ++i) ports.emplace_back(complex_d(0.0, 0.0), potentials[i], this);
}

Element::~Element() {
  // No node may keep listing a destroyed port.
  for (Port& port : ports) port.connection->remove_port(&port);
}

void Element::variable_holders(HolderVisitor&) {}
void Element::parameter_holders(HolderVisitor&) {}
void Element::after_binding() {}

void Element::append_variable_values(std::vector<double>& x0) {
  AppendValues append(x0);
  variable_holders(append);
}

void Element::append_parameter_values(std::vector<double>& p0) {
  AppendValues append(p0);
  parameter_holders(append);
}

void Element::bind_variables(TapeArray& X, Eigen::VectorXd& x, int& index, BindingRecord* record) {
  BindValues bind(X, x, index, record);
  variable_holders(bind);
  after_binding();
}

void Element::bind_parameters(TapeArray& P, Eigen::VectorXd& p, int& index, BindingRecord* record) {
  BindValues bind(P, p, index, record);
  parameter_holders(bind);
}

const std::vector<FlexibleParameter*>& Element::flexible_parameters() const {
  static const std::vector<FlexibleParameter*> none;
  return none;
}

void Element::append_equations(TapeArray&, int&) {}

void Element::backward_step() {
  throw no_backward_step("this element");
}

double Element::forward_step() { return 0.0; }

void Element::connect(Element& other, const std::vector<std::pair<int, int>>& pairs) {
  for (const auto& [i, j] : pairs) ports[static_cast<size_t>(i)].connection->merge(&other.ports[static_cast<size_t>(j)]);
}

void Element::connect_ports(const int* port_indices, int count) {
  if (count < 2) return;
  Connection& survivor = *ports[port_indices[0]].connection;
  // Hold the survivor: it must outlive the merges that re-point its ports.
  const std::shared_ptr<Connection> keep = survivor.shared_from_this();
  for (int i = 1; i < count; ++i) survivor.merge(&ports[port_indices[i]]);
}

void Element::disconnect() {
  for (Port& port : ports) port.connection->remove_port(&port);
}

void Element::get_potentials(int n, complex_d* out) const {
  for (int i = 0; i < n; ++i) out[i] = ports[i].connection->get_potential();
}

void Element::check_port_index(int index) const {
  if (index < 0 || index >= port_count())
    throw std::out_of_range("port index " + std::to_string(index) + " out of range for an element of " +
                            std::to_string(port_count()) + " ports");
}
