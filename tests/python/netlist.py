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


def chain_network(buses, loads_per_bus):
    """A two-conductor source feeding a chain of lines and buses, each bus
    with its loads: 4 variables per bus, and a tape that grows with the loads."""
    src, ref = ce.CyVoltageSource(2, np.array([230 + 0j])), ce.CyPotentialRef()
    src.connect(ref, [(1, 0)])
    elements, previous = [src, ref], src
    z = np.array([0.1 + 0.05j, 0.01, 0.01, 0.1 + 0.05j])
    for _ in range(buses):
        bus, line = ce.CyBus(2, np.array([230 + 0j, 0j])), ce.CySimplifiedLine(2, z)
        line.connect_side(previous, [(0, 0), (1, 1)], True)
        line.connect_side(bus, [(0, 0), (1, 1)], False)
        elements += [bus, line]
        for _ in range(loads_per_bus):
            load = ce.CyPowerLoad(2, np.array([100 + 20j]))
            bus.connect(load, [(0, 0), (1, 1)])
            elements.append(load)
        previous = bus
    return network_of(*elements)
