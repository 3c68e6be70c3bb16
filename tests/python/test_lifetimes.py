"""Object lifetimes across joins, solvers and the garbage collector: no order
of calls reaches freed memory, and cycles through kept objects are freed.
The sequences that used to reach freed memory run in a child interpreter, so
that a crash (or a sanitizer report) is this test's failure alone."""

import gc
import weakref

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from netlist import network_of

# A two-conductor source feeding a bus whose second port sits on a potential
# reference; a Newton solver is built, then a join turns the bound node of
# the bus's first port into a reference node.
BOUND_NODE_BECOMES_REFERENCE = """
import numpy as np
import load_flow_engine.cy_engine as ce

def network(*elements):
    return ce.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))

src, bus, ref = ce.CyVoltageSource(2, np.array([1 + 0j])), ce.CyBus(2, np.array([3 + 0j, 0j])), ce.CyPotentialRef()
src.connect(bus, [(0, 0), (1, 1)])
bus.connect(ref, [(1, 0)])
net = network(src, bus, ref)
solver = ce.CyNewton(net, False)
other_ref, switch = ce.CyPotentialRef(), ce.CySwitch(1)
{join}
del solver
later = ce.CyBackwardForward(net)
before = later.get_variables().copy()
bus.initialize_potentials(np.array([5 + 6j, 7 + 8j]))
print(bool((later.get_variables() == before).all()), bus.get_port_potential(0))
"""

JOINS = {
    "connect_ports": "bus.connect_ports(np.array([0, 1], np.int32))",
    "connect": "bus.connect(other_ref, [(0, 0)])",
    "connect_side": "switch.connect(other_ref, [(0, 0)]); switch.connect_side(bus, [(0, 0)], True)",
}


@pytest.mark.parametrize("join", JOINS.values(), ids=JOINS.keys())
def test_released_solver_unbinds_a_node_that_a_later_join_made_a_reference(join, run_child):
    done = run_child(BOUND_NODE_BECOMES_REFERENCE.format(join=join))
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-4000:]
    # The write reaches the stored value only; a reference node reads 0.
    assert done.stdout.decode().split() == ["True", "0j"]


# A one-conductor shunt line whose side-2 bus is also, alone, a second
# network. Solvers come and go on both; the first solver then sweeps.
Y, Z, V1 = 2e-3j, 0.5 + 1j, 1.0 + 0j
SHARED_SIDE2_BUS = f"""
import numpy as np
import load_flow_engine.cy_engine as ce

def network(*elements):
    return ce.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))

src, ref = ce.CyVoltageSource(2, np.array([{V1!r}])), ce.CyPotentialRef()
line, far = ce.CyShuntLine(1, np.array([{Y!r}]), np.array([{Z!r}])), ce.CyBus(1, np.array([0j]))
src.connect(ref, [(1, 0)])
line.connect_side(src, [(0, 0)], True)
line.connect_side(far, [(0, 0)], False)
line.connect(ref, [(2, 0)])
line_net, bus_net = network(src, ref, line, far), network(far)
first = ce.CyBackwardForward(line_net)
second = ce.CyBackwardForward(line_net)
alone = ce.CyBackwardForward(bus_net)
del second
del alone
first.solve_load_flow(50, 1e-14)
print(repr(far.get_port_potential(0)))
"""


def test_one_conductor_line_follows_the_binding_of_its_nodes(run_child):
    done = run_child(SHARED_SIDE2_BUS)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-4000:]
    # An open line end: V2 = V1 / A with A = 1 + Z Y / 2.
    assert complex(done.stdout.decode()) == pytest.approx(V1 / (1 + Z * Y / 2), abs=1e-12)


# --- cycles through kept objects -----------------------------------------


def subclass(base):
    return type("Sub" + base.__name__, (base,), {})


SOLVERS = {
    "newton": lambda net: subclass(ce.CyNewton)(net, False),
    "goldstein": lambda net: subclass(ce.CyNewtonGoldstein)(net, True, 0.1, 0.9, True),
    "backward_forward": lambda net: subclass(ce.CyBackwardForward)(net),
}


def cyclic_graph(make_solver):
    """A source, a bus and a flexible load on one network with a solver,
    tied into cycles by attributes; weak references to everything."""
    control = ce.CyControl("constant", 0.0, 0.0, 0.0, 0.0, 1.0, 1.0)
    projection = ce.CyProjection("euclidean", 100.0, 1e-4)
    param = subclass(ce.CyFlexibleParameter)(control, control, projection, 1000.0, -500.0, 500.0)
    src = subclass(ce.CyVoltageSource)(2, np.array([230.0 + 0j]))
    bus = subclass(ce.CyBus)(2, np.array([230.0 + 0j, 0j]))
    load = subclass(ce.CyFlexibleLoad)(2, np.array([100.0 + 10j]), np.array([param], dtype=object))
    ref = subclass(ce.CyPotentialRef)()
    src.connect(bus, [(0, 0), (1, 1)])
    load.connect(bus, [(0, 0), (1, 1)])
    ref.connect(bus, [(0, 1)])
    net = subclass(ce.CyElectricalNetwork)(np.array([src, bus, load, ref], dtype=object), 4)
    solver = make_solver(net)
    bus.network, bus.solver, param.load, solver.bus, net.solver = net, solver, load, bus, solver
    return [weakref.ref(obj) for obj in (param, src, bus, load, ref, net, solver)]


@pytest.mark.parametrize("make_solver", SOLVERS.values(), ids=SOLVERS.keys())
def test_cycles_through_networks_solvers_and_loads_are_collected(make_solver):
    refs = cyclic_graph(make_solver)
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_many_cycles_are_collected_in_one_pass():
    refs = [r for _ in range(50) for r in cyclic_graph(SOLVERS["newton"])]
    gc.collect()
    assert sum(r() is not None for r in refs) == 0


# --- argument values the engine must never see ---------------------------


@pytest.mark.parametrize("prefix", [lambda d: str(d / "report") + "\0.txt", lambda d: bytes(d / "report") + b"\0.txt"],
                         ids=["str", "bytes"])
def test_save_matrix_refuses_a_prefix_holding_a_nul(prefix, tmp_path, binding_entries):
    src, ref = ce.CyVoltageSource(2, np.array([1 + 0j])), ce.CyPotentialRef()
    src.connect(ref, [(1, 0)])
    solver = ce.CyNewton(network_of(src, ref), False)
    with pytest.raises(ValueError, match="^embedded null byte$") as caught:
        solver.save_matrix(prefix(tmp_path))
    assert binding_entries(caught.value) == ["CyAbstractNewton.save_matrix"]
    assert list(tmp_path.iterdir()) == []


def claiming(method, claim):
    """One pair, whatever its length method claims."""
    return type("Claiming", (), {method: lambda self: claim, "__iter__": lambda self: iter([(0, 0)])})()


@pytest.mark.parametrize("method", ["__len__", "__length_hint__"])
@pytest.mark.parametrize("claim", [2**31, 2**60])
def test_claimed_lengths_of_connections_do_not_size_anything(method, claim):
    a, b = ce.CyBus(1, np.array([7 + 0j])), ce.CyBus(1, np.array([1 + 0j]))
    assert a.connect(b, claiming(method, claim)) is None
    assert b.get_port_potential(0) == 7
