import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_child(tmp_path):
    """Runs Python code in a fresh interpreter (away from the source tree) and
    returns the completed process; the code's stdout is captured as bytes."""

    def run(code, *args, path=None):
        env = None
        if path is not None:
            import os

            # Ahead of any path already set (the sanitized build's, for one).
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(path), os.environ.get("PYTHONPATH")])))
        return subprocess.run(
            [sys.executable, *args, "-c", textwrap.dedent(code)],
            cwd=tmp_path,
            capture_output=True,
            env=env,
            timeout=120,
        )

    return run


@pytest.fixture
def entry_names():
    """The function names of the traceback entries of an exception."""

    def names(exc):
        out = []
        tb = exc.__traceback__
        while tb is not None:
            out.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        return out

    return names


@pytest.fixture
def binding_entries(entry_names):
    """The traceback entries the binding added to an exception, without the
    module's prefix: ["CyBus.__cinit__"]."""
    prefix = "load_flow_engine.cy_engine."

    def entries(exc):
        return [n[len(prefix):] for n in entry_names(exc) if n.startswith(prefix)]

    return entries
