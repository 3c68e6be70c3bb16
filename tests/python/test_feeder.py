"""Networks built from Python and solved by every method, checked against the
model's equations evaluated in NumPy on the values read back."""

import gc
import time

import numpy as np

import load_flow_engine.cy_engine as ce
from netcheck import delta_voltages, largest, node_sums, shunt_line_currents, simplified_line_currents, star_voltages
from netlist import Netlist

A = np.exp(2j * np.pi / 3)
U = 230 * np.array([1, A**2, A])  # phase to neutral
FLAT = np.append(U, 0)

# Full, non-diagonal matrices of four conductors (three phases and a neutral).
Z1 = np.array([[0.20 + 0.45j, 0.05 + 0.28j, 0.05 + 0.25j, 0.05 + 0.27j],
               [0.05 + 0.28j, 0.21 + 0.44j, 0.05 + 0.28j, 0.05 + 0.26j],
               [0.05 + 0.25j, 0.05 + 0.28j, 0.19 + 0.46j, 0.05 + 0.28j],
               [0.05 + 0.27j, 0.05 + 0.26j, 0.05 + 0.28j, 0.25 + 0.50j]])
Y1 = 1e-4j * np.array([[3.0, -0.8, -0.6, -0.7], [-0.8, 3.1, -0.8, -0.6], [-0.6, -0.8, 2.9, -0.7],
                       [-0.7, -0.6, -0.7, 2.8]])
Z2 = 0.6 * Z1 + np.array([[0, 0.01, 0, 0], [0, 0, 0.02j, 0], [0.01j, 0, 0, 0], [0, 0, 0, 0.03]])  # not symmetric
Z3 = 0.3 * Z1
# A strongly admitting last section that draws the feeder's load current.
Y3 = np.array([[0.060 + 0.020j, -0.004, -0.002, -0.010], [-0.004, 0.045 + 0.015j, -0.003, -0.010],
               [-0.002, -0.003, 0.070 + 0.010j, -0.010], [-0.010, -0.010, -0.010, 0.050]])


def four_wire_feeder():
    """Source, grounded neutral, switch, charging line, series line, loading line."""
    net = Netlist()
    net.add("src", ce.CyVoltageSource(4, U), 4)
    net.add("b0", ce.CyBus(4, FLAT), 4)
    net.add("gnd", ce.CyGround(), 1)
    net.add("pref", ce.CyPotentialRef(), 1)
    net.add("sw", ce.CySwitch(4), 8)
    net.add("b1", ce.CyBus(4, FLAT), 4)
    net.add("l1", ce.CyShuntLine(4, Y1.ravel(), Z1.ravel()), 9)
    net.add("b2", ce.CyBus(4, FLAT), 4)
    net.add("l2", ce.CySimplifiedLine(4, Z2.ravel()), 8)
    net.add("b3", ce.CyBus(4, FLAT), 4)
    net.add("l3", ce.CyShuntLine(4, Y3.ravel(), Z3.ravel()), 9)
    net.add("b4", ce.CyBus(4, FLAT), 4)
    all4 = [(k, k) for k in range(4)]
    for k in range(4):
        net.join("b0", k, "src", k)
    net.join("gnd", 0, "b0", 3)
    net.join("pref", 0, "gnd", 0)
    for branch, before, after in [("sw", "b0", "b1"), ("l1", "b1", "b2"), ("l2", "b2", "b3"), ("l3", "b3", "b4")]:
        net.join_side(branch, 4, True, before, all4)
        net.join_side(branch, 4, False, after, all4)
    net.join("gnd", 0, "l1", 8)
    net.join("gnd", 0, "l3", 8)
    return net


SOLVERS = {
    "newton": (lambda n: ce.CyNewton(n, True), 1e-10),
    "goldstein": (lambda n: ce.CyNewtonGoldstein(n, False, 0.1, 0.9, True), 1e-10),
    "backward_forward": (lambda n: ce.CyBackwardForward(n), 1e-12),
}


def iterations_lasting(kind, seconds):
    """About how many iterations of `kind` on the four-wire feeder take that long
    here (for solves that other threads or signals meet halfway)."""
    solver = SOLVERS[kind][0](four_wire_feeder().network())
    n = 16
    while True:
        start = time.perf_counter()
        solver.solve_load_flow(n, -1.0)
        elapsed = time.perf_counter() - start
        if elapsed > 0.05:
            return max(1, int(n * seconds / elapsed))
        n *= 4


def solve(net, kind):
    make, tolerance = SOLVERS[kind]
    solver = make(net.network())
    iterations, error = solver.solve_load_flow(100, tolerance)
    assert 1 <= iterations < 100 and abs(error) <= tolerance
    return solver


def check_feeder(net, u=U, z2=Z2, y3=Y3, z3=Z3):
    o = net.objects
    currents = net.currents()
    assert largest(node_sums(currents, net.free_nodes(("pref", 0)))) < 1e-8
    assert largest(star_voltages(o["src"].get_potentials(4)) - u) < 1e-8
    v1, v2 = o["sw"].get_side_potentials(4, 4)
    i1, i2 = o["sw"].get_side_currents(4, 4)
    assert largest(v1 - v2) < 1e-8 and largest(i1 + i2) == 0
    for name, y, z in [("l1", Y1, Z1), ("l3", y3, z3)]:
        v1, v2 = o[name].get_side_potentials(4, 4)
        vg = o[name].get_port_potential(8)
        expected = shunt_line_currents(y, z, v1, v2, vg)
        got = (*o[name].get_side_currents(4, 4), o[name].get_port_current(8))
        assert vg == 0 and all(largest(g - e) < 1e-8 for g, e in zip(got, expected)), name
    v1, v2 = o["l2"].get_side_potentials(4, 4)
    for g, e in zip(o["l2"].get_side_currents(4, 4), simplified_line_currents(z2, v1, v2)):
        assert largest(g - e) < 1e-8
    # The feeder carries its load, some amperes.
    assert 5 < largest(o["l2"].get_side_currents(4, 4)[0]) < 100
    # The reference takes what its node's other elements carry: nothing here,
    # since every element's port currents sum to zero.
    reference = node_sums(currents, [net.nodes.of(("pref", 0))])[0]
    assert abs(o["pref"].get_current() - reference) < 1e-12 and abs(reference) < 1e-8


def test_four_wire_feeder_satisfies_its_equations_by_every_method():
    results = {}
    for kind in SOLVERS:
        net = four_wire_feeder()
        solver = solve(net, kind)
        check_feeder(net)
        results[kind] = net.potentials(), solver
    reference = results["newton"][0]
    for kind, (values, _) in results.items():
        assert largest(values - reference) < 1e-8, kind
    # The node block of the Newton solvers' variables is laid out the same way.
    x = results["newton"][1].get_variables()
    np.testing.assert_allclose(results["goldstein"][1].get_variables(), x, atol=1e-8)
    assert largest(results["newton"][1].get_residuals()) < 1e-10
    assert results["newton"][1].analyse_jacobian() == ([], [])


UPDATED = {"u": 1.05 * U, "z2": 2 * Z2, "y3": 0.5 * Y3, "z3": 0.5 * Z3}


def update(net):
    o = net.objects
    o["src"].update_voltages(UPDATED["u"])
    o["l2"].update_line_parameters(UPDATED["z2"].ravel())
    o["l3"].update_line_parameters(UPDATED["y3"].ravel(), UPDATED["z3"].ravel())


def test_parameter_updates_reach_the_next_solve():
    net = four_wire_feeder()
    solver = solve(net, "newton")
    jacobian = solver.get_jacobian()
    update(net)
    # The tape keeps the parameters of the last solve until the next one.
    np.testing.assert_array_equal(solver.get_jacobian(), jacobian)
    solver.solve_load_flow(20, 1e-10)
    assert largest(solver.get_jacobian() - jacobian) > 1e-3
    check_feeder(net, **UPDATED)
    # Updates made before a solver exists are the values it starts from.
    other = four_wire_feeder()
    update(other)
    solve(other, "backward_forward")
    check_feeder(other, **UPDATED)
    assert largest(net.potentials() - other.potentials()) < 1e-8


def test_a_solver_alone_keeps_the_feeder_alive():
    def build(kind):
        return SOLVERS[kind][0](four_wire_feeder().network())

    solvers = {kind: build(kind) for kind in SOLVERS}
    gc.collect()
    for kind, solver in solvers.items():
        iterations, error = solver.solve_load_flow(100, SOLVERS[kind][1])
        assert iterations >= 1 and abs(error) <= SOLVERS[kind][1]
    x = solvers["newton"].get_variables()
    # The same structure gives the same layout: node potentials, switch and source currents.
    for kind in ("goldstein", "backward_forward"):
        nodes = slice(0, len(x) - 14)  # the backward-forward sweeps leave the current variables at 0
        np.testing.assert_allclose(solvers[kind].get_variables()[nodes], x[nodes], atol=1e-8)
    assert largest(solvers["newton"].get_residuals()) < 1e-10
    del solvers
    gc.collect()


def test_delta_source_with_delta_reference():
    """A delta source on three conductors, a delta reference and a pi-section
    whose shunt admittance closes on a floating ground node."""
    u = np.array([400, 400 * A**2])  # conductor 0 to 1, conductor 1 to 2
    y = np.array([[0.03 + 0.01j, -0.002, -0.001], [-0.002, 0.02 + 0.01j, -0.003], [-0.001, -0.003, 0.025]])
    z = Z1[:3, :3]
    net = Netlist()
    net.add("src", ce.CyDeltaVoltageSource(3, np.append(u, 999)), 3)  # a third entry is not read
    net.add("bus", ce.CyBus(3, np.zeros(3, complex)), 3)
    net.add("dref", ce.CyDeltaPotentialRef(3), 3)
    net.add("line", ce.CyShuntLine(3, y.ravel(), z.ravel()), 7)
    net.add("end", ce.CyBus(3, np.zeros(3, complex)), 3)
    net.add("gnd", ce.CyGround(), 1)
    for k in range(3):
        net.join("bus", k, "src", k)
        net.join("bus", k, "dref", k)
    net.join_side("line", 3, True, "bus", [(k, k) for k in range(3)])
    net.join_side("line", 3, False, "end", [(k, k) for k in range(3)])
    net.join("gnd", 0, "line", 6)
    for kind in ("newton", "goldstein"):
        solver = solve(net, kind)
        o = net.objects
        v = o["bus"].get_potentials(3)
        assert largest(delta_voltages(v) - u) < 1e-8 and abs(v.sum()) < 1e-8
        assert largest(node_sums(net.currents(), net.nodes.all())) < 1e-8
        v1, v2 = o["line"].get_side_potentials(3, 3)
        vg = o["line"].get_port_potential(6)
        assert abs(vg) > 1  # the ground node floats
        expected = shunt_line_currents(y, z, v1, v2, vg)
        got = (*o["line"].get_side_currents(3, 3), o["line"].get_port_current(6))
        assert all(largest(g - e) < 1e-8 for g, e in zip(got, expected))
        # The delta reference's current is its variable, the last of the vector, entering at port 0.
        x = solver.get_variables()
        assert o["dref"].get_current() == complex(x[-2], x[-1]) == o["dref"].get_port_current(0)


def test_open_switch_carries_nothing():
    net = Netlist()
    for name, u in (("s1", 100 + 10j), ("s2", 90 - 5j)):
        net.add(name, ce.CyVoltageSource(2, np.array([u])), 2)
    net.add("open", ce.CyOpenSwitch(1), 2)
    net.add("pref", ce.CyPotentialRef(), 1)
    net.join("pref", 0, "s1", 1)
    net.join("pref", 0, "s2", 1)
    net.join_side("open", 1, True, "s1", [(0, 0)])
    net.join_side("open", 1, False, "s2", [(0, 0)])
    for kind in SOLVERS:
        solver = solve(net, kind)  # noqa: F841 (the elements read its arrays while it lives)
        assert list(net.objects["open"].get_currents(2)) == [0, 0]
        assert [side[0] for side in net.objects["open"].get_side_potentials(1, 1)] == [100 + 10j, 90 - 5j]
        assert list(net.objects["s1"].get_currents(2)) == [0, 0]
