"""Timing and memory of the Python module on synthetic radial four-wire feeders.

Each feeder has the shape of ``feeder_benchmark.cpp``: a voltage source on bus
0, whose neutral is grounded and carries the potential reference, and a tree
of pi-section lines (full 4x4 series impedance and shunt admittance matrices,
each bus fed from bus ``(i - 1) // 3``) with an unbalanced star load at every
bus. For each size and method it prints the time to build the elements and
their connections, to build the network, to create the solver (for Newton this
records the tape) and to solve, the iterations, the final error and the peak
resident memory. Every case runs in a fresh child process, so that each peak
is its own. Then it prints how each time grows per tenfold size, and runs a
leak check: repeated build-solve-destroy cycles of one feeder by Newton,
reading the resident memory before and after.

Run it with the module installed, from the repository root::

    .venv/bin/python benchmarks/feeders.py
    .venv/bin/python benchmarks/feeders.py --sizes 100 1000 --methods newton --cycles 50

``--cycles 0`` skips the leak check; ``--help`` lists the options.
"""

import argparse
import cmath
import gc
import json
import math
import os
import resource
import subprocess
import sys
import time

import numpy as np

from load_flow_engine import cy_engine as cy

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from substation_feeder import Y_PER_KM, Z_PER_KM  # noqa: E402  (the example's LV cable)

TOLERANCE = 1e-8
MAX_ITERATIONS = {"newton": 50, "goldstein": 50, "backward_forward": 1000}
METHODS = {
    "newton": ("Newton", lambda network: cy.CyNewton(network, False)),
    "goldstein": ("Newton-Goldstein", lambda network: cy.CyNewtonGoldstein(network, False, 0.1, 0.9, True)),
    "backward_forward": ("backward-forward", lambda network: cy.CyBackwardForward(network)),
}

U_PHASE = 230.0
SECTION_KM = 0.02
TOTAL_POWER = 150e3  # VA, shared among the buses
ALL4 = [(k, k) for k in range(4)]


def build(buses):
    """The feeder's elements, connected, in network order."""
    u = np.array([cmath.rect(U_PHASE, -2 * math.pi * k / 3) for k in range(3)])
    start = np.append(u, 0.0)
    z = (Z_PER_KM * SECTION_KM).ravel()
    y = (Y_PER_KM * SECTION_KM).ravel()
    per_phase = TOTAL_POWER / 3 / buses
    s = per_phase * np.array([1.0 + 0.3j, 0.6 + 0.1j, 1.4 + 0.5j])

    source = cy.CyVoltageSource(4, u)
    ground = cy.CyGround()
    reference = cy.CyPotentialRef()
    nodes = [cy.CyBus(4, start) for _ in range(buses)]
    nodes[0].connect(source, ALL4)
    nodes[0].connect(ground, [(3, 0)])
    ground.connect(reference, [(0, 0)])
    lines = []
    for b in range(1, buses):
        line = cy.CyShuntLine(4, y, z)
        line.connect_side(nodes[(b - 1) // 3], ALL4, True)
        line.connect_side(nodes[b], ALL4, False)
        ground.connect(line, [(0, 8)])
        lines.append(line)
    loads = []
    for bus in nodes:
        load = cy.CyPowerLoad(4, s)
        bus.connect(load, ALL4)
        loads.append(load)
    return [source, ground, reference, *nodes, *lines, *loads]


def vm_status(field):
    """A field of /proc/self/status in MiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"{field} not found in /proc/self/status")


def run_case(buses, method):
    """One size and method in this process; a dict of the figures."""
    gc.collect()
    t0 = time.perf_counter()
    elements = build(buses)
    t1 = time.perf_counter()
    network = cy.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    t2 = time.perf_counter()
    solver = METHODS[method][1](network)
    t3 = time.perf_counter()
    iterations, error = solver.solve_load_flow(MAX_ITERATIONS[method], TOLERANCE)
    t4 = time.perf_counter()
    return {
        "buses": buses,
        "method": method,
        "elements": len(elements),
        "variables": len(solver.get_variables()),
        "build": t1 - t0,
        "network": t2 - t1,
        "solver": t3 - t2,
        "solve": t4 - t3,
        "iterations": iterations,
        "error": error,
        # ru_maxrss is in KiB on Linux; VmHWM is the same peak, read for the check.
        "peak_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
        "vmhwm_mib": vm_status("VmHWM"),
    }


def run_child(buses, method):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--case", str(buses), method], capture_output=True, text=True
    )
    if out.returncode != 0:
        raise RuntimeError(f"{buses} buses, {method}: the child process failed ({out.returncode}):\n{out.stderr}")
    return json.loads(out.stdout)


def print_case(r):
    print(
        f"{r['buses']:6d} buses {METHODS[r['method']][0]:>16}: {r['variables']:7d} variables | "
        f"build {r['build'] * 1e3:9.2f} ms, network {r['network'] * 1e3:8.2f} ms, "
        f"solver {r['solver'] * 1e3:9.2f} ms, solve {r['solve'] * 1e3:9.2f} ms | "
        f"{r['iterations']:3d} iterations, error {r['error']:.1e} | peak RSS {r['peak_mib']:7.1f} MiB",
        flush=True,
    )


def print_growth(results, sizes, methods):
    """Ratio of each time per tenfold size, and the exponent it implies."""
    if len(sizes) < 2:
        return
    print("\nGrowth per tenfold size (ratio, exponent k of time ~ n^k), between consecutive sizes:")
    for method in methods:
        for key in ("build", "network", "solver", "solve", "peak_mib"):
            cells = []
            for a, b in zip(sizes, sizes[1:]):
                ta, tb = results[a, method][key], results[b, method][key]
                decades = math.log10(b / a)
                if ta <= 0 or tb <= 0:
                    cells.append(f"{a}->{b}: n/a")
                    continue
                k = math.log10(tb / ta) / decades
                cells.append(f"{a}->{b}: x{10**k:7.1f} (k={k:5.2f})")
            print(f"  {METHODS[method][0]:>16} {key:>8}  " + "   ".join(cells))


def leak_check(buses, cycles, warmup):
    """Resident memory around repeated build-solve-destroy cycles by Newton."""

    def cycle():
        elements = build(buses)
        network = cy.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
        solver = cy.CyNewton(network, False)
        _, error = solver.solve_load_flow(MAX_ITERATIONS["newton"], TOLERANCE)
        if not error <= TOLERANCE:
            raise RuntimeError(f"leak check: the solve did not converge (error {error})")
        del solver, network, elements
        gc.collect()

    for _ in range(warmup):
        cycle()
    before = vm_status("VmRSS")
    t0 = time.perf_counter()
    rss = []
    for _ in range(cycles):
        cycle()
        rss.append(vm_status("VmRSS"))
    elapsed = time.perf_counter() - t0
    after = rss[-1]
    # The allocator hands pages back unevenly, so single readings jump by a few MiB;
    # the slope fitted over every cycle is the steadier figure.
    slope = np.polyfit(np.arange(cycles), rss, 1)[0] if cycles > 1 else after - before
    quarter = max(1, cycles // 4)
    print(f"\nLeak check: {buses} buses, Newton, {warmup} warm-up cycles then {cycles} build-solve-destroy cycles "
          f"({elapsed / cycles * 1e3:.1f} ms each)")
    print("  VmRSS along the cycles: " + ", ".join(f"{k}: {rss[k - 1]:.1f} MiB" for k in range(quarter, cycles + 1, quarter))
          + f" (lowest {min(rss):.1f}, highest {max(rss):.1f} MiB)")
    print(f"  VmRSS before {before:.1f} MiB, after {after:.1f} MiB, growth {(after - before) * 1024:.0f} KiB "
          f"= {(after - before) * 1024 / cycles:.2f} KiB per cycle; fitted slope {slope * 1024:.2f} KiB per cycle")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 1000, 10000], help="numbers of buses")
    parser.add_argument("--methods", nargs="+", choices=list(METHODS), default=list(METHODS))
    parser.add_argument("--cycles", type=int, default=200, help="leak check cycles (0 skips it)")
    parser.add_argument("--warmup", type=int, default=10, help="leak check cycles before the first reading")
    parser.add_argument("--leak-buses", type=int, default=1000, help="size of the leak check's feeder")
    parser.add_argument("--case", nargs=2, metavar=("BUSES", "METHOD"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.case:
        print(json.dumps(run_case(int(args.case[0]), args.case[1])))
        return 0
    if any(n < 1 for n in args.sizes + [args.leak_buses]) or args.cycles < 0 or args.warmup < 0:
        parser.error("sizes must be positive, cycles and warm-up not negative")

    sizes = sorted(set(args.sizes))
    results = {}
    status = 0
    for n in sizes:
        for method in args.methods:
            r = results[n, method] = run_child(n, method)
            print_case(r)
            if not r["error"] <= TOLERANCE:
                print(f"  did not converge to {TOLERANCE:g}", file=sys.stderr)
                status = 1
    print_growth(results, sizes, args.methods)
    if args.cycles:
        leak_check(args.leak_buses, args.cycles, args.warmup)
    return status


if __name__ == "__main__":
    sys.exit(main())
