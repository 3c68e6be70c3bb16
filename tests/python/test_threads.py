"""Solves in worker threads: they let the interpreter go now and then, and
every other call into the engine waits for them; a daemon thread still in the
engine when the interpreter finalises leaves without aborting the process.
Each case runs in a child interpreter, so that a hang, a crash or a sanitizer
report fails that case alone."""

import os
import pathlib

import pytest

HERE = pathlib.Path(__file__).parent
SCRIPT = HERE / "thread_calls.py"


@pytest.mark.parametrize("kind", ["newton", "goldstein", "backward_forward"])
def test_calls_during_a_worker_solve_wait_and_act_on_the_finished_state(kind, run_child, tmp_path):
    done = run_child(f"import runpy, sys; sys.argv = ['thread_calls', {kind!r}, {str(tmp_path)!r}]; "
                     f"runpy.run_path({str(SCRIPT)!r}, run_name='__main__')", path=HERE)
    out, err = done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")
    assert done.returncode == 0, f"exit {done.returncode}\n{out[-4000:]}\n{err[-4000:]}"
    assert "MISMATCH" not in out, out
    assert "\nthread calls: " in out, out


# Daemon threads in the engine when the main thread returns: a solve (in its
# polls) or a dense Jacobian (whose result array is made), and a call waiting
# for the engine. They must leave quietly.
FINALISING = """
import threading, time
import load_flow_engine.cy_engine as ce
from netlist import chain_network
from test_feeder import SOLVERS, four_wire_feeder

if KIND == "jacobian":
    solver = ce.CyNewton(chain_network(700, 16), False)
    work = solver.get_jacobian
else:
    solver = SOLVERS[KIND][0](four_wire_feeder().network())
    work = lambda: solver.solve_load_flow(10**9, -1.0)
started = threading.Event()
threading.Thread(target=lambda: (started.set(), work()), daemon=True).start()
started.wait()
time.sleep(0.2)
threading.Thread(target=solver.get_variables, daemon=True).start()
time.sleep(0.1)
print("returning", flush=True)
"""


@pytest.mark.parametrize("kind", ["newton", "goldstein", "backward_forward", "jacobian"])
def test_daemon_threads_in_the_engine_leave_quietly_when_the_interpreter_finalises(kind, run_child):
    done = run_child(f"KIND = {kind!r}\n" + FINALISING, path=HERE)
    err = done.stderr.decode(errors="replace")
    assert done.returncode == 0, f"exit {done.returncode}\n{err[-4000:]}"
    assert done.stdout.decode().split() == ["returning"], err[-4000:]
