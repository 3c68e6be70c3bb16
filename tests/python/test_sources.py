"""The voltage source types."""

import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from netcheck import delta_voltages, largest, star_voltages
from netlist import network_of

def test_delta_source_has_no_single_value_update():
    assert not hasattr(ce.CyDeltaVoltageSource, "update_voltage")


U3 = np.array([230, -115 - 199j, -115 + 199j, 777], dtype=complex)  # the fourth entry is never read


def grounded(source, last):
    """The source with port `last` on a potential reference; returns the
    Newton solver of the two."""
    ref = ce.CyPotentialRef()
    source.connect(ref, [(last, 0)])
    return ce.CyNewton(network_of(source, ref), False)


# (source, ports, imposed voltages, port put on the reference)
@pytest.mark.parametrize("make,ports,voltages,last", [
    (lambda: ce.CyVoltageSource(4, U3), 4, 3, 3),
    (lambda: ce.CyVoltageSource(n=2, voltages=U3), 2, 1, 1),
    (lambda: ce.CyVoltageSource(1, None), 1, 0, 0),
    (lambda: ce.CyDeltaVoltageSource(3, U3), 3, 2, 2),
    (lambda: ce.CyDeltaVoltageSource(n=3, voltages=U3[:2].copy()), 3, 2, 2),
])
def test_layout_and_imposed_voltages(make, ports, voltages, last):
    source = make()
    assert source.get_potentials(ports).shape == (ports,)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(source)
    solver = grounded(source, last)
    # One free node per port but the grounded one, then one current per voltage.
    assert len(solver.get_variables()) == 2 * (ports - 1) + 2 * voltages
    solver.solve_load_flow(5, 1e-12)
    v = source.get_potentials(ports)
    imposed = delta_voltages(v) if isinstance(source, ce.CyDeltaVoltageSource) else star_voltages(v)
    assert largest(imposed - U3[:voltages]) < 1e-12
    assert list(source.get_currents(ports)) == [0] * ports  # nothing else is connected


@pytest.mark.parametrize("call,error,message,entry", [
    (lambda: ce.CyVoltageSource(0, U3), RuntimeError, "vector too long", "CyVoltageSource.__cinit__"),
    (lambda: ce.CyDeltaVoltageSource(0, None), RuntimeError, "vector too long", "CyDeltaVoltageSource.__cinit__"),
    (lambda: ce.CyVoltageSource(-2, None), RuntimeError, "vector too long", "CyVoltageSource.__cinit__"),
    (lambda: ce.CyVoltageSource(4, U3[:2].copy()), ValueError, "Argument 'voltages' holds 2 items, but 3 are read",
     "CyVoltageSource.__cinit__"),
    (lambda: ce.CyDeltaVoltageSource(2, None), TypeError, "Argument 'voltages' is None, but 1 items are read",
     "CyDeltaVoltageSource.__cinit__"),
    (lambda: ce.CyVoltageSource(3, [1, 2]), TypeError, "a bytes-like object is required, not 'list'",
     "CyVoltageSource.__cinit__"),
    (lambda: ce.CyVoltageSource(3, U3).update_voltages(np.zeros(1, complex)), ValueError,
     "Argument 'voltages' holds 1 items, but 2 are read", "CyVoltageSource.update_voltages"),
    (lambda: ce.CyDeltaVoltageSource(3, U3).update_voltages(None), TypeError,
     "Argument 'voltages' is None, but 2 items are read", "CyDeltaVoltageSource.update_voltages"),
    (lambda: ce.CyVoltageSource(3, U3).update_voltage(1j), ValueError,
     "a one-value voltage update needs a source of at most one voltage, this source has 2",
     "CyVoltageSource.update_voltage"),
    (lambda: ce.CyVoltageSource(2, U3).update_voltage(None), TypeError,
     "must be real number, not NoneType", "CyVoltageSource.update_voltage"),
])
def test_refusals(call, error, message, entry, binding_entries):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    assert binding_entries(info.value) == [entry]


@pytest.mark.parametrize("kind", ["newton", "goldstein", "backward_forward"])
def test_updates_reach_the_next_solve(kind):
    star, delta = ce.CyVoltageSource(4, U3), ce.CyDeltaVoltageSource(3, U3)
    ref = ce.CyPotentialRef()
    star.connect(ref, [(3, 0)])
    delta.connect(star, [(0, 0)])  # the delta source hangs off the star's port 0
    star.update_voltages(2 * U3)  # before any solver: the values the solver starts from
    net = network_of(star, delta, ref)
    solver = {"newton": lambda: ce.CyNewton(net, True),
              "goldstein": lambda: ce.CyNewtonGoldstein(net, False, 0.1, 0.9, False),
              "backward_forward": lambda: ce.CyBackwardForward(net)}[kind]()
    for u_star, u_delta in [(2 * U3, U3), (U3 * 1j, np.array([5, 6j, 7]))]:
        delta.update_voltages(u_delta)
        solver.solve_load_flow(10, 1e-12)
        assert largest(star_voltages(star.get_potentials(4)) - u_star[:3]) < 1e-9
        assert largest(delta_voltages(delta.get_potentials(3)) - u_delta[:2]) < 1e-9
        star.update_voltages(U3 * 1j)


def test_single_value_update_on_two_and_one_port_sources():
    two = ce.CyVoltageSource(2, np.array([1 + 1j]))
    solver = grounded(two, 1)
    two.update_voltage(7 - 2j)
    solver.solve_load_flow(5, 1e-12)
    assert two.get_port_potential(0) == pytest.approx(7 - 2j, abs=1e-12)
    one = ce.CyVoltageSource(1, None)
    assert one.update_voltage(3j) is None and one.update_voltages(None) is None
