"""The network and solver types on small linear networks whose residuals and
Jacobian are known in closed form."""

import gc
import pickle
import re

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from netlist import network_of

ENTRY = "load_flow_engine.cy_engine."
NETWORK_QUALNAME = ENTRY + "CyElectricalNetwork"


V0 = 1 + 2j


def grounded_switch():
    """A bus at V0 tied by a closed switch to a potential reference.

    x = (Re V, Im V, Re I, Im I); the current law of the bus node reads I and
    the switch equation V - 0, so r = (Re I, Im I, Re V, Im V) and the
    Jacobian is a constant permutation."""
    bus, switch, ref = ce.CyBus(1, np.array([V0])), ce.CySwitch(1), ce.CyPotentialRef()
    switch.connect_side(bus, [(0, 0)], True)
    switch.connect_side(ref, [(0, 0)], False)
    return bus, switch, ref


X0 = np.array([V0.real, V0.imag, 0.0, 0.0])
R0 = np.array([0.0, 0.0, V0.real, V0.imag])
JACOBIAN = np.array([[0, 0, 1, 0], [0, 0, 0, 1], [1, 0, 0, 0], [0, 1, 0, 0]], dtype=float)

SOLVERS = {
    "newton": lambda net: ce.CyNewton(net, False),
    "newton_optimized": lambda net: ce.CyNewton(net, True),
    "goldstein": lambda net: ce.CyNewtonGoldstein(net, False, 0.1, 0.9, True),
    "backward_forward": lambda net: ce.CyBackwardForward(net),
}
NEWTONS = ["newton", "newton_optimized", "goldstein"]


@pytest.fixture
def switch_system():
    """Makes (solver, elements) on the grounded switch; the solver keeps the rest alive."""

    def make(kind):
        elements = grounded_switch()
        return SOLVERS[kind](network_of(*elements)), elements

    return make


# --- signatures ----------------------------------------------------------


def test_methods_are_inherited_along_the_solver_tree():
    assert ce.CyNewton.solve_load_flow is ce.CyAbstractSolver.solve_load_flow
    assert ce.CyNewtonGoldstein.get_jacobian is ce.CyAbstractNewton.get_jacobian
    assert not hasattr(ce.CyBackwardForward, "get_jacobian")
    assert not hasattr(ce.CyNewton, "update_params")
    assert [n for n in vars(ce.CyElectricalNetwork) if not n.startswith("__")] == []


# --- the network ---------------------------------------------------------

def test_empty_network_solves_by_backward_forward_in_one_sweep():
    for elements in (np.empty(0, dtype=object), None, np.array([ce.CyBus(1, np.ones(1, complex))], dtype=object)):
        assert ce.CyBackwardForward(ce.CyElectricalNetwork(elements, 0)).solve_load_flow(10, 1e-6) == (1, 0.0)


def test_network_takes_only_the_first_nb_elements():
    bus, switch, ref = grounded_switch()
    extra = ce.CyBus(1, np.array([5j]))  # taken, its node would add two variables
    net = ce.CyElectricalNetwork(np.array([bus, switch, ref, extra], dtype=object), 3)
    assert list(ce.CyNewton(net, False).get_variables()) == list(X0)
    assert ce.CyElectricalNetwork(elements=np.array([bus], dtype=object), nb_elements=1) is not None


@pytest.mark.parametrize("elements,nb,error,message", [
    ([ce.CyBus(1, np.zeros(1, complex))], 1, TypeError, "a bytes-like object is required, not 'list'"),
    (np.array([ce.CySwitch(1)], dtype=object), 2, ValueError, "Argument 'elements' holds 1 items, but 2 are read"),
    (None, 1, TypeError, "Argument 'elements' is None, but 1 items are read"),
    (np.array([ce.CySwitch(1), 5], dtype=object), 2, TypeError,
     "Item 1 of argument 'elements' has incorrect type (expected load_flow_engine.cy_engine.CyElement, got int)"),
    (np.empty(1, dtype=object), 1, TypeError,
     "Item 0 of argument 'elements' has incorrect type (expected load_flow_engine.cy_engine.CyElement, "
     "got NoneType)"),
    (np.array([ce.CyNewton], dtype=object), 1, TypeError,
     "Item 0 of argument 'elements' has incorrect type (expected load_flow_engine.cy_engine.CyElement, got type)"),
    (np.array([ce.CyBranch()], dtype=object), 1, TypeError,
     "Item 0 of argument 'elements' (load_flow_engine.cy_engine.CyBranch object) owns no engine object"),
    (np.zeros(2), 1, ValueError, "Buffer dtype mismatch, expected 'CyElement' but got 'double'"),
    (np.empty((1, 1), dtype=object), 1, ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array([ce.CySwitch(1)], dtype=object), -1, RuntimeError, "vector too long"),
    (np.array([ce.CySwitch(1)], dtype=object), "1", TypeError, "an integer is required"),
])
def test_network_refusals(elements, nb, error, message, binding_entries):
    with pytest.raises(error) as info:
        ce.CyElectricalNetwork(elements, nb)
    assert str(info.value) == message
    assert binding_entries(info.value) == ["CyElectricalNetwork.__cinit__"]


# --- solver construction -------------------------------------------------

class Falsy:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize("make,error,message,entry", [
    (lambda: ce.CyNewton(ce.CyBus(0, None), False), TypeError,
     f"Argument 'network' has incorrect type (expected {NETWORK_QUALNAME}, got {ENTRY}CyBus)", False),
    (lambda: ce.CyBackwardForward([]), TypeError,
     f"Argument 'network' has incorrect type (expected {NETWORK_QUALNAME}, got list)", False),
    (lambda: ce.CyNewton(None, False), TypeError, "Argument 'network' must not be None", True),
    (lambda: ce.CyNewtonGoldstein(None, True, 0.1, 0.9, False), TypeError, "Argument 'network' must not be None",
     True),
    (lambda: ce.CyBackwardForward(None), TypeError, "Argument 'network' must not be None", True),
    # The other arguments are converted before the network's type is tested.
    (lambda: ce.CyNewton(5, Falsy()), ZeroDivisionError, "", True),
    (lambda: ce.CyNewtonGoldstein(5, False, "m1", 0.9, False), TypeError, "must be real number, not str", True),
    (lambda: ce.CyNewtonGoldstein(5, optimize_tape=False, m2=0.9, weighted_merit=True), TypeError,
     "__cinit__() takes exactly 5 positional arguments (2 given)", True),
    (lambda: ce.CyBackwardForward(), TypeError, "__cinit__() takes exactly 1 positional argument (0 given)", True),
])
def test_solver_construction_refusals(make, error, message, entry, binding_entries):
    with pytest.raises(error) as info:
        make()
    assert str(info.value) == message
    assert bool(binding_entries(info.value)) == entry


ABSTRACT_CALLS = [
    lambda s: s.solve_load_flow(1, 1e-6), lambda s: s.reset_inputs(), lambda s: s.get_variables(),
    lambda s: s.set_variables(np.zeros(4)),
]
NEWTON_CALLS = [lambda s: s.save_matrix("x"), lambda s: s.get_jacobian(), lambda s: s.get_residuals(),
                lambda s: s.analyse_jacobian()]


@pytest.mark.parametrize("kind", [ce.CyAbstractSolver, ce.CyAbstractNewton])
def test_abstract_solvers_own_no_solver(kind):
    calls = ABSTRACT_CALLS + (NEWTON_CALLS if kind is ce.CyAbstractNewton else [])
    for call in calls:
        with pytest.raises(TypeError, match="owns no engine object"):
            call(kind(1, network=None))


def test_methods_through_the_type_need_a_solver_of_that_type():
    solver = ce.CyBackwardForward(network_of(*grounded_switch()))
    with pytest.raises(TypeError):
        ce.CyAbstractNewton.get_jacobian(solver)
    assert list(ce.CyAbstractSolver.get_variables(solver)) == list(X0)


# --- methods on a solved system ------------------------------------------

@pytest.mark.parametrize("kind", NEWTONS)
def test_newton_diagnostics_in_closed_form(kind, switch_system):
    solver, _ = switch_system(kind)
    jacobian = solver.get_jacobian()
    assert jacobian.dtype == np.float64 and jacobian.shape == (4, 4)
    np.testing.assert_array_equal(jacobian, JACOBIAN)
    residuals = solver.get_residuals()
    assert residuals.dtype == np.float64
    np.testing.assert_array_equal(residuals, R0)
    assert solver.analyse_jacobian() == ([], [])


@pytest.mark.parametrize("kind", NEWTONS)
def test_newton_solves_the_linear_system_in_one_step(kind, switch_system):
    solver, (bus, switch, ref) = switch_system(kind)
    assert solver.solve_load_flow(0, 1e-6) == (0, 2.0)  # no step: the largest residual
    assert solver.solve_load_flow(max_iterations=10, tolerance=1e-12) == (1, 0.0)
    np.testing.assert_array_equal(solver.get_variables(), np.zeros(4))
    assert bus.get_port_potential(0) == 0 and switch.get_port_potential(1) == 0
    np.testing.assert_array_equal(solver.get_residuals(), np.zeros(4))


def test_variables_set_reset_and_read(switch_system):
    solver, (bus, switch, _) = switch_system("newton")
    x = solver.get_variables()
    assert x.dtype == np.float64
    np.testing.assert_array_equal(x, X0)
    x[0] = 99.0  # a copy: the solver is unchanged
    np.testing.assert_array_equal(solver.get_variables(), X0)
    assert solver.set_variables(np.array([3.0, 4.0, 5.0, 6.0, 7.0])) is None  # extra values are ignored
    np.testing.assert_array_equal(solver.get_variables(), [3, 4, 5, 6])
    # The elements read the new values at once; the residuals follow them.
    assert bus.get_port_potential(0) == 3 + 4j
    np.testing.assert_array_equal(solver.get_residuals(), [5, 6, 3, 4])
    solver.reset_inputs()
    np.testing.assert_array_equal(solver.get_variables(), X0)
    assert bus.get_port_potential(0) == V0


@pytest.mark.parametrize("value,error,message", [
    (np.zeros(3), ValueError, "Argument 'variables' holds 3 items, but 4 are read"),
    (None, TypeError, "Argument 'variables' is None, but 4 items are read"),
    (np.zeros(4, complex), ValueError, "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    ([0.0] * 4, TypeError, "a bytes-like object is required, not 'list'"),
])
def test_set_variables_refusals(value, error, message, switch_system, binding_entries):
    solver, _ = switch_system("backward_forward")
    with pytest.raises(error) as info:
        solver.set_variables(value)
    assert str(info.value) == message
    assert binding_entries(info.value) == ["CyAbstractSolver.set_variables"]
    np.testing.assert_array_equal(solver.get_variables(), X0)


def test_set_variables_accepts_none_without_variables():
    solver = ce.CyNewton(ce.CyElectricalNetwork(None, 0), False)
    assert solver.set_variables(None) is None and solver.get_variables().shape == (0,)
    assert solver.get_jacobian().shape == (0, 0) and solver.analyse_jacobian() == ([], [])


def goldstein_last_trial(m1, m2):
    """The step length the line search ends on for linear residuals
    r(s) = (1 - s) r0, whose half-merit slope is t(s) = u (1 - s / 2), u = -f0."""
    u, step, hi, lo = -1.0, 1.0, 0.0, 0.0
    for _ in range(10):
        tried = step
        t = (0.5 * (1 - step) ** 2 - 0.5) / step
        if u * m2 <= t <= u * m1:
            return tried
        if t > u * m1:
            hi = step
        else:
            lo = step
        step = 2 * step if hi == 0 else (hi + lo) * 0.5
    return tried


def test_goldstein_settings_apply_from_the_next_solve(switch_system):
    solver, _ = switch_system("goldstein")
    solver.update_params(0.9, 0.1, False)  # m1 > m2: no length is acceptable
    iterations, error = solver.solve_load_flow(1, 1e-12)
    step = goldstein_last_trial(0.9, 0.1)
    assert 0 < step < 1 and iterations == 1
    assert error == pytest.approx((1 - step) * 2.0, rel=1e-12)
    np.testing.assert_allclose(solver.get_variables(), (1 - step) * X0, rtol=1e-12)
    solver.reset_inputs()
    assert solver.update_params(m1=0.1, m2=0.9, weighted_merit=True) is None
    assert solver.solve_load_flow(1, 1e-12) == (1, 0.0)


def test_backward_forward_leaves_plain_currents(switch_system):
    solver, (bus, switch, ref) = switch_system("backward_forward")
    assert solver.solve_load_flow(5, 1e-9) == (1, 0.0)
    # The switch copies the bus potential onto the reference node, which reads 0.
    assert bus.get_port_potential(0) == V0 and switch.get_port_potential(1) == 0
    assert list(switch.get_currents(2)) == [0, 0]


def test_solve_failure_message_and_entry(binding_entries):
    # A bus node that no element holds: its variables enter no equation.
    bus, switch, ref = grounded_switch()
    lone = ce.CyBus(1, np.array([5j]))
    net = network_of(bus, switch, ref, lone)
    for solver in (ce.CyNewton(net, False), ce.CyNewtonGoldstein(net, True, 0.1, 0.9, False)):
        assert solver.analyse_jacobian() == ([3], [])
        with pytest.raises(RuntimeError) as info:
            solver.solve_load_flow(5, 1e-9)
        assert str(info.value) == "1 Decomposition failed, singular matrix at iteration 0. "
        assert binding_entries(info.value) == ["CyAbstractSolver.solve_load_flow"]


# --- backward-forward on NaN and infinite values -------------------------

NAN = float("nan")


def joined(a, b, pairs, beginning=None):
    if beginning is None:
        a.connect(b, pairs)
    else:
        a.connect_side(b, pairs, beginning)


def bus_line_bus(line, v1, v2=(0, 0)):
    """Two buses joined by a two-conductor line, the second one's ground
    port (if any) on a reference."""
    b1, b2 = ce.CyBus(2, np.array(v1, complex)), ce.CyBus(2, np.array(v2, complex))
    joined(line, b1, [(0, 0), (1, 1)], True)
    joined(line, b2, [(0, 0), (1, 1)], False)
    elements = [b1, line, b2]
    if isinstance(line, ce.CyShuntLine):
        ref = ce.CyPotentialRef()
        joined(ref, line, [(0, 4)])
        elements.append(ref)
    return elements


def delta_reference(v):
    bus, ref = ce.CyBus(3, np.array(v, complex)), ce.CyDeltaPotentialRef(3)
    joined(bus, ref, [(k, k) for k in range(3)])
    return [bus, ref]


def fed_load(u, start, shorted=False):
    """A source of voltage u feeding a power load on a bus starting at
    `start`; the neutral is a reference, and so is the phase if shorted."""
    src, bus, load = ce.CyVoltageSource(2, np.array([u], complex)), ce.CyBus(2, np.array([start, 0], complex)), \
        ce.CyPowerLoad(2, np.array([1e3 + 0j]))
    refs = [ce.CyPotentialRef() for _ in range(2 if shorted else 1)]
    joined(bus, src, [(0, 0), (1, 1)])
    joined(bus, load, [(0, 0), (1, 1)])
    for k, ref in enumerate(refs):
        joined(ref, bus, [(0, 1 - k)])
    return [src, bus, load, *refs]


def two_port_branch(branch, v_out):
    """A 230 V source, the branch, and a bus at its output starting at v_out."""
    src, bus, out, ref = ce.CyVoltageSource(2, np.array([230j])), ce.CyBus(2, np.array([230j, 0])), \
        ce.CyBus(2, np.array([v_out, 0])), ce.CyPotentialRef()
    joined(bus, src, [(0, 0), (1, 1)])
    joined(ref, bus, [(0, 1)])
    joined(branch, bus, [(0, 0), (1, 1)], True)
    joined(branch, out, [(0, 0), (1, 1)], False)
    return [src, bus, ref, branch, out]


def switched(v):
    b1, switch, b2 = ce.CyBus(1, np.array([v])), ce.CySwitch(1), ce.CyBus(1, np.array([0j]))
    joined(switch, b1, [(0, 0)], True)
    joined(switch, b2, [(0, 0)], False)
    return [b1, switch, b2]


EYE2 = np.eye(2, dtype=complex).ravel()


@pytest.mark.parametrize("build,sweep", [
    pytest.param(lambda: bus_line_bus(ce.CySimplifiedLine(2, EYE2), [1, NAN]), 1, id="line_second_conductor"),
    pytest.param(lambda: bus_line_bus(ce.CySimplifiedLine(2, EYE2), [1, 2], [0, complex(1, NAN)]), 1,
                 id="line_old_imaginary"),
    pytest.param(lambda: bus_line_bus(ce.CyShuntLine(2, np.zeros(4, complex), EYE2), [1, complex(0, NAN)]), 1,
                 id="shunt_line"),
    pytest.param(lambda: delta_reference([1, complex(0, NAN), 2]), 1, id="delta_reference_imaginary"),
    # An infinite sum shifts the potentials to NaN.
    pytest.param(lambda: delta_reference([float("inf"), 0, 0]), 1, id="delta_reference_infinite"),
    # Every node a reference node: only the load's infinite currents show it.
    pytest.param(lambda: fed_load(230, 230, shorted=True), 1, id="source_shorted"),
    # A dead source: its load sees 0 V from the second sweep on, which the
    # line beside it (a first change of 1) makes the solve reach.
    pytest.param(lambda: fed_load(0, 230) + bus_line_bus(ce.CySimplifiedLine(2, EYE2), [1, 1]), 2,
                 id="dead_source"),
    pytest.param(lambda: two_port_branch(ce.CySingleVoltageRegulator(0.1j, 0, 230, 0.1, 100, 0), complex(230, NAN)),
                 1, id="regulator"),
    pytest.param(lambda: two_port_branch(ce.CySingleTransformer(0.1j, 0, 1), complex(230, NAN)), 1, id="transformer"),
    pytest.param(lambda: switched(complex(1, NAN)), 1, id="switch"),
])
def test_backward_forward_fails_on_nan_values(build, sweep, binding_entries):
    elements = build()
    solver = ce.CyBackwardForward(network_of(*elements))
    with pytest.raises(RuntimeError) as info:
        solver.solve_load_flow(20, 1e-9)
    assert str(info.value) == f"2 NaN value encountered at iteration {sweep}. "
    assert binding_entries(info.value) == ["CyAbstractSolver.solve_load_flow"]


@pytest.mark.parametrize("call,error,message,entry", [
    (lambda s: s.solve_load_flow(1), TypeError, "solve_load_flow() takes exactly 2 positional arguments (1 given)",
     "CyAbstractSolver.solve_load_flow"),
    (lambda s: s.solve_load_flow(1.5, "x"), TypeError, "must be real number, not str",
     "CyAbstractSolver.solve_load_flow"),
    (lambda s: s.get_jacobian(1), TypeError, "get_jacobian() takes exactly 0 positional arguments (1 given)", None),
    (lambda s: s.save_matrix(5), TypeError, "expected bytes, int found", "CyAbstractNewton.save_matrix"),
    (lambda s: s.update_params(0.1, 0.9), TypeError,
     "update_params() takes exactly 3 positional arguments (2 given)", "CyNewtonGoldstein.update_params"),
])
def test_method_argument_failures(call, error, message, entry, switch_system, binding_entries):
    solver, _ = switch_system("goldstein")
    with pytest.raises(error) as info:
        call(solver)
    assert str(info.value) == message
    assert binding_entries(info.value) == ([] if entry is None else [entry])


# --- lifetimes -----------------------------------------------------------

def test_network_keeps_its_elements_and_a_solver_its_network_alive():
    networks = {kind: network_of(*grounded_switch()) for kind in SOLVERS}
    gc.collect()  # only the networks hold the elements now
    solvers = {kind: SOLVERS[kind](net) for kind, net in networks.items()}
    del networks
    gc.collect()  # only the solvers hold the networks now
    for kind, solver in solvers.items():
        solver.solve_load_flow(10, 1e-12)
        # The sweeps leave the bus potential where it is (nothing drives it).
        np.testing.assert_array_equal(solver.get_variables(), X0 if kind == "backward_forward" else np.zeros(4))
        if kind in NEWTONS:
            np.testing.assert_array_equal(solver.get_jacobian(), JACOBIAN)
    del solvers
    gc.collect()


def test_the_solver_built_last_is_the_one_elements_read():
    bus, switch, ref = grounded_switch()
    net = network_of(bus, switch, ref)
    first = ce.CyNewton(net, False)
    first.solve_load_flow(10, 1e-12)
    assert bus.get_port_potential(0) == 0
    second = ce.CyBackwardForward(net)  # starts from the stored values, not from the first solution
    assert bus.get_port_potential(0) == V0
    second.set_variables(np.array([7.0, 8.0, 0.0, 0.0]))
    assert bus.get_port_potential(0) == 7 + 8j
    del second  # the elements fall back to their stored values, never to freed arrays
    assert bus.get_port_potential(0) == V0
    del first, net
    gc.collect()
    assert bus.get_port_potential(0) == V0


def test_dropping_the_solver_of_another_network_over_the_same_elements():
    elements = grounded_switch()
    first = ce.CyNewton(network_of(*elements), False)
    second = ce.CyBackwardForward(network_of(*elements))
    second.set_variables(np.array([7.0, 8.0, 0.0, 0.0]))
    del first
    assert elements[0].get_port_potential(0) == 7 + 8j


def test_network_and_solvers_refuse_pickling():
    net = network_of(*grounded_switch())
    for obj in (net, *(make(net) for make in SOLVERS.values())):
        for attempt in (lambda: pickle.dumps(obj), lambda: obj.__setstate__({})):
            with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
                attempt()


# --- files and log lines -------------------------------------------------

NUMBER = re.compile(r"^-?\d\.\d{17}e[+-]\d{2,}$")


def read_lines(path):
    with open(path, "rb") as f:
        return f.read().decode().split("\n")


def test_save_matrix_writes_both_matrix_market_files(switch_system, tmp_path):
    solver, _ = switch_system("newton")
    prefix = str(tmp_path / "system")
    assert solver.save_matrix(prefix) is None
    coordinate = read_lines(prefix + ".mtx")
    assert coordinate[0] == "%%MatrixMarket matrix coordinate  real general"
    assert coordinate[1] == "4 4 4" and coordinate[-1] == ""
    entries = [line.split(" ") for line in coordinate[2:-1]]
    # Column by column, 1-based.
    assert [(int(r), int(c)) for r, c, _ in entries] == [(3, 1), (4, 2), (1, 3), (2, 4)]
    assert all(NUMBER.match(v) and float(v) == 1.0 for _, _, v in entries)
    array = read_lines(prefix + "_b.mtx")
    assert array[:2] == ["%%MatrixMarket matrix array real general", "4 1"] and array[-1] == ""
    assert all(NUMBER.match(v) for v in array[2:-1])
    assert [float(v) for v in array[2:-1]] == list(R0)
    assert array[4] == "1.00000000000000000e+00" and array[5] == "2.00000000000000000e+00"
    # bytes are a prefix too; a directory that does not exist is skipped silently.
    solver.save_matrix(bytes(tmp_path / "again"))
    assert (tmp_path / "again.mtx").exists() and (tmp_path / "again_b.mtx").exists()
    solver.save_matrix(str(tmp_path / "missing" / "system"))
    assert not (tmp_path / "missing").exists()


LOG_LINE = re.compile(rb"^\d\d/\d\d/\d\d \d\d:\d\d:\d\d debug (.*)$")


@pytest.mark.parametrize("optimize", [True, False])
def test_debug_lines_of_a_newton_construction_and_solve(optimize, run_child):
    done = run_child(f"""
        import numpy as np
        import load_flow_engine.cy_engine as ce
        bus, switch, ref = ce.CyBus(1, np.array([1 + 2j])), ce.CySwitch(1), ce.CyPotentialRef()
        switch.connect_side(bus, [(0, 0)], True)
        switch.connect_side(ref, [(0, 0)], False)
        net = ce.CyElectricalNetwork(np.array([bus, switch, ref], dtype=object), 3)
        ce.CyNewton(net, {optimize})  # before the configuration: info level, nothing written
        ce.cy_set_logging_config("debug")
        solver = ce.CyNewton(net, {optimize})
        solver.solve_load_flow(10, 1e-12)
        solver.solve_load_flow(10, 1e-12)
    """)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split(b"\r\n")
    assert lines[-1] == b""
    messages = []
    for line in lines[:-1]:
        match = LOG_LINE.match(line)
        assert match, line
        messages.append(match.group(1).decode())
    counts = [m for m in messages if m.startswith("Number of tape operators: ")]
    assert all(int(m.split(": ")[1]) > 0 for m in counts)
    tape = ["----- Tape evaluation -----", counts[0]]
    if optimize:
        tape += ["----- Tape optimization -----", counts[1]]
    # The sparsity pattern is computed at the first factorisation only.
    assert messages == tape + ["----- Sparse pattern initialisation -----", "n: 4 nnz: 4"]
