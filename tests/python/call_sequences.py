"""Random short sequences of ordinary calls: small networks built, joined
(before and after networks and solvers exist, also onto references), solved,
read, updated and released in any order, with collections in between. Some
buffers are misaligned, some object buffers are ctypes arrays (misaligned, or
holding a null item), and some networks are built while a collector callback
empties their object buffer.

Run as a script: call_sequences.py FIRST COUNT [SEED]. Sequence k draws from
random.Random(SEED * 1_000_003 + k), so it can be replayed alone. A line
"sequence k" is written before sequence k starts and each call is written
before it runs, so the last lines name a crash's sequence and call.
Exceptions raised by the calls are expected and counted; the script ends with
"call sequences: N sequences, C calls, R raised"."""

import ctypes
import gc
import random
import sys

import numpy as np

import load_flow_engine.cy_engine as ce

SUBCLASSES = {}


def subclass(cls):
    if cls not in SUBCLASSES:
        SUBCLASSES[cls] = type("Sub" + cls.__name__, (cls,), {})
    return SUBCLASSES[cls]


def sometimes_misaligned(rng, a):
    """`a`, or a copy whose data starts one byte past an aligned address."""
    if rng.random() >= 0.3:
        return a
    m = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, a.size, offset=1)
    m[:] = a
    return m


def cplx(rng, count, scale=1.0):
    values = np.array([complex(rng.uniform(-1, 1), rng.uniform(-1, 1)) * scale for _ in range(count)], complex)
    return sometimes_misaligned(rng, values)


def objects(rng, items):
    """An object buffer of the items: a NumPy array, or a ctypes array that is
    misaligned or, rarely, holds a null item (which is refused)."""
    r = rng.random()
    if r < 0.6:
        return np.array(items, object)
    size = len(items)
    array = (ctypes.py_object * size).from_buffer(bytearray(8 * size + 1), 1) if r < 0.9 else (ctypes.py_object * size)()
    null = rng.randrange(size) if r >= 0.9 and size else None
    for k, item in enumerate(items):
        if k != null:
            array[k] = item
    return array


def parameter(rng):
    control = ce.CyControl(rng.choice(["constant", "p_max_u_production"]), 0.0, 0.0, 240.0, 250.0, 1000.0, 1e-6)
    projection = ce.CyProjection(rng.choice(["euclidean", "keep_p"]), 100.0, 1e-4)
    return ce.CyFlexibleParameter(control, control, projection, 1000.0, -500.0, 500.0)


# name: (factory(rng, n) -> (object, port count, side size or None), conductor counts)
def factories():
    return {
        "bus": (lambda r, n: (ce.CyBus(n, cplx(r, n, 230)), n, None), (1, 2, 3)),
        "source": (lambda r, n: (ce.CyVoltageSource(n, cplx(r, n - 1, 230)), n, None), (2, 3)),
        "delta source": (lambda r, n: (ce.CyDeltaVoltageSource(n, cplx(r, n, 400)), n, None), (2, 3)),
        "ref": (lambda r, n: (ce.CyPotentialRef(), 1, None), (1,)),
        "ground": (lambda r, n: (ce.CyGround(), 1, None), (1,)),
        "delta ref": (lambda r, n: (ce.CyDeltaPotentialRef(n), n, None), (2, 3)),
        "switch": (lambda r, n: (ce.CySwitch(n), 2 * n, n), (1, 2)),
        "open switch": (lambda r, n: (ce.CyOpenSwitch(n), 2 * n, n), (1, 2)),
        "simplified line": (lambda r, n: (ce.CySimplifiedLine(n, cplx(r, n * n) + 0.2), 2 * n, n), (1, 2)),
        "shunt line": (lambda r, n: (ce.CyShuntLine(n, cplx(r, n * n, 1e-4), cplx(r, n * n) + 0.2), 2 * n + 1, n),
                       (1, 1, 2)),
        "power load": (lambda r, n: (ce.CyPowerLoad(n, cplx(r, n - 1, 100)), n, None), (2, 3)),
        "delta power load": (lambda r, n: (ce.CyDeltaPowerLoad(n, cplx(r, n, 100)), n, None), (3,)),
        "admittance load": (lambda r, n: (ce.CyAdmittanceLoad(n, cplx(r, n - 1, 0.01)), n, None), (2, 3)),
        "current load": (lambda r, n: (ce.CyCurrentLoad(n, cplx(r, n - 1)), n, None), (2, 3)),
        "flexible load": (lambda r, n: (ce.CyFlexibleLoad(n, cplx(r, n - 1, 100),
                                                          objects(r, [parameter(r) for _ in range(n - 1)])),
                                        n, None), (2, 3)),
        "transformer": (lambda r, n: (ce.CySingleTransformer(0.01 + 0.02j, 1e-6j, 0.05 + 0j), 4, 2), (1,)),
        "regulator": (lambda r, n: (ce.CySingleVoltageRegulator(0.01 + 0.02j, 1e-6j, 230.0, 0.1, 0.5, 0.0), 4, 2),
                      (1,)),
    }


class Sequence:
    def __init__(self, rng, out):
        self.rng, self.out = rng, out
        self.elements = []  # (object, port count, side size)
        self.networks = []
        self.solvers = []
        self.calls = self.raised = 0
        self.factories = factories()

    def call(self, text, function):
        self.out.write("  " + text + "\n")
        self.out.flush()
        self.calls += 1
        try:
            return function()
        except Exception:
            self.raised += 1
            return None

    def pick(self, items):
        return self.rng.choice(items) if items else None

    # --- the operations ---------------------------------------------------

    def make_element(self):
        name = self.rng.choice(list(self.factories))
        make, counts = self.factories[name]
        n = self.rng.choice(counts)
        made = self.call(f"make {name} n={n}", lambda: make(self.rng, n))
        if made is not None:
            self.elements.append(made)

    def join(self):
        if len(self.elements) < 1:
            return
        (a, na, side_a), (b, nb, _) = self.pick(self.elements), self.pick(self.elements)
        kind = self.rng.randrange(3)
        if kind == 0:
            pairs = [(self.rng.randrange(na), self.rng.randrange(nb)) for _ in range(self.rng.randint(1, 2))]
            self.call(f"connect {pairs}", lambda: a.connect(b, pairs))
        elif kind == 1 and side_a is not None:
            pairs = [(self.rng.randrange(side_a), self.rng.randrange(nb)) for _ in range(self.rng.randint(1, 2))]
            beginning = self.rng.random() < 0.5
            self.call(f"connect_side {pairs} {beginning}", lambda: a.connect_side(b, pairs, beginning))
        else:
            ports = sometimes_misaligned(
                self.rng, np.array([self.rng.randrange(na) for _ in range(self.rng.randint(2, 3))], np.int32))
            self.call(f"connect_ports {list(ports)}", lambda: a.connect_ports(ports))

    def join_reference(self):
        if not self.elements:
            return
        a, na, _ = self.pick(self.elements)
        ref = ce.CyPotentialRef()
        port = self.rng.randrange(na)
        if self.rng.random() < 0.5:
            self.call(f"connect onto a reference port {port}", lambda: a.connect(ref, [(port, 0)]))
        else:
            self.call(f"reference connects port {port}", lambda: ref.connect(a, [(0, port)]))
        if self.rng.random() < 0.5:
            self.elements.append((ref, 1, None))

    def disconnect(self):
        if self.elements:
            a, _, _ = self.pick(self.elements)
            self.call("disconnect", a.disconnect)

    def make_network(self):
        chosen = [e[0] for e in self.elements if self.rng.random() < 0.7]
        self.rng.shuffle(chosen)
        cls = subclass(ce.CyElectricalNetwork) if self.rng.random() < 0.3 else ce.CyElectricalNetwork
        net = self.call(f"network of {len(chosen)}", lambda: cls(objects(self.rng, chosen), len(chosen)))
        if net is not None:
            self.networks.append(net)

    def make_network_while_collecting(self):
        """Fresh elements held by the object buffer alone, which a collector
        callback empties at the k-th collection of the construction."""
        fresh = []
        for _ in range(self.rng.randint(1, 3)):
            make, counts = self.factories[self.rng.choice(["bus", "power load", "flexible load", "switch"])]
            made = self.call("make a fresh element", lambda: make(self.rng, self.rng.choice(counts)))
            if made is not None:
                fresh.append(made[0])
        chosen = fresh + [e[0] for e in self.elements if self.rng.random() < 0.3]
        items = objects(self.rng, chosen)
        del fresh, chosen
        count, k = [0], self.rng.randint(1, 3)

        def empty_at_kth(phase, info):
            if phase == "start":
                count[0] += 1
                if count[0] == k:
                    items[:] = [None] * len(items)

        threshold = gc.get_threshold()
        gc.set_threshold(1)
        gc.callbacks.append(empty_at_kth)
        try:
            net = self.call(f"network while collecting k={k}", lambda: ce.CyElectricalNetwork(items, len(items)))
        finally:
            gc.callbacks.remove(empty_at_kth)
            gc.set_threshold(*threshold)
        if net is not None:
            self.networks.append(net)

    def make_solver(self):
        net = self.pick(self.networks)
        if net is None:
            return
        kind = self.rng.randrange(4)
        makers = [lambda c: c(net, False), lambda c: c(net, True), lambda c: c(net, True, 0.1, 0.9, True),
                  lambda c: c(net)]
        base = [ce.CyNewton, ce.CyNewton, ce.CyNewtonGoldstein, ce.CyBackwardForward][kind]
        cls = subclass(base) if self.rng.random() < 0.3 else base
        solver = self.call(f"solver {cls.__name__}", lambda: makers[kind](cls))
        if solver is not None:
            self.solvers.append(solver)

    def solve(self):
        solver = self.pick(self.solvers)
        if solver is not None:
            iterations = self.rng.randint(1, 8)
            self.call(f"solve {iterations}", lambda: solver.solve_load_flow(iterations, 1e-8))

    def solver_call(self):
        solver = self.pick(self.solvers)
        if solver is None:
            return
        calls = [("get_variables", lambda: solver.get_variables()), ("reset_inputs", solver.reset_inputs),
                 ("set_variables",
                  lambda: solver.set_variables(sometimes_misaligned(self.rng, solver.get_variables() * 0.5)))]
        if isinstance(solver, ce.CyAbstractNewton):
            calls += [("get_residuals", solver.get_residuals), ("get_jacobian", solver.get_jacobian),
                      ("analyse_jacobian", solver.analyse_jacobian)]
        text, function = self.rng.choice(calls)
        self.call(text, function)

    def read(self):
        if not self.elements:
            return
        a, n, side = self.pick(self.elements)
        port = self.rng.randrange(n)
        calls = [("get_potentials", lambda: a.get_potentials(n)), ("get_currents", lambda: a.get_currents(n)),
                 ("get_port_potential", lambda: a.get_port_potential(port)),
                 ("get_port_current", lambda: a.get_port_current(port))]
        if side is not None:
            calls.append(("get_side_currents", lambda: a.get_side_currents(side, side)))
        if isinstance(a, (ce.CyPotentialRef, ce.CyDeltaPotentialRef)):
            calls.append(("get_current", a.get_current))
        if isinstance(a, ce.CyLoad):
            calls.append(("get_inner_currents", lambda: a.get_inner_currents(n)))
        if isinstance(a, ce.CyFlexibleLoad):
            calls.append(("get_powers", lambda: a.get_powers(n)))
        if isinstance(a, ce.CySingleVoltageRegulator):
            calls.append(("get_tap", a.get_tap))
        text, function = self.rng.choice(calls)
        self.call(text, function)

    def update(self):
        if not self.elements:
            return
        buses = [e for e in self.elements if isinstance(e[0], ce.CyBus)]
        a, n, side = self.pick(buses if buses and self.rng.random() < 0.4 else self.elements)
        r = self.rng
        if isinstance(a, ce.CyBus):
            self.call("initialize_potentials", lambda: a.initialize_potentials(cplx(r, n, 230)))
        elif isinstance(a, ce.CyVoltageSource):
            self.call("update_voltages", lambda: a.update_voltages(cplx(r, n - 1, 230)))
        elif isinstance(a, ce.CyDeltaVoltageSource):
            self.call("update_voltages", lambda: a.update_voltages(cplx(r, n, 400)))
        elif isinstance(a, (ce.CyPowerLoad, ce.CyFlexibleLoad)):
            self.call("update_powers", lambda: a.update_powers(cplx(r, n - 1, 100)))
        elif isinstance(a, ce.CyAdmittanceLoad):
            self.call("update_admittances", lambda: a.update_admittances(cplx(r, n - 1, 0.01)))
        elif isinstance(a, ce.CyCurrentLoad):
            self.call("update_currents", lambda: a.update_currents(cplx(r, n - 1)))
        elif isinstance(a, ce.CyShuntLine):
            self.call("update_line_parameters",
                      lambda: a.update_line_parameters(cplx(r, side * side, 1e-4), cplx(r, side * side) + 0.2))
        elif isinstance(a, ce.CySimplifiedLine):
            self.call("update_line_parameters", lambda: a.update_line_parameters(cplx(r, side * side) + 0.2))
        elif isinstance(a, ce.CySingleVoltageRegulator):
            self.call("regulator update_parameters", lambda: a.update_parameters(0.02 + 0.01j, 2e-6j, 231.0))
        elif isinstance(a, ce.CyTransformer):
            self.call("update_transformer_parameters",
                      lambda: a.update_transformer_parameters(0.02 + 0.01j, 2e-6j, 0.04 + 0j))

    def tie(self):
        """A cycle through ordinary attributes of subclass instances."""
        target = self.pick(self.networks + self.solvers + [e[0] for e in self.elements])
        if target is None:
            return
        n = self.rng.choice((1, 2))
        bus = subclass(ce.CyBus)(n, cplx(self.rng, n, 230))
        bus.kept = target
        self.elements.append((bus, n, None))
        if hasattr(target, "__dict__"):
            target.kept = bus
        self.call("tie", lambda: None)

    def release(self):
        lists = [lst for lst in (self.elements, self.networks) if lst]
        if lists:
            lst = self.rng.choice(lists)
            lst.pop(self.rng.randrange(len(lst)))
            self.call("release", lambda: None)

    def release_solver(self):
        if self.solvers:
            self.solvers.pop(self.rng.randrange(len(self.solvers)))
            self.call("release a solver", lambda: None)

    def collect(self):
        self.call("gc.collect", gc.collect)

    def run(self, steps):
        operations = [(self.make_element, 4), (self.join, 4), (self.join_reference, 4), (self.disconnect, 1),
                      (self.make_network, 3), (self.make_network_while_collecting, 1), (self.make_solver, 4),
                      (self.solve, 3), (self.solver_call, 2), (self.read, 2), (self.update, 5), (self.tie, 1),
                      (self.release, 2), (self.release_solver, 3), (self.collect, 1)]
        functions, weights = zip(*operations)
        for _ in range(self.rng.randint(2, 6)):
            self.make_element()
        for _ in range(steps):
            self.rng.choices(functions, weights)[0]()
        # Release in a random order, collecting in between.
        everything = self.elements + self.networks + self.solvers
        self.rng.shuffle(everything)
        self.elements, self.networks, self.solvers = [], [], []
        while everything:
            everything.pop()
            if self.rng.random() < 0.2:
                gc.collect()
        gc.collect()


def main():
    first, count = int(sys.argv[1]), int(sys.argv[2])
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    out = sys.stdout
    calls = raised = 0
    np.seterr(all="ignore")
    for k in range(first, first + count):
        out.write(f"sequence {k}\n")
        out.flush()
        rng = random.Random(seed * 1_000_003 + k)
        sequence = Sequence(rng, out)
        sequence.run(rng.randint(10, 50))
        calls, raised = calls + sequence.calls, raised + sequence.raised
        del sequence
    out.write(f"call sequences: {count} sequences, {calls} calls, {raised} raised\n")


if __name__ == "__main__":
    main()
