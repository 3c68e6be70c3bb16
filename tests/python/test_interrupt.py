"""Ctrl-C during a solve: a child interpreter solves a feeder with a tolerance
no solve can meet and as many iterations as it likes; SIGINT must end that
solve with KeyboardInterrupt, and the solver must then solve normally. The
same within a second for a solve in a worker thread (the main thread gets the
KeyboardInterrupt), for a call waiting for that solve, and for a large dense
Jacobian."""

import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = """
import time

import numpy as np

from test_feeder import SOLVERS, four_wire_feeder

make, tolerance = SOLVERS[KIND]
net = four_wire_feeder()
solver = make(net.network())
x0 = solver.get_variables()
print("solving", flush=True)
try:
    # A negative tolerance is never met: only the signal ends this solve.
    solver.solve_load_flow(10**9, -1.0)
except KeyboardInterrupt:
    print("interrupted", flush=True)
else:
    print("returned", flush=True)
x = solver.get_variables()
# The solve was stopped where it was: the variables it reached stay.
assert np.isfinite(x).all() and not np.array_equal(x, x0), x
iterations, error = solver.solve_load_flow(100, tolerance)
assert 0 <= iterations < 100 and error <= tolerance, (iterations, error)

# A fresh solver on a fresh network reaches the same state.
other = four_wire_feeder()
reference = make(other.network())
reference.solve_load_flow(100, tolerance)
assert np.abs(net.potentials() - other.potentials()).max() < 1e-7
print("solved again", flush=True)
"""


def read_line(stream, timeout):
    """One line of an unbuffered pipe, or None when none comes in time."""
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline().decode().strip() if ready else None


def interrupt(code, tmp_path, after=1.0):
    """Runs `code` in a child that prints a first line once it is busy; sends
    SIGINT `after` seconds later. Returns the next line, the seconds it took
    to come, the rest of the output's lines and the child's stderr."""
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, env=dict(os.environ, PYTHONPATH=HERE),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)  # unbuffered: lines are read one by one
    try:
        busy = read_line(child.stdout, 120)
        assert busy is not None and busy != "", child.stderr.read().decode(errors="replace")[-4000:]
        time.sleep(after)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = read_line(child.stdout, 10)
        latency = time.monotonic() - sent
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err.decode(errors="replace")[-4000:]
    return line, latency, out.decode().split("\n")[:-1], err.decode(errors="replace")


@pytest.mark.parametrize("kind", ["newton", "goldstein", "backward_forward"])
def test_sigint_stops_a_solve_and_the_solver_solves_again(kind, tmp_path):
    line, latency, rest, err = interrupt(f"KIND = {kind!r}\n" + textwrap.dedent(CHILD), tmp_path)
    assert line == "interrupted", err[-4000:]
    assert latency < 1.0
    assert rest == ["solved again"]


# The main thread waits in join() while a daemon thread solves without end:
# Ctrl-C reaches the main thread, and the worker's solve goes on (a call into
# the engine still waits for it). Thread.is_alive cannot tell: on 3.11 an
# interrupted join marks the thread stopped.
WORKER = """
import threading, time
from test_feeder import SOLVERS, four_wire_feeder

solver = SOLVERS[KIND][0](four_wire_feeder().network())
started = threading.Event()
worker = threading.Thread(target=lambda: (started.set(), solver.solve_load_flow(10**9, -1.0)), daemon=True)
worker.start()
started.wait()
print("solving", flush=True)
try:
    worker.join()
except KeyboardInterrupt:
    print("interrupted", flush=True)
answered = threading.Event()
threading.Thread(target=lambda: (solver.get_variables(), answered.set()), daemon=True).start()
print("still waiting" if not answered.wait(0.5) else "answered", flush=True)
"""


@pytest.mark.parametrize("kind", ["newton", "goldstein", "backward_forward"])
def test_sigint_reaches_the_main_thread_while_a_worker_thread_solves(kind, tmp_path):
    line, latency, rest, err = interrupt(f"KIND = {kind!r}\n" + WORKER, tmp_path)
    assert line == "interrupted", err[-4000:]
    assert latency < 1.0
    assert rest == ["still waiting"]


# A call that waits for a worker's solve (some five seconds) is what Ctrl-C
# interrupts: it raises KeyboardInterrupt and has done nothing.
WAITING = """
import threading, time
import numpy as np
from test_feeder import SOLVERS, four_wire_feeder, iterations_lasting

make = SOLVERS["backward_forward"][0]
iterations = iterations_lasting("backward_forward", 5.0)
feeder = four_wire_feeder()
solver = make(feeder.network())
started = threading.Event()
worker = threading.Thread(target=lambda: (started.set(), solver.solve_load_flow(iterations, -1.0)))
worker.start()
started.wait()
time.sleep(0.1)
print("waiting", flush=True)
try:
    feeder.objects["b2"].initialize_potentials(np.full(4, 1j))
except KeyboardInterrupt:
    print("interrupted", flush=True)
worker.join()
alone = four_wire_feeder()
other = make(alone.network())
other.solve_load_flow(iterations, -1.0)
same = feeder.potentials().tobytes() == alone.potentials().tobytes()
print("nothing done" if same else "potentials changed", flush=True)
"""


def test_sigint_during_a_wait_for_a_worker_solve_raises_from_the_waiting_call(tmp_path):
    line, latency, rest, err = interrupt(WAITING, tmp_path, after=0.5)
    assert line == "interrupted", err[-4000:]
    assert latency < 1.0
    assert rest == ["nothing done"]


# A dense Jacobian of some 2,800 variables: seconds of sweeps.
JACOBIAN = """
import load_flow_engine.cy_engine as ce
from netlist import chain_network

solver = ce.CyNewton(chain_network(700, 16), False)
print("computing", flush=True)
try:
    solver.get_jacobian()
except KeyboardInterrupt:
    print("interrupted", flush=True)
print(solver.get_residuals().shape[0], flush=True)
"""


def test_sigint_stops_a_large_dense_jacobian(tmp_path):
    line, latency, rest, err = interrupt(JACOBIAN, tmp_path, after=0.5)
    assert line == "interrupted", err[-4000:]
    assert latency < 1.0
    assert rest == [str(4 * 701)]


class Alarm(Exception):
    pass


@pytest.fixture
def alarms():
    """Calls handler(count) at every alarm of a repeating 50 ms timer."""
    previous = signal.getsignal(signal.SIGALRM)

    def start(handler):
        count = [0]

        def on_alarm(signum, frame):
            count[0] += 1
            handler(count[0])

        signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        return count

    yield start
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("kind", ["newton", "goldstein", "backward_forward"])
def test_a_handler_that_returns_lets_the_solve_go_on_and_its_exception_ends_it(kind, alarms):
    from test_feeder import SOLVERS, four_wire_feeder

    make, tolerance = SOLVERS[kind]
    net = four_wire_feeder()
    solver = make(net.network())

    def handler(count):
        if count == 4:
            raise Alarm

    start = time.monotonic()
    count = alarms(handler)
    with pytest.raises(Alarm):
        solver.solve_load_flow(10**9, -1.0)
    elapsed = time.monotonic() - start
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert count[0] == 4 and 0.15 < elapsed < 1.0
    iterations, error = solver.solve_load_flow(100, tolerance)
    assert 0 <= iterations < 100 and error <= tolerance
