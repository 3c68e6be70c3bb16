"""The bus, ground and reference types."""

import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from netlist import network_of

def test_ground_has_no_current_reader():
    assert not hasattr(ce.CyGround, "get_current")
    assert set(vars(ce.CyGround)) & {"get_current", "initialize_potentials"} == set()


@pytest.mark.parametrize("make,ports", [
    (lambda: ce.CyBus(3, np.array([1, 2, 3], dtype=complex)), 3),
    (lambda: ce.CyBus(0, None), 0),
    (lambda: ce.CyGround(1, x=2), 1),
    (lambda: ce.CyPotentialRef("any"), 1),
    (lambda: ce.CyDeltaPotentialRef(3), 3),
    (lambda: ce.CyDeltaPotentialRef(n=1), 1),
    (lambda: ce.CyDeltaPotentialRef(0), 0),
])
def test_port_counts_and_pickling_refusal(make, ports):
    element = make()
    assert element.get_potentials(ports).shape == (ports,)
    with pytest.raises(ValueError, match="^Argument 'n' is too large"):
        element.get_potentials(ports + 1)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(element)


@pytest.mark.parametrize("call,error,message,entry", [
    (lambda: ce.CyDeltaPotentialRef(-1), RuntimeError, "vector too long", "CyDeltaPotentialRef.__cinit__"),
    (lambda: ce.CyDeltaPotentialRef(2**20 + 1), RuntimeError, "vector too long", "CyDeltaPotentialRef.__cinit__"),
    (lambda: ce.CyDeltaPotentialRef(2**31 - 1), RuntimeError, "vector too long", "CyDeltaPotentialRef.__cinit__"),
    (lambda: ce.CyBus(2**20 + 1, np.zeros(2**20 + 1, complex)), RuntimeError, "vector too long",
     "CyBus.__cinit__"),
    (lambda: ce.CyDeltaPotentialRef(), TypeError, "__cinit__() takes exactly 1 positional argument (0 given)",
     "CyDeltaPotentialRef.__cinit__"),
    (lambda: ce.CyDeltaPotentialRef(0).get_current(), IndexError,
     "port index 0 out of range for an element of 0 ports", "CyDeltaPotentialRef.get_current"),
    (lambda: ce.CyBus(3, np.ones(3, complex)).initialize_potentials(np.zeros(2, complex)), ValueError,
     "Argument 'potentials' holds 2 items, but 3 are read", "CyBus.initialize_potentials"),
    (lambda: ce.CyBus(1, np.ones(1, complex)).initialize_potentials(None), TypeError,
     "Argument 'potentials' is None, but 1 items are read", "CyBus.initialize_potentials"),
    (lambda: ce.CyBus(1, np.ones(1, complex)).initialize_potentials(np.zeros(1)), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got 'double'", "CyBus.initialize_potentials"),
    (lambda: ce.CyElement.get_potentials(ce.CyPotentialRef(), 2), ValueError,
     "Argument 'n' is too large: 2 exceeds 1", "CyElement.get_potentials"),
    (lambda: ce.CyPotentialRef().get_current(1), TypeError,
     "get_current() takes exactly 0 positional arguments (1 given)", None),
])
def test_refusals(call, error, message, entry, binding_entries):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    assert binding_entries(info.value) == ([] if entry is None else [entry])


def test_initialize_potentials_writes_the_shared_nodes():
    bus, other = ce.CyBus(3, np.zeros(3, complex)), ce.CyBus(1, np.zeros(1, complex))
    bus.connect(other, [(2, 0)])
    assert bus.initialize_potentials(np.array([1, 2j, 3, 4], dtype=complex)) is None  # the fourth is not read
    assert list(bus.get_potentials(3)) == [1, 2j, 3] and other.get_port_potential(0) == 3
    assert ce.CyBus(0, None).initialize_potentials(None) is None


def test_initialize_potentials_on_bound_and_reference_nodes():
    bus, ref, switch = ce.CyBus(2, np.array([1, 2], dtype=complex)), ce.CyPotentialRef(), ce.CySwitch(1)
    bus.connect(ref, [(1, 0)])
    switch.connect_side(bus, [(0, 0)], True)
    switch.connect_side(bus, [(0, 1)], False)
    solver = ce.CyNewton(network_of(bus, ref, switch), False)
    np.testing.assert_array_equal(solver.get_variables(), [1, 0, 0, 0])  # one node holds variables
    bus.initialize_potentials(np.array([5 + 6j, 7], dtype=complex))
    np.testing.assert_array_equal(solver.get_variables(), [5, 6, 0, 0])  # the solver sees it at once
    assert list(bus.get_potentials(2)) == [5 + 6j, 0]  # a reference node keeps reading 0
    # A solver built later starts from the written value.
    np.testing.assert_array_equal(ce.CyBackwardForward(network_of(bus, ref, switch)).get_variables(), [5, 6, 0, 0])


def test_references_take_what_their_nodes_carry():
    """A source between two references feeds a line back into the second:
    V = U, the line carries Y U from the source node into reference b."""
    u, z = 100 + 20j, 4 + 3j
    src, line = ce.CyVoltageSource(2, np.array([u])), ce.CySimplifiedLine(1, np.array([z]))
    ref_a, ref_b = ce.CyPotentialRef(), ce.CyPotentialRef()
    src.connect(ref_a, [(1, 0)])
    line.connect_side(src, [(0, 0)], True)
    line.connect_side(ref_b, [(0, 0)], False)
    assert ref_a.get_current() == 0j and ref_b.get_current() == 0j  # before any solve
    solver = ce.CyNewton(network_of(src, line, ref_a, ref_b), False)
    assert solver.solve_load_flow(5, 1e-12)[0] == 1
    assert ref_a.get_current() == pytest.approx(u / z, abs=1e-12)
    assert ref_b.get_current() == pytest.approx(-u / z, abs=1e-12)


def test_delta_reference_of_one_port_holds_its_node_at_zero():
    """A one-port delta reference on the far end of a line from a grounded
    source: its current variable closes the line current, V_end = 0."""
    u, z = 50 - 10j, 2 + 1j
    src, line, ref, dref = (ce.CyVoltageSource(2, np.array([u])), ce.CySimplifiedLine(1, np.array([z])),
                            ce.CyPotentialRef(), ce.CyDeltaPotentialRef(1))
    src.connect(ref, [(1, 0)])
    line.connect_side(src, [(0, 0)], True)
    line.connect_side(dref, [(0, 0)], False)
    newton = ce.CyNewton(network_of(src, line, ref, dref), False)
    newton.solve_load_flow(5, 1e-12)
    assert abs(line.get_port_potential(1)) < 1e-12
    x = newton.get_variables()
    assert dref.get_current() == complex(x[-2], x[-1]) == pytest.approx(u / z, abs=1e-12)
    # Backward-forward sweeps leave a delta reference's port currents at zero.
    sweeps = ce.CyBackwardForward(network_of(src, line, ref, dref))
    sweeps.solve_load_flow(50, 1e-12)
    assert dref.get_current() == 0j
