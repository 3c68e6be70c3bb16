"""Calls made while a worker thread solves: each waits for the solve's call to
return, then acts on the finished state, so that every result is what the
same calls give one after the other.

Run as a script: thread_calls.py KIND [TMPDIR]. The worker enters the engine
first (a join whose pairs iterator runs the solve, so the join's call holds
the engine while the solve runs), then another thread, the main one or a
second worker, makes one call. A fresh feeder replays the same calls one
after the other. Each case prints "ok NAME" or "MISMATCH NAME", then the
script prints "thread calls: N cases".
"""

import os
import sys
import threading
import time

import numpy as np

import load_flow_engine.cy_engine as ce
from test_feeder import SOLVERS, UPDATED, four_wire_feeder, iterations_lasting

KIND = sys.argv[1]
TMP = sys.argv[2] if len(sys.argv) > 2 else "."
MAKE = SOLVERS[KIND][0]
NEWTON = KIND != "backward_forward"


ITERATIONS = iterations_lasting(KIND, 0.1)


def save(solver, name):
    prefix = os.path.join(TMP, name)
    solver.save_matrix(prefix)
    with open(prefix + ".mtx", "rb") as a, open(prefix + "_b.mtx", "rb") as b:
        return a.read() + b.read()


# name: call(feeder, network, solver) -> result
CALLS = {
    "connect": lambda f, net, s: f.objects["b3"].connect(f.objects["b4"], [(3, 3)]),
    "connect_ports": lambda f, net, s: f.objects["b4"].connect_ports(np.array([3, 2], np.int32)),
    "update": lambda f, net, s: f.objects["l2"].update_line_parameters(UPDATED["z2"].ravel()),
    "initialize_potentials": lambda f, net, s: f.objects["b2"].initialize_potentials(np.full(4, 200 + 10j)),
    "set_variables": lambda f, net, s: s.set_variables(np.linspace(0.0, 1.0, len(s.get_variables()))),
    "get_variables": lambda f, net, s: s.get_variables(),
    "read": lambda f, net, s: f.objects["b4"].get_potentials(4),
    "solve": lambda f, net, s: s.solve_load_flow(3, -1.0),
    "new solver": lambda f, net, s: MAKE(net),
}
if NEWTON:
    CALLS.update({
        "get_residuals": lambda f, net, s: s.get_residuals(),
        "get_jacobian": lambda f, net, s: s.get_jacobian(),
        "analyse_jacobian": lambda f, net, s: s.analyse_jacobian(),
        "save_matrix": lambda f, net, s: save(s, "dump"),
    })


def as_bytes(value):
    if isinstance(value, ce.CyAbstractSolver):
        return value.get_variables().tobytes()
    if isinstance(value, np.ndarray):
        return value.tobytes()
    return repr(value).encode() if not isinstance(value, bytes) else value


def state(feeder, solver, *results):
    # A solver made by the call is kept until the potentials are read: the
    # elements read its arrays.
    return [feeder.potentials().tobytes(), solver.get_variables().tobytes()] + [as_bytes(r) for r in results]


def serially(call):
    f = four_wire_feeder()
    net = f.network()
    solver = MAKE(net)
    solved = solver.solve_load_flow(ITERATIONS, -1.0)
    result = call(f, net, solver)
    return state(f, solver, solved, result)


def solving_in_a_worker(solver, hold, out):
    """Starts a worker whose call holds the engine while `solver` solves;
    returns it once the solve is about to start."""
    entered = threading.Event()

    def pairs():  # no pairs: its iteration runs the solve
        entered.set()
        out["solved"] = solver.solve_load_flow(ITERATIONS, -1.0)
        out["x"] = solver.get_variables().tobytes()
        out["solve end"] = time.perf_counter()
        yield from ()

    worker = threading.Thread(target=lambda: hold.connect(hold, pairs()))
    worker.start()
    entered.wait()
    return worker


def concurrently(call, caller):
    f = four_wire_feeder()
    net = f.network()
    solver = MAKE(net)
    out = {}
    worker = solving_in_a_worker(solver, f.objects["gnd"], out)

    def calling():
        out["result"] = call(f, net, solver)
        out["call end"] = time.perf_counter()

    if caller == "main":
        calling()
    else:
        other = threading.Thread(target=calling)
        other.start()
        other.join()
    worker.join()
    waited = out["call end"] >= out["solve end"]
    return waited, state(f, solver, out["solved"], out["result"])


def two_solves():
    """Two workers, each solving a network of its own."""
    feeders = [four_wire_feeder(), four_wire_feeder()]
    solvers = [MAKE(feeders[0].network()), SOLVERS["backward_forward"][0](feeders[1].network())]
    out = [{}, {}]
    threads = [threading.Thread(target=lambda k=k: out[k].update(r=solvers[k].solve_load_flow(ITERATIONS, -1.0)))
               for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = [state(f, s, o["r"]) for f, s, o in zip(feeders, solvers, out)]
    expected = []
    for make in (MAKE, SOLVERS["backward_forward"][0]):
        f = four_wire_feeder()
        s = make(f.network())
        expected.append(state(f, s, s.solve_load_flow(ITERATIONS, -1.0)))
    return got == expected


class Network(ce.CyElectricalNetwork):
    pass


def released_during_the_solve():
    """The main thread drops every reference it has to what the worker
    solves, and a later solver of the same network, and collects a cycle of
    another network and its Newton solver: nothing the solve uses goes, and
    what goes meanwhile does not disturb it (neither waits for the solve)."""
    import gc

    def replay(concurrent):
        f = four_wire_feeder()
        net = f.network()
        solver = MAKE(net)
        later = MAKE(net)  # the elements read its arrays
        other = list(four_wire_feeder().objects.values())
        cycle = Network(np.array(other, object), len(other))
        cycle.solver = ce.CyNewton(cycle, False)
        out = {}
        if concurrent:
            worker = solving_in_a_worker(solver, f.objects["gnd"], out)
            del later, net, solver, f, cycle, other
            gc.collect()
            worker.join()
        else:
            del later
            out["solved"] = solver.solve_load_flow(ITERATIONS, -1.0)
            out["x"] = solver.get_variables().tobytes()
        return [repr(out["solved"]), out["x"]]

    return replay(True) == replay(False)


def main():
    cases = 0
    for name, call in CALLS.items():
        expected = serially(call)
        for caller in ("main", "thread"):
            waited, got = concurrently(call, caller)
            cases += 1
            print(f"{'ok' if waited and got == expected else 'MISMATCH'} {name} from {caller}", flush=True)
    for name, check in (("two solves", two_solves), ("released", released_during_the_solve)):
        cases += 1
        print(f"{'ok' if check() else 'MISMATCH'} {name}", flush=True)
    print(f"thread calls: {cases} cases")


if __name__ == "__main__":
    main()
