"""Time to join ports into one node, per size: how a node grows by one port per join.

Two shapes, each timed for every size given (powers of two by default):

- ``connect_ports``: one bus of N ports joins them all with one call, so the
  node of port 0 absorbs the others one at a time;
- ``shared neutral``: N one-port buses joined one by one to one shared bus
  (``neutral.connect(bus, [(0, 0)])``), the usual shape of a large feeder's
  neutral or ground.

It prints each time and the ratio to the size before: a ratio near 2 per
doubling is linear growth, near 4 quadratic. Releasing the elements again
is timed too. Run it with the module installed, from the repository root::

    .venv/bin/python benchmarks/joins.py
    .venv/bin/python benchmarks/joins.py --sizes 65536 131072
"""

import argparse
import gc
import time

import numpy as np

from load_flow_engine import cy_engine as cy


def connect_ports(n):
    bus = cy.CyBus(n, np.zeros(n, complex))
    ports = np.arange(n, dtype=np.int32)
    start = time.perf_counter()
    bus.connect_ports(ports)
    joined = time.perf_counter() - start
    start = time.perf_counter()
    del bus
    return joined, time.perf_counter() - start


def shared_neutral(n):
    neutral = cy.CyBus(1, np.zeros(1, complex))
    buses = [cy.CyBus(1, np.zeros(1, complex)) for _ in range(n)]
    pair = [(0, 0)]
    start = time.perf_counter()
    for bus in buses:
        neutral.connect(bus, pair)
    joined = time.perf_counter() - start
    start = time.perf_counter()
    del buses
    return joined, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[2**k for k in range(14, 18)])
    args = parser.parse_args()
    gc.disable()  # no collection pauses inside the timed loops
    for name, run in (("connect_ports", connect_ports), ("shared neutral", shared_neutral)):
        print(f"{name}:")
        previous = None
        for n in args.sizes:
            joined, released = run(n)
            ratio = f"  x{joined / previous:.1f}" if previous else ""
            print(f"  {n:>8} ports  join {joined * 1e3:9.1f} ms{ratio:8}  release {released * 1e3:9.1f} ms")
            previous = joined


if __name__ == "__main__":
    main()
