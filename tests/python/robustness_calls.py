"""Calls every constructor, method and module function of the engine module
with bad arguments, on live objects, on engine-less objects and through the
type with a wrong `self`. Each call must return or raise an Exception; a
crash, an abort or a hang ends this process abnormally, and a MemoryError
(an allocation attempted for an unchecked count) is counted as a fault.

Run in a child interpreter: `python robustness_calls.py`. Prints one summary
line, "robustness: N calls, N returned, N raised, N faults", and exits 0
when there was no fault. ROBUSTNESS_TRACE=1 prints each call before it runs,
to find the one that kills the process."""

import faulthandler
import math
import os
import resource
import sys
import tempfile

import numpy as np

import load_flow_engine.cy_engine as ce

TRACE = os.environ.get("ROBUSTNESS_TRACE") == "1"
# Virtual address space: an allocation for an unchecked count fails as a
# MemoryError here rather than exhausting the machine.
ADDRESS_SPACE = 6 << 30
PEAK_RSS_LIMIT = 1 << 30
WATCHDOG_SECONDS = 90

NAN, INF = math.nan, math.inf

# --- enumeration ---------------------------------------------------------

TYPES = {name: value for name, value in vars(ce).items() if name.startswith("Cy") and isinstance(value, type)}
FUNCTIONS = {name: value for name, value in vars(ce).items()
             if not name.startswith("_") and callable(value) and not isinstance(value, type)}


ENGINE_FUNCTION = type(ce.cy_set_logging_config)


def methods_of(cls):
    """The methods a type defines, the pickling refusals included."""
    return {name: value for name, value in vars(cls).items() if type(value) is ENGINE_FUNCTION}


def declared_params(function):
    """[(declared type, name)] from a doc text "Q.name(self, int n, double complex[::1] v)"."""
    inside = function.__doc__.split("(", 1)[1].rsplit(")", 1)[0]
    out = []
    for text in inside.split(","):
        words = text.split()
        if not words or words == ["self"]:
            continue
        out.append((" ".join(words[:-1]), words[-1]))
    return out


# --- valid objects -------------------------------------------------------

def complexes(n, value=1.0 + 0.5j):
    return np.full(n, value, dtype=np.complex128)


def objects(*items):
    return np.array(items, dtype=object)


def control():
    return ce.CyControl("constant", 0.0, 0.0, 0.0, 0.0, 1.0, 1.0)


def projection():
    return ce.CyProjection("euclidean", 100.0, 1e-4)


def parameter():
    return ce.CyFlexibleParameter(control(), control(), projection(), 1000.0, -500.0, 500.0)


def grounded_network(solver):
    """A two-conductor bus fed by a source, a switch and a load, solved once."""
    source = ce.CyVoltageSource(2, complexes(1, 230.0))
    bus = ce.CyBus(2, np.array([230.0, 0.0], dtype=np.complex128))
    switch = ce.CySwitch(2)
    load = ce.CyPowerLoad(2, complexes(1, 100.0 + 10j))
    ground, ref = ce.CyGround(), ce.CyPotentialRef()
    switch.connect_side(source, [(0, 0), (1, 1)], True)
    switch.connect_side(bus, [(0, 0), (1, 1)], False)
    bus.connect(load, [(0, 0), (1, 1)])
    bus.connect(ground, [(1, 0)])
    ground.connect(ref, [(0, 0)])
    elements = [source, bus, switch, load, ground, ref]
    network = ce.CyElectricalNetwork(objects(*elements), len(elements))
    made = solver(network)
    made.solve_load_flow(20, 1e-8)
    return made, network, elements


# Constructor arguments that work, by type name.
CONSTRUCTIONS = {
    "CySwitch": lambda: (2,),
    "CyOpenSwitch": lambda: (2,),
    "CySimplifiedLine": lambda: (2, complexes(4, 0.1 + 0.1j)),
    "CyShuntLine": lambda: (2, complexes(4, 1e-6j), complexes(4, 0.1 + 0.1j)),
    "CyBus": lambda: (3, complexes(3)),
    "CyPowerLoad": lambda: (4, complexes(3, 100.0)),
    "CyDeltaPowerLoad": lambda: (3, complexes(3, 100.0)),
    "CyAdmittanceLoad": lambda: (4, complexes(3, 0.01)),
    "CyDeltaAdmittanceLoad": lambda: (3, complexes(3, 0.01)),
    "CyCurrentLoad": lambda: (4, complexes(3, 1.0)),
    "CyDeltaCurrentLoad": lambda: (3, complexes(3, 1.0)),
    "CyLoadBalancer": lambda: (0.1 + 0.1j, 1e-6j, 1.0),
    "CyControl": lambda: ("p_max_u_production", 0.0, 0.0, 240.0, 250.0, 1000.0, 1e-6),
    "CyProjection": lambda: ("keep_p", 100.0, 1e-4),
    "CyFlexibleParameter": lambda: (control(), control(), projection(), 1000.0, -500.0, 500.0),
    "CyFlexibleLoad": lambda: (4, complexes(3, 100.0), objects(parameter(), parameter(), parameter())),
    "CyDeltaFlexibleLoad": lambda: (3, complexes(3, 100.0), objects(parameter(), parameter(), parameter())),
    "CyGround": lambda: (),
    "CyPotentialRef": lambda: (),
    "CyDeltaPotentialRef": lambda: (3,),
    "CyVoltageSource": lambda: (4, complexes(3, 230.0)),
    "CyDeltaVoltageSource": lambda: (3, complexes(3, 400.0)),
    "CyThreePhaseTransformer": lambda: (3, 4, "D", "y", 0.01 + 0.02j, 1e-6j, 0.05, 11),
    "CySingleTransformer": lambda: (0.01 + 0.02j, 1e-6j, 0.05 + 0j),
    "CyCenterTransformer": lambda: (0.01 + 0.02j, 1e-6j, 0.05),
    "CySingleVoltageRegulator": lambda: (0.01 + 0.02j, 1e-6j, 230.0, 0.1, 0.5, 0.0),
    "CyElectricalNetwork": lambda: (objects(ce.CyBus(1, complexes(1)), ce.CyPotentialRef()), 2),
    "CyNewton": lambda: (ce.CyElectricalNetwork(None, 0), False),
    "CyNewtonGoldstein": lambda: (ce.CyElectricalNetwork(None, 0), True, 0.1, 0.9, True),
    "CyBackwardForward": lambda: (ce.CyElectricalNetwork(None, 0),),
}


def make(name):
    return TYPES[name](*CONSTRUCTIONS.get(name, lambda: ())())


def subclass(cls):
    return type("Sub" + cls.__name__, (cls,), {})


def derived_pairs():
    """Python classes deriving from two binding types, where Python allows them."""
    made = []
    for first, second in [("CyBus", "CyGround"), ("CyGround", "CyBus"), ("CySwitch", "CyBus"),
                          ("CyPowerLoad", "CyFlexibleLoad"), ("CyDeltaPotentialRef", "CyPotentialRef"),
                          ("CySimplifiedLine", "CyShuntLine"), ("CyThreePhaseTransformer", "CySingleVoltageRegulator"),
                          ("CyBackwardForward", "CyNewton"), ("CyNewton", "CyNewtonGoldstein"),
                          ("CyBranch", "CyBus"), ("CyControl", "CyProjection"), ("CyBus", "CyElectricalNetwork")]:
        try:
            cls = type(first + "And" + second, (TYPES[first], TYPES[second]), {})
        except TypeError:
            continue
        made.append((cls, first))
    return made


# --- bad values ----------------------------------------------------------

def bad_values(live):
    readonly = complexes(16)
    readonly.flags.writeable = False
    strided = complexes(32)[::2]
    values = [
        None, "x", "", "a\0b", b"x", bytearray(16), object(), [1, 2], [(0, 0)], {}, (), {"n": 1},
        True, 0, -1, 1, 2**31 - 1, -2**31, 2**31, -2**31 - 1, 2**63, 10**30, 2**30, 10**8, 2**24, 2**20 + 1,
        1.5, NAN, INF, -INF, complex(NAN, NAN), complex(INF, 0), 1e308, -0.0,
        np.arange(16, dtype=np.int64), np.arange(16, dtype=np.float32), np.arange(16, dtype=np.float64),
        np.arange(16, dtype=np.complex64), np.arange(4, dtype=np.int32), np.arange(16, dtype=np.int16),
        np.array([1, 2], dtype=object), np.array([None, None], dtype=object), strided, readonly,
        np.empty(0, np.complex128), np.empty(0, np.int32), np.empty(0, np.float64), np.empty(0, object),
        complexes(1), np.zeros(1, np.int32), np.zeros((4, 4), np.complex128), np.array(1j),
        complexes(16, complex(NAN, NAN)), complexes(16, complex(INF, -INF)), np.full(16, NAN),
        np.array([-1, 0], np.int32), np.array([2**31 - 1, -2**31], np.int32), np.array([0, 0, 0], np.int32),
        memoryview(b"\0" * 32), memoryview(bytearray(32)).cast("i"), np.int64(2**40), np.float64(NAN),
        [(0, 99)], [(-1, 0)], [(2**31, 0)], [(0,)], [(0, 0, 0)], [[0, 0]], [None], "ab", iter([(0, 0)]),
        objects(ce.CyGround(), None), objects(ce.CyElement(), ce.CyGround()), objects(control(), projection()),
        ce.CyElement(), ce.CyBranch(), ce.CyLoad(), ce.CyTransformer(), ce.CyAbstractSolver(),
        ce.CyAbstractNewton(), ce.CyGround, np.float64,
    ]
    values += live
    values.append(objects(*live[:6]))
    return values


# --- running -------------------------------------------------------------

class Tally:
    def __init__(self):
        self.calls = self.returned = self.raised = 0
        self.faults = []

    def call(self, label, function, *args, **kwargs):
        if TRACE:
            print("call", label, flush=True)
        self.calls += 1
        try:
            result = function(*args, **kwargs)
        except MemoryError as error:
            self.faults.append(f"{label}: MemoryError {error}")
            return None
        except Exception:
            self.raised += 1
            return None
        except BaseException as error:  # noqa: B036 - anything else escaping is a fault
            self.faults.append(f"{label}: {type(error).__name__} {error}")
            return None
        self.returned += 1
        return result


def describe(value):
    text = type(value).__name__
    if isinstance(value, np.ndarray):
        text += f"[{value.dtype},{value.shape}]"
    elif isinstance(value, (int, float, complex, str, bytes)):
        text += f"({value!r:.30})"
    return text


def valid_argument(declared, name, receiver):
    """An argument that a live object of the right type would accept."""
    if declared == "int":
        return {"index": 0, "max_iterations": 10, "clock": 11, "size": 3}.get(name, 2)
    if declared == "double":
        return {"tolerance": 1e-6, "m1": 0.1, "m2": 0.9}.get(name, 1.0)
    if declared == "double complex":
        return 1.0 + 0.1j
    if declared == "bool":
        return False
    if declared in ("string", "str"):
        return "info" if name == "severity" else "m"
    if declared == "double complex[::1]":
        return complexes(16)
    if declared == "int[::1]":
        return np.array([0, 1], dtype=np.int32)
    if declared == "double[::1]":
        try:
            return np.array(receiver.get_variables(), dtype=np.float64)
        except Exception:
            return np.zeros(64)
    if declared.endswith("[::1]"):
        return objects(ce.CyGround())
    if declared == "CyElement" or declared == "":
        return ce.CyGround() if name != "connections" else [(0, 0)]
    return make(declared)


def substitutions(tally, label, function, valid, bad, self_args=()):
    """The call with valid arguments, then each position replaced by each bad value,
    then by keyword, then every position by the same bad value."""
    tally.call(label + "(valid)", function, *self_args, *valid)
    for position in range(len(valid)):
        for value in bad:
            args = list(valid)
            args[position] = value
            tally.call(f"{label}[{position}]={describe(value)}", function, *self_args, *args)
    if valid:
        for value in bad[:24]:
            tally.call(f"{label}(all {describe(value)})", function, *self_args, *([value] * len(valid)))
    tally.call(label + "(too many)", function, *self_args, *valid, None)
    tally.call(label + "(none)", function, *self_args)


def main():
    faulthandler.enable()
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard == resource.RLIM_INFINITY or hard > ADDRESS_SPACE:
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, hard))
    os.chdir(tempfile.mkdtemp(prefix="robustness_"))  # save_matrix writes files
    tally = Tally()

    solvers = {"CyNewton": lambda net: ce.CyNewton(net, False),
               "CyNewtonGoldstein": lambda net: ce.CyNewtonGoldstein(net, True, 0.1, 0.9, True),
               "CyBackwardForward": ce.CyBackwardForward}
    solved = {kind: grounded_network(solver) for kind, solver in solvers.items()}
    live = [solved[kind][0] for kind in solved] + [solved["CyNewton"][1]] + solved["CyNewton"][2]
    live += [make(name) for name in CONSTRUCTIONS]
    live += [subclass(TYPES[name])(*CONSTRUCTIONS[name]()) for name in ("CyBus", "CySwitch", "CyNewton")]
    live += [subclass(ce.CyElement)(), subclass(ce.CyLoad)(1, 2, 3)]
    pairs = derived_pairs()
    for cls, first in pairs:
        live.append(tally.call(f"{cls.__name__}()", cls, *CONSTRUCTIONS.get(first, lambda: ())()))
    live = [obj for obj in live if obj is not None]
    bad = bad_values(live)
    strangers = [None, 5, "x", object(), ce.CyElement(), ce.CyBranch(), ce.CyLoad(), ce.CyTransformer(),
                 ce.CyAbstractSolver(), ce.CyAbstractNewton()]

    # Constructors, with their valid arguments and each position replaced.
    for name, cls in TYPES.items():
        valid = CONSTRUCTIONS.get(name, lambda: ())()
        substitutions(tally, name, cls, valid, bad)
        tally.call(name + "(keywords)", cls, n=1, potentials=None, network=None, z_line=None)

    # Methods: on every live object (wrong `self` included, through the type),
    # and with bad arguments on the objects of the method's type.
    for type_name, cls in TYPES.items():
        for method_name, method in methods_of(cls).items():
            label = f"{type_name}.{method_name}"
            params = declared_params(method)
            for receiver in live + strangers:
                valid = [valid_argument(d, n, receiver) for d, n in params]
                tally.call(f"{label}(self={describe(receiver)})", method, receiver, *valid)
                if isinstance(receiver, cls):
                    substitutions(tally, f"{label} on {describe(receiver)}", method, valid, bad, (receiver,))

    # Module functions.
    for name, function in FUNCTIONS.items():
        params = declared_params(function)
        valid = [valid_argument(d, n, None) for d, n in params]
        substitutions(tally, name, function, valid, bad)
    ce.cy_set_logging_config("info")

    # The solved networks still solve and hold finite or NaN values (no crash).
    for kind, (solver, _network, _elements) in solved.items():
        tally.call(kind + ".solve_load_flow(again)", solver.solve_load_flow, 20, 1e-8)
    faulthandler.cancel_dump_traceback_later()

    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    if peak > PEAK_RSS_LIMIT:
        tally.faults.append(f"peak resident memory {peak >> 20} MiB")
    for fault in tally.faults:
        print("fault:", fault)
    print(f"robustness: {tally.calls} calls, {tally.returned} returned, {tally.raised} raised, "
          f"{len(tally.faults)} faults; {len(TYPES)} types, {len(pairs)} classes of two bases", flush=True)
    return 1 if tally.faults else 0


if __name__ == "__main__":
    sys.exit(main())
