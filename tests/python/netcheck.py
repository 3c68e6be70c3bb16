"""The network model's equations in NumPy, evaluated on the values a test
reads back from a solved network. Nothing here calls the engine."""

import numpy as np


class Nodes:
    """Which ports share a node, recorded as a test joins them: a port is
    (element name, port index)."""

    def __init__(self):
        self._node = {}

    def add(self, name, port_count):
        for k in range(port_count):
            self._node[(name, k)] = {(name, k)}

    def join(self, a, b):
        merged = self._node[a] | self._node[b]
        for port in merged:
            self._node[port] = merged

    def of(self, port):
        return self._node[port]

    def all(self):
        seen, out = set(), []
        for node in self._node.values():
            if id(node) not in seen:
                seen.add(id(node))
                out.append(sorted(node))
        return out


def node_sums(currents, nodes):
    """The current-law sum of every node: `currents` maps an element name to
    its port currents (flowing from the node into the element)."""
    return np.array([sum(currents[name][k] for name, k in node) for node in nodes], dtype=complex)


def simplified_line_currents(z, v1, v2):
    """Side-1 and side-2 currents of a series impedance matrix z."""
    i1 = np.linalg.solve(z, v1 - v2)
    return i1, -i1


def shunt_line_currents(y, z, v1, v2, vg):
    """Side-1, side-2 and ground-port currents of a pi section: series z,
    half of the shunt admittance y at each end, to the ground port at vg."""
    series = np.linalg.solve(z, v1 - v2)
    i1 = series + y @ (v1 - vg) / 2
    i2 = -series + y @ (v2 - vg) / 2
    ig = -0.5 * y.sum(axis=1) @ (v1 + v2 - 2 * vg)
    return i1, i2, ig


def star_voltages(v):
    """Voltages of a star source of potentials v: each port against the last."""
    return v[:-1] - v[-1]


def delta_voltages(v):
    """Voltages of a delta source of potentials v: each port against the next."""
    return v[:-1] - v[1:]


def largest(values):
    return float(np.max(np.abs(values))) if np.size(values) else 0.0


def close(got, expected):
    """Equal within 1e-8, relative to the quantity's size where that exceeds 1."""
    expected = np.asarray(expected)
    assert largest(np.asarray(got) - expected) <= 1e-8 * max(1.0, largest(expected))
