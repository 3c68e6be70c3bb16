"""Every constructor, method and module function, called with bad
arguments, on live and engine-less objects and with a wrong `self`, returns
or raises: the calls run in a child interpreter that must exit normally."""

import os
import pathlib
import re

import pytest

SCRIPT = pathlib.Path(__file__).with_name("robustness_calls.py")


@pytest.mark.skipif(os.environ.get("LFE_SANITIZED") == "1",
                    reason="the calls run under an address-space limit, which the sanitizers' shadow memory exceeds")
def test_bad_calls_return_or_raise(run_child):
    done = run_child(f"import runpy; runpy.run_path({str(SCRIPT)!r}, run_name='__main__')")
    out, err = done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")
    # A crash or an abort is a negative return code (the signal), a hang the watchdog's exit 1.
    assert done.returncode == 0, f"exit {done.returncode}\n{out[-4000:]}\n{err[-4000:]}"
    summary = re.search(r"^robustness: (\d+) calls, (\d+) returned, (\d+) raised, 0 faults", out, re.M)
    assert summary is not None, out[-4000:]
    calls, returned, raised = map(int, summary.groups())
    assert returned + raised == calls and returned > 0 and raised > 0
