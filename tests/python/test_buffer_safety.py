"""Buffers that are valid but unusual: object buffers holding null items,
object buffers emptied by the collector while a constructor runs, and
buffers whose data is not aligned for their items. The first two run in a
child interpreter (they used to crash it)."""

import ctypes

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from netlist import network_of

NULL_ITEMS = """
import ctypes
import numpy as np
import load_flow_engine.cy_engine as ce

def refusal(call):
    try:
        call()
    except TypeError as e:
        return str(e)
    return "accepted"

print(refusal(lambda: ce.CyElectricalNetwork((ctypes.py_object * 1)(), 1)))
control = ce.CyControl("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
projection = ce.CyProjection("euclidean", 100.0, 1e-4)
parameters = (ctypes.py_object * 2)()
parameters[0] = ce.CyFlexibleParameter(control, control, projection, 1000.0, -500.0, 500.0)
print(refusal(lambda: ce.CyFlexibleLoad(3, np.ones(2, complex), parameters)))
print(refusal(lambda: ce.CyDeltaFlexibleLoad(2, np.ones(2, complex), parameters)))
"""

EXPECTED = "Item {} of argument '{}' has incorrect type (expected load_flow_engine.cy_engine.{}, got NoneType)"


def test_a_null_item_is_refused_as_none_is(run_child):
    done = run_child(NULL_ITEMS)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-4000:]
    assert done.stdout.decode().splitlines() == [
        EXPECTED.format(0, "elements", "CyElement"),
        EXPECTED.format(1, "parameters", "CyFlexibleParameter"),
        EXPECTED.format(1, "parameters", "CyFlexibleParameter"),
    ]


# A collector callback empties the object array at the k-th collection after
# the constructor is called; with a threshold of 1 some collection falls
# between the constructor reading the items and keeping them. Every item is
# an object whose __del__ says when it goes: none may go while the engine
# object that points to it lives.
EMPTIED_BY_THE_COLLECTOR = """
import gc
import numpy as np
import load_flow_engine.cy_engine as ce

gone = []

class Bus(ce.CyBus):
    def __del__(self):
        gone.append(self.tag)

class Parameter(ce.CyFlexibleParameter):
    def __del__(self):
        gone.append(self.tag)

def tagged(obj, tag):
    obj.tag = tag
    return obj

control = ce.CyControl("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
projection = ce.CyProjection("euclidean", 100.0, 1e-4)

def network(items):
    net = ce.CyElectricalNetwork(items, 3)
    # The buses' potentials are the variables: (k, 0), (k, 1), (k, 2).
    return net, lambda: list(ce.CyNewton(net, False).get_variables())

def flexible_load(items):
    load = ce.CyFlexibleLoad(4, np.full(3, 100 + 10j), items)
    return load, lambda: [complex(p.compute_power(230.0, 100 + 10j)) for p in items if p is not None]

cases = {
    "network": (network, lambda k: [tagged(Bus(1, np.array([complex(k, i)])), i) for i in range(3)],
                lambda k: [float(v) for i in range(3) for v in (k, i)]),
    "flexible load": (flexible_load,
                      lambda k: [tagged(Parameter(control, control, projection, 1000.0, -500.0, 500.0), i)
                                 for i in range(3)],
                      None),
}
armed = {}

def empty_at_kth_collection(phase, info):
    if phase == "start" and armed:
        armed["count"] += 1
        if armed["count"] == armed["k"]:
            armed["items"][:] = None

gc.set_threshold(1)
gc.callbacks.append(empty_at_kth_collection)
for name, (construct, make_items, expected) in cases.items():
    emptied_inside = 0
    for k in range(1, 8):
        items = np.array(make_items(k), dtype=object)
        armed.update(count=0, k=k, items=items)
        try:
            made, read = construct(items)
        except TypeError:  # emptied before the items were read
            made = read = None
        armed.clear()
        if made is not None:
            emptied_inside += all(item is None for item in items)
            assert gone == [], (name, k, gone)
            if expected is not None:
                assert read() == expected(k), (name, k, read())
        del made, read, items
        gc.collect()
        assert sorted(gone) == [0, 1, 2], (name, k, gone)  # and all go once nothing holds them
        gone.clear()
    print(name, "emptied inside", emptied_inside)
"""


def test_items_emptied_by_a_collector_callback_during_construction_stay_alive(run_child):
    done = run_child(EMPTIED_BY_THE_COLLECTOR)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-4000:]
    lines = done.stdout.decode().splitlines()
    assert [line.rsplit(" ", 1)[0] for line in lines] == ["network emptied inside", "flexible load emptied inside"]
    # The callback did empty the array inside the constructor, after the items were read.
    assert all(int(line.rsplit(" ", 1)[1]) > 0 for line in lines), lines


# --- misaligned buffers ---------------------------------------------------

def misaligned(values, dtype):
    """A writable copy whose data starts one byte past an aligned address."""
    a = np.asarray(values, dtype)
    m = np.frombuffer(bytearray(a.nbytes + 1), dtype, a.size, offset=1)
    m[:] = a
    assert not m.flags.aligned
    return m


def aligned(values, dtype):
    a = np.array(values, dtype)
    assert a.flags.aligned
    return a


def misaligned_objects(items):
    raw = bytearray(8 * len(items) + 1)
    array = (ctypes.py_object * len(items)).from_buffer(raw, 1)
    for k, item in enumerate(items):
        array[k] = item
    return array


A = np.exp(2j * np.pi / 3)
U3 = 230 * np.array([1, A**2, A])
Z = np.array([[0.3 + 0.2j, 0.05 + 0.1j], [0.05 + 0.1j, 0.4 + 0.3j]])
Y = 1e-4j * np.array([[3.0, -0.8], [-0.8, 3.1]])


def parameter():
    p = ce.CyControl("p_max_u_production", 0.0, 0.0, 240.0, 250.0, 1000.0, 1e-6)
    q = ce.CyControl("q_u", 200.0, 210.0, 240.0, 250.0, 1000.0, 0.0)
    projection = ce.CyProjection("euclidean", 100.0, 1e-4)
    return ce.CyFlexibleParameter(p, q, projection, 1000.0, -500.0, 500.0)


# name: (make(c) -> (element, ports), update(element, c) or None). `c(values)`
# gives a complex buffer, aligned or not.
ELEMENTS = {
    "bus": (lambda c: (ce.CyBus(3, c([1 + 2j, 3 - 1j, 0.5j])), 3),
            lambda e, c: e.initialize_potentials(c([2 + 1j, -1j, 4]))),
    "simplified line": (lambda c: (ce.CySimplifiedLine(2, c(Z.ravel())), 4),
                        lambda e, c: e.update_line_parameters(c(2 * Z.ravel()))),
    "shunt line": (lambda c: (ce.CyShuntLine(2, c(Y.ravel()), c(Z.ravel())), 5),
                   lambda e, c: e.update_line_parameters(c(2 * Y.ravel()), c(0.5 * Z.ravel()))),
    "source": (lambda c: (ce.CyVoltageSource(4, c(U3)), 4), lambda e, c: e.update_voltages(c(1.05 * U3))),
    "delta source": (lambda c: (ce.CyDeltaVoltageSource(3, c(U3[:2] - U3[1:])), 3),
                     lambda e, c: e.update_voltages(c(0.9 * (U3[:2] - U3[1:])))),
    "flexible load": (lambda c: (ce.CyFlexibleLoad(4, c([100 + 10j, 200, 50j]), np.array([parameter()] * 3)), 4),
                      lambda e, c: e.update_powers(c([10 + 1j, 20, 5j]))),
    "delta flexible load": (lambda c: (ce.CyDeltaFlexibleLoad(3, c([100 + 10j, 200, 50j]),
                                                              np.array([parameter()] * 3)), 3),
                            lambda e, c: e.update_powers(c([10 + 1j, 20, 5j]))),
}
for _kind, _name, _plural in [(ce.CyPowerLoad, "power load", "update_powers"),
                              (ce.CyCurrentLoad, "current load", "update_currents"),
                              (ce.CyAdmittanceLoad, "admittance load", "update_admittances")]:
    ELEMENTS[_name] = (lambda c, kind=_kind: (kind(4, c([100 + 10j, 200, 50j])), 4),
                       lambda e, c, plural=_plural: getattr(e, plural)(c([10 + 1j, 20, 5j])))
for _kind, _name, _plural in [(ce.CyDeltaPowerLoad, "delta power load", "update_powers"),
                              (ce.CyDeltaCurrentLoad, "delta current load", "update_currents"),
                              (ce.CyDeltaAdmittanceLoad, "delta admittance load", "update_admittances")]:
    ELEMENTS[_name] = (lambda c, kind=_kind: (kind(3, c([100 + 10j, 200, 50j])), 3),
                       lambda e, c, plural=_plural: getattr(e, plural)(c([10 + 1j, 20, 5j])))


def observed(name, wrap, updating):
    """The element on buses of its own, in a Newton solver: the residuals and
    Jacobian it gives, and its currents after a zero-iteration solve. The
    buffers of the constructor (or of the update when `updating`) are made by
    `wrap`."""
    make, update = ELEMENTS[name]
    element, ports = make(lambda v: aligned(v, complex) if updating else wrap(v, complex))
    bus = ce.CyBus(ports, (200 + 20j) * np.arange(1, ports + 1))
    bus.connect(element, [(k, k) for k in range(ports)])
    solver = ce.CyNewton(network_of(bus, element), False)
    if updating:
        update(element, lambda v: wrap(v, complex))
    solver.solve_load_flow(0, 0.0)  # loads the parameters into the tape, computes the currents
    return [a.tobytes() for a in (solver.get_residuals(), solver.get_jacobian(), element.get_currents(ports))]


@pytest.mark.parametrize("updating", [False, True], ids=["constructor", "update"])
@pytest.mark.parametrize("name", ELEMENTS)
def test_misaligned_complex_buffers_give_what_aligned_ones_give(name, updating):
    assert observed(name, misaligned, updating) == observed(name, aligned, updating)


def test_misaligned_int_double_and_object_buffers_give_what_aligned_ones_give():
    def run(wrap, objects):
        bus = ce.CyBus(4, np.array([1 + 1j, 2 + 2j, 3 + 3j, 4 + 4j]))
        bus.connect_ports(wrap([2, 0, 3], np.int32))
        load = ce.CyPowerLoad(2, np.array([100 + 10j]))
        bus.connect(load, [(0, 0), (1, 1)])
        flexible = ce.CyFlexibleLoad(3, np.array([50 + 5j, 60j]), objects([parameter(), parameter()]))
        bus.connect(flexible, [(0, 0), (1, 1), (2, 2)])
        net = ce.CyElectricalNetwork(objects([bus, load, flexible]), 3)
        solver = ce.CyNewton(net, False)
        n = len(solver.get_variables())
        solver.set_variables(wrap(np.linspace(1.0, 2.0, n) * 100, np.float64))
        solver.solve_load_flow(0, 0.0)
        return [bus.get_potentials(4).tobytes(), solver.get_variables().tobytes(), solver.get_residuals().tobytes(),
                flexible.get_powers(3).tobytes()]

    assert run(misaligned, misaligned_objects) == run(aligned, lambda items: np.array(items, object))


def test_a_misaligned_result_array_is_refused():
    class Rebound:
        @staticmethod
        def empty(shape, dtype):
            return np.frombuffer(bytearray(np.dtype(dtype).itemsize * shape[0] + 1), dtype, shape[0], offset=1)

        complex128, double = np.complex128, np.float64

    bus = ce.CyBus(2, np.ones(2, complex))
    ce.np = Rebound
    try:
        with pytest.raises(ValueError, match="^the result array made by np.empty is not aligned$"):
            bus.get_potentials(2)
    finally:
        ce.np = np
    assert list(bus.get_potentials(2)) == [1, 1]
