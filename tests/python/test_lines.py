"""The switch and line types: construction, the parameter updates, and the
currents they give at known potentials."""

import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from netcheck import largest, shunt_line_currents, simplified_line_currents
from netlist import network_of

def test_switches_have_only_inherited_methods():
    for t in (ce.CySwitch, ce.CyOpenSwitch):
        assert [n for n in vars(t) if not n.startswith("__")] == []
    assert ce.CyShuntLine.connect_side is ce.CyBranch.connect_side


Z2 = np.array([[1 + 1j, 0.2 + 0.1j], [0.3 - 0.1j, 2 + 0.5j]])  # not symmetric
Y2 = np.array([[0.1j, -0.02j], [-0.02j, 0.12j]])


# (constructor, ports, sides, own variables per conductor pair of entries)
@pytest.mark.parametrize("make,ports,side,variables", [
    (lambda: ce.CySwitch(3), 6, 3, 6),
    (lambda: ce.CySwitch(0), 0, 0, 0),
    (lambda: ce.CyOpenSwitch(1), 2, 1, 0),
    (lambda: ce.CySimplifiedLine(2, np.append(Z2.ravel(), 99)), 4, 2, 0),
    (lambda: ce.CySimplifiedLine(n=1, z_line=np.array([1j])), 2, 1, 0),
    (lambda: ce.CyShuntLine(3, np.eye(3, dtype=complex).ravel(), np.eye(3, dtype=complex).ravel()), 7, 3, 0),
    (lambda: ce.CyShuntLine(z_line=Z2.ravel(), n=2, y_shunt=Y2.ravel()), 5, 2, 0),
])
def test_ports_sides_and_variables(make, ports, side, variables):
    branch = make()
    assert branch.get_potentials(ports).shape == (ports,)
    assert [a.shape for a in branch.get_side_potentials(side, side)] == [(side,), (side,)]
    with pytest.raises(ValueError, match="^Argument 'n1' is too large"):
        branch.get_side_currents(side + 1, 0)
    # Every port on a node of its own: two node entries each, then the element's own.
    assert len(ce.CyBackwardForward(network_of(branch)).get_variables()) == 2 * ports + variables
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(branch)


@pytest.mark.parametrize("call,error,message,entry", [
    *[(lambda t=t: t(-1), RuntimeError, "vector too long", t.__name__ + ".__cinit__") for t in
      (ce.CySwitch, ce.CyOpenSwitch)],
    (lambda: ce.CySimplifiedLine(-1, None), RuntimeError, "vector too long", "CySimplifiedLine.__cinit__"),
    (lambda: ce.CyShuntLine(-2, None, None), RuntimeError, "vector too long", "CyShuntLine.__cinit__"),
    (lambda: ce.CySimplifiedLine(2, np.ones(3, complex)), ValueError, "Argument 'z_line' holds 3 items, but 4 are read",
     "CySimplifiedLine.__cinit__"),
    (lambda: ce.CySimplifiedLine(1, None), TypeError, "Argument 'z_line' is None, but 1 items are read",
     "CySimplifiedLine.__cinit__"),
    # n by n counted without overflow of the 32-bit count.
    (lambda: ce.CySimplifiedLine(50000, np.ones(1, complex)), ValueError,
     "Argument 'z_line' holds 1 items, but 2500000000 are read", "CySimplifiedLine.__cinit__"),
    # y_shunt is checked before z_line.
    (lambda: ce.CyShuntLine(2, np.ones(3, complex), None), ValueError,
     "Argument 'y_shunt' holds 3 items, but 4 are read", "CyShuntLine.__cinit__"),
    (lambda: ce.CyShuntLine(2, np.ones(4, complex), np.ones(2, complex)), ValueError,
     "Argument 'z_line' holds 2 items, but 4 are read", "CyShuntLine.__cinit__"),
    (lambda: ce.CyShuntLine(1, np.ones(1), np.ones(1, complex)), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got 'double'", "CyShuntLine.__cinit__"),
    (lambda: ce.CySimplifiedLine(2, Z2.ravel()).update_line_parameters(np.ones(3, complex)), ValueError,
     "Argument 'z_line' holds 3 items, but 4 are read", "CySimplifiedLine.update_line_parameters"),
    (lambda: ce.CyShuntLine(2, Y2.ravel(), Z2.ravel()).update_line_parameters(None, Z2.ravel()), TypeError,
     "Argument 'y_shunt' is None, but 4 items are read", "CyShuntLine.update_line_parameters"),
    (lambda: ce.CySimplifiedLine(2, Z2.ravel()).update_single_line_parameters(1j), ValueError,
     "a one-value line update needs a line of one conductor, this line has 2",
     "CySimplifiedLine.update_single_line_parameters"),
    (lambda: ce.CyShuntLine(2, Y2.ravel(), Z2.ravel()).update_single_line_parameters(1j, 1), ValueError,
     "a one-value line update needs a line of one conductor, this line has 2",
     "CyShuntLine.update_single_line_parameters"),
    (lambda: ce.CySimplifiedLine(1, np.ones(1, complex)).update_single_line_parameters("z"), TypeError,
     "must be real number, not str",
     "CySimplifiedLine.update_single_line_parameters"),
])
def test_refusals(call, error, message, entry, binding_entries):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    assert binding_entries(info.value) == [entry]


class Rig:
    """A branch of n conductors between two buses at the given potentials (and
    a ground bus for a shunt line's ground port); a Newton solve without steps
    makes the plain currents of those potentials readable."""

    def __init__(self, line, v1, v2, vg=0j):
        n = len(v1)
        self.line, self.vg = line, vg
        self.b1, self.b2 = ce.CyBus(n, np.asarray(v1, complex)), ce.CyBus(n, np.asarray(v2, complex))
        self.g = ce.CyBus(1, np.array([vg]))
        line.connect_side(self.b1, [(k, k) for k in range(n)], True)
        line.connect_side(self.b2, [(k, k) for k in range(n)], False)
        elements = [self.b1, line, self.b2]
        if isinstance(line, ce.CyShuntLine):
            self.g.connect(line, [(0, 2 * n)])
            elements.append(self.g)
        self.n, self.solver = n, ce.CyNewton(network_of(*elements), False)

    def currents(self):
        self.solver.solve_load_flow(0, 0.0)
        i1, i2 = self.line.get_side_currents(self.n, self.n)
        if isinstance(self.line, ce.CyShuntLine):
            return i1, i2, self.line.get_port_current(2 * self.n)
        return i1, i2


V1, V2 = np.array([10 + 1j, -3 + 4j]), np.array([9, -2 + 3.5j])


def close(got, expected):
    return all(largest(g - e) < 1e-12 for g, e in zip(got, expected))


def test_simplified_line_reads_its_impedance_row_by_row():
    rig = Rig(ce.CySimplifiedLine(2, np.append(Z2.ravel(), 1e9)), V1, V2)
    assert close(rig.currents(), simplified_line_currents(Z2, V1, V2))
    # The residuals are the two current-law sums, one per conductor and side.
    iterations, error = rig.solver.solve_load_flow(0, 0.0)
    i1, _ = simplified_line_currents(Z2, V1, V2)
    assert iterations == 0 and error == pytest.approx(largest(np.concatenate([i1.real, i1.imag])), rel=1e-12)


def test_shunt_line_reads_both_matrices_and_its_ground_port():
    vg = 0.5 - 0.25j
    rig = Rig(ce.CyShuntLine(2, Y2.ravel(), Z2.ravel()), V1, V2, vg)
    assert rig.line.get_potentials(5)[4] == vg  # the ground port is the last
    assert close(rig.currents(), shunt_line_currents(Y2, Z2, V1, V2, vg))


def test_updates_reach_the_bound_solver_at_once():
    rig = Rig(ce.CySimplifiedLine(2, Z2.ravel()), V1, V2)
    rig.line.update_line_parameters(np.append(2 * Z2.ravel(), 7))
    assert close(rig.currents(), simplified_line_currents(2 * Z2, V1, V2))
    rig = Rig(ce.CyShuntLine(2, Y2.ravel(), Z2.ravel()), V1, V2, 1j)
    rig.line.update_line_parameters(y_shunt=(3 * Y2).ravel(), z_line=(0.5 * Z2).ravel())
    assert close(rig.currents(), shunt_line_currents(3 * Y2, 0.5 * Z2, V1, V2, 1j))


@pytest.mark.parametrize("z", [2 - 1j, 3.5, 4])
def test_single_value_updates_equal_one_entry_arrays(z):
    v1, v2 = np.array([5 + 1j]), np.array([2j])
    single, array = Rig(ce.CySimplifiedLine(1, np.array([1j])), v1, v2), Rig(ce.CySimplifiedLine(1, np.array([1j])),
                                                                            v1, v2)
    single.line.update_single_line_parameters(z)
    array.line.update_line_parameters(np.array([z], dtype=complex))
    assert close(single.currents(), array.currents()) and close(single.currents(),
                                                               simplified_line_currents(np.array([[z]]), v1, v2))
    single, array = Rig(ce.CyShuntLine(1, np.ones(1, complex), np.ones(1, complex)), v1, v2), Rig(
        ce.CyShuntLine(1, np.ones(1, complex), np.ones(1, complex)), v1, v2)
    single.line.update_single_line_parameters(y_shunt=0.1j, z_line=z)
    array.line.update_line_parameters(np.array([0.1j]), np.array([z], dtype=complex))
    assert close(single.currents(), array.currents())
    assert close(single.currents(), shunt_line_currents(np.array([[0.1j]]), np.array([[z]]), v1, v2, 0))


def test_update_before_any_solver_is_the_starting_value():
    line = ce.CyShuntLine(2, Y2.ravel(), Z2.ravel())
    line.update_line_parameters((2 * Y2).ravel(), (2 * Z2).ravel())
    assert close(Rig(line, V1, V2).currents(), shunt_line_currents(2 * Y2, 2 * Z2, V1, V2, 0))


def one_conductor_feed(line, u=100 + 0j):
    """A grounded source feeding a one-conductor line into an open end."""
    src, ref, end = ce.CyVoltageSource(2, np.array([u])), ce.CyPotentialRef(), ce.CyBus(1, np.array([u]))
    src.connect(ref, [(1, 0)])
    line.connect_side(src, [(0, 0)], True)
    line.connect_side(end, [(0, 0)], False)
    elements = [src, ref, line, end]
    if isinstance(line, ce.CyShuntLine):
        ref.connect(line, [(0, 2)])
    return network_of(*elements), end


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
def test_one_conductor_shunt_line_at_an_open_end(kind):
    """The open end takes V2 = V1 (1/z) / (1/z + y/2); the sweeps run on the
    line's one-conductor paths, also after an update."""
    u = 100 + 0j
    line = ce.CyShuntLine(1, np.array([2e-3j]), np.array([0.5 + 1j]))
    net, end = one_conductor_feed(line, u)
    solver = ce.CyNewton(net, False) if kind == "newton" else ce.CyBackwardForward(net)
    for y, z in [(2e-3j, 0.5 + 1j), (0.02j, 2 + 1j)]:
        line.update_single_line_parameters(y, z)
        solver.solve_load_flow(100, 1e-12)
        assert abs(end.get_port_potential(0) - u * (1 / z) / (1 / z + y / 2)) < 1e-9
        i1, i2, ig = shunt_line_currents(np.array([[y]]), np.array([[z]]), np.array([u]),
                                         np.array([end.get_port_potential(0)]), 0)
        assert abs(line.get_port_current(0) - i1[0]) < 1e-9 and abs(line.get_port_current(1)) < 1e-9
        assert abs(line.get_port_current(2) - ig) < 1e-9


@pytest.mark.parametrize("make,message", [
    (lambda n: ce.CyNewton(n, False), "1 NaN value encountered at iteration 0. "),
    (lambda n: ce.CyNewtonGoldstein(n, False, 0.1, 0.9, True), "1 NaN value encountered at iteration 0. "),
    (lambda n: ce.CyBackwardForward(n), "2 NaN value encountered at iteration 1. "),
])
def test_zero_impedance_fails_the_solve_with_nan(make, message, binding_entries):
    net, _ = one_conductor_feed(ce.CySimplifiedLine(1, np.zeros(1, complex)))
    solver = make(net)
    with pytest.raises(RuntimeError) as info:
        solver.solve_load_flow(10, 1e-9)
    assert str(info.value) == message
    assert binding_entries(info.value) == ["CyAbstractSolver.solve_load_flow"]
