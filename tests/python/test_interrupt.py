"""Ctrl-C during a solve: a child interpreter solves a feeder with a tolerance
no solve can meet and as many iterations as it likes; SIGINT must end that
solve with KeyboardInterrupt, and the solver must then solve normally."""

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


@pytest.mark.parametrize("kind", ["newton", "goldstein", "backward_forward"])
def test_sigint_stops_a_solve_and_the_solver_solves_again(kind, tmp_path):
    child = subprocess.Popen(
        [sys.executable, "-c", f"KIND = {kind!r}\n" + textwrap.dedent(CHILD)],
        cwd=tmp_path, env=dict(os.environ, PYTHONPATH=HERE),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)  # unbuffered: lines are read one by one
    try:
        assert read_line(child.stdout, 60) == "solving"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = read_line(child.stdout, 5)
        latency = time.monotonic() - sent
        assert line == "interrupted", line
        assert latency < 1.0
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err.decode()
    assert out.decode().split("\n")[0] == "solved again"


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
