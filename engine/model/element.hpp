#pragma once
// Elements, their ports, and the electrical nodes that ports share.

#include <memory>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "model/variables.hpp"
#include "util/ad_types.hpp"
#include "util/errors.hpp"

class Element;
class Connection;
class FlexibleParameter;

// The most ports one element may have: far beyond any conductor count, yet
// few enough that building them (each port on a node of its own) stays
// within memory. A larger count is refused before anything is allocated, as
// a negative one is.
constexpr int max_port_count = 1 << 20;

// One conductor terminal of an element. Its current is positive from the
// node into the element.
class Port {
 public:
  std::shared_ptr<Connection> connection;
  Element* element;
  ad_complex current_ad;
  complex_d current;

  // Creates the port on a node of its own at the given potential.
  Port(complex_d current, complex_d potential, Element* owner);

  // Ports live in their element's reserved array and never move; moving is
  // declared only so that the array can be built in place.
  Port(Port&&) = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  Port& operator=(Port&&) = delete;
};

// An electrical node shared by the ports joined to it.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  std::vector<Port*> ports;
  Variable potential;
  bool is_reference = false;

  Connection(complex_d potential, Port* first);

  // Joins the node of `other` into this node; this node keeps its potential.
  void merge(Port* other);

  // Plain read: 0 at a reference node, else the bound solver slot, else the
  // stored value.
  complex_d get_potential() const {
    return is_reference ? complex_d(0.0, 0.0) : potential.get_value();
  }
  // Tape read: the constant 0 at a reference node, else the tape value.
  ad_complex get_potential_ad() const {
    return is_reference ? ad_complex(ad_double(0.0), ad_double(0.0)) : potential.ad;
  }

  // Removes every occurrence of `port` from the list, keeping the order.
  void remove_port(const Port* port);
};

// The negated sum of the plain currents of every other port listed at the
// node of `port`, each part summed from 0 in list order: the current that
// balances the node when `port` is the one left to fix.
complex_d balancing_current(const Port& port);

// A network element: a fixed array of ports and, through its virtual
// interface, three roles that the network and the solvers call in turn.
//
// Layout (network construction and every solver's set-up). The element's own
// variables and dynamic parameters, complex values as (re, im), real ones as
// one entry:
//   variable_holders / parameter_holders name them once, in layout order, to
//     a HolderVisitor (model/variables.hpp);
//   append_variable_values / append_parameter_values push their present
//     values onto x0 / p0, and bind_variables / bind_parameters bind them at
//     `index` of the solver's arrays and advance it, both by walking that one
//     declaration (model/layout.hpp places every element's block);
//   flexible_parameters names the parameters whose limits the network adds
//     to p after all elements (flexible loads only);
//   after_binding runs once bind_variables has bound the variables, for an
//     element that caches what binding settles (the base does nothing).
// Laws (the residual function):
//   update_port_currents(true) sets every port's current_ad from tape values
//     of the node potentials and of the element's holders; (false) sets every
//     port's plain current from the present potentials and values. Elements
//     write the law once, as compute_currents<C>() (ElementImpl below);
//   append_equations writes the element's own rows at `index`, (re, im) per
//     complex equation, one row per variable entry, and advances it.
// Sweeps (backward-forward solver, plain doubles only):
//   backward_step sets the plain port currents from the element's downstream
//     side (the base refuses with the "2 ..." failure of util/errors.hpp);
//   forward_step writes the downstream node potentials and returns the
//     change it made (0 when it writes none, as the base); a NaN fails the
//     sweep.
// Port currents are positive from the node into the element throughout.
class Element {
 public:
  std::vector<Port> ports;

  explicit Element(int n);
  virtual ~Element();

  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;

  // Layout: no holders of its own in the base.
  virtual void variable_holders(HolderVisitor& visitor);
  virtual void parameter_holders(HolderVisitor& visitor);
  virtual void after_binding();
  void append_variable_values(std::vector<double>& x0);
  void append_parameter_values(std::vector<double>& p0);
  void bind_variables(TapeArray& X, Eigen::VectorXd& x, int& index, BindingRecord* record = nullptr);
  void bind_parameters(TapeArray& P, Eigen::VectorXd& p, int& index, BindingRecord* record = nullptr);
  // The flexible parameters whose limits the network lays out for this
  // element, one per phase, repeats allowed; none in the base.
  virtual const std::vector<FlexibleParameter*>& flexible_parameters() const;
  // Laws.
  virtual void update_port_currents(bool on_tape) = 0;
  virtual void append_equations(TapeArray& y, int& index);
  // Sweeps.
  virtual void backward_step();
  virtual double forward_step();

  // Joins. Which node survives is part of each operation: the survivor
  // keeps its potential (value and binding), absorbs every port listed at
  // the other node, and is a reference node when either node was one.
  //
  // Port i of this element with port j of `other`, for each pair (i, j) in
  // order; this element's node survives each join.
  void connect(Element& other, const std::vector<std::pair<int, int>>& pairs);
  // The nodes of ports[1 .. count-1] into the node of ports[0], in order.
  void connect_ports(const int* port_indices, int count);
  // Takes every port of this element out of its node's list.
  void disconnect();
  // Plain potentials of the nodes of ports 0 .. n-1.
  void get_potentials(int n, complex_d* out) const;

  int port_count() const { return static_cast<int>(ports.size()); }
  // Throws std::out_of_range unless 0 <= index < port_count().
  void check_port_index(int index) const;

 protected:
  // Builds n ports whose nodes start at the given potentials.
  Element(int n, const complex_d* potentials);
};

// Intermediate of the concrete elements, parameterised by the concrete class
// and the base it extends. T writes its current law once, as
// `template <class C> void compute_currents()` over CurrentMode<C>
// (model/current_mode.hpp); this is the one place that picks the mode.
template <class T, class Base = Element>
class ElementImpl : public Base {
 public:
  using Base::Base;

  void update_port_currents(bool on_tape) final {
    T& self = static_cast<T&>(*this);
    if (on_tape)
      self.template compute_currents<ad_complex>();
    else
      self.template compute_currents<complex_d>();
  }
};
