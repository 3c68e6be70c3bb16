"""Seeded random sequences of ordinary calls (call_sequences.py), a batch per
child interpreter: exceptions are fine, a crash or a sanitizer report is not.
LFE_SEQUENCE_SEED picks another set of sequences."""

import os
import pathlib
import re
import sys

import pytest

SCRIPT = pathlib.Path(__file__).with_name("call_sequences.py")
BATCHES, PER_BATCH = 6, 50
SEED = int(os.environ.get("LFE_SEQUENCE_SEED", "0"))


@pytest.mark.parametrize("batch", range(BATCHES))
def test_call_sequences_never_crash(batch, run_child):
    first = batch * PER_BATCH
    done = run_child(f"import runpy, sys; sys.argv = ['call_sequences', '{first}', '{PER_BATCH}', '{SEED}']; "
                     f"runpy.run_path({str(SCRIPT)!r}, run_name='__main__')", "-u")
    out, err = done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")
    started = re.findall(r"^sequence (\d+)$", out, re.M)
    where = (f"sequence {started[-1]} (replay: {sys.executable} {SCRIPT} {started[-1]} 1 {SEED})"
             if started else "before the first sequence")
    tail = "\n".join(out.splitlines()[-30:])
    assert done.returncode == 0, f"exit {done.returncode} in {where}\n{tail}\n{err[-6000:]}"
    assert re.search(rf"^call sequences: {PER_BATCH} sequences, \d+ calls, \d+ raised$", out, re.M), tail
