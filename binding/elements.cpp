// CyElement and CyBranch: joining ports into nodes, and reading node
// potentials and port currents, for every element type.

#include "binding.hpp"
#include "model/branch.hpp"
#include "model/element.hpp"

using namespace cy;

namespace {

using ElementRef = Ref<Element, TypeId::CyElement>;

const Family<Element> elements(FamilyId::element);

const auto cy_element =
    elements.type<Element>(TypeId::CyElement)
        .method("connect", {"cy_element", "connections"},
                [](Element& self, const ElementRef& other, const Pairs& connections) {
                  self.connect(*other, connections.checked(self.port_count(), other->port_count()));
                })
        .method("connect_ports", {"ports"},
                [](Element& self, const Buffer<int>& ports) {
                  self.connect_ports(ports.indices_below(self.port_count()), static_cast<int>(ports.size()));
                })
        .method("disconnect", [](Element& self) { self.disconnect(); })
        .method("get_potentials", {"n"},
                [](Element& self, Int n) {
                  return complex_array(n.at_most(self.port_count()),
                                       [&self, n](complex_d* out) { self.get_potentials(n, out); });
                })
        .method("get_currents", {"n"},
                [](Element& self, Int n) {
                  return complex_array(n.at_most(self.port_count()), [&self, n](complex_d* out) {
                    for (int k = 0; k < n; ++k) out[k] = self.ports[k].current;
                  });
                })
        .method("get_port_potential", {"index"},
                [](Element& self, Int index) {
                  return self.ports[index.index_below(self.port_count())].connection->get_potential();
                })
        .method("get_port_current", {"index"},
                [](Element& self, Int index) { return self.ports[index.index_below(self.port_count())].current; });

int side_size(const Branch& branch, bool first) {
  return static_cast<int>((first ? branch.side1 : branch.side2).size());
}

const auto cy_branch =
    elements.type<Branch>(TypeId::CyBranch)
        .method("connect_side", {"element", "connections", "beginning"},
                [](Branch& self, const ElementRef& other, const Pairs& connections, bool beginning) {
                  self.connect_side(*other, connections.checked(side_size(self, beginning), other->port_count()), beginning);
                })
        .method("get_side_potentials", {"n1", "n2"},
                [](Branch& self, Int n1, Int n2) {
                  return complex_arrays(n1.at_most(side_size(self, true)), n2.at_most(side_size(self, false)),
                                        [&self, n1, n2](complex_d* out1, complex_d* out2) {
                                          self.get_side_potentials(n1, n2, out1, out2);
                                        });
                })
        .method("get_side_currents", {"n1", "n2"}, [](Branch& self, Int n1, Int n2) {
          return complex_arrays(n1.at_most(side_size(self, true)), n2.at_most(side_size(self, false)),
                                [&self, n1, n2](complex_d* out1, complex_d* out2) {
                                  for (int k = 0; k < n1; ++k) out1[k] = self.side1[k]->current;
                                  for (int k = 0; k < n2; ++k) out2[k] = self.side2[k]->current;
                                });
        });

}  // namespace
