"""Networks built from Python for the tests: the elements in network order
and the nodes their joins make, for the checks of netcheck."""

import numpy as np

import load_flow_engine.cy_engine as ce
from netcheck import Nodes


def network_of(*elements):
    return ce.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))


class Netlist:
    """Elements in network order, with the nodes their joins make."""

    def __init__(self):
        self.objects, self.ports, self.nodes = {}, {}, Nodes()

    def add(self, name, obj, ports):
        self.objects[name], self.ports[name] = obj, ports
        self.nodes.add(name, ports)
        return obj

    def join(self, a, pa, b, pb):
        self.objects[a].connect(self.objects[b], [(pa, pb)])
        self.nodes.join((a, pa), (b, pb))

    def join_side(self, branch, n, beginning, other, pairs):
        self.objects[branch].connect_side(self.objects[other], pairs, beginning)
        for k, j in pairs:
            self.nodes.join((branch, k if beginning else n + k), (other, j))

    def network(self):
        return network_of(*self.objects.values())

    def potentials(self):
        return np.concatenate([obj.get_potentials(self.ports[name]) for name, obj in self.objects.items()])

    def currents(self):
        return {name: obj.get_currents(self.ports[name]) for name, obj in self.objects.items()}

    def free_nodes(self, *references):
        return [node for node in self.nodes.all() if not any(r in node for r in references)]
