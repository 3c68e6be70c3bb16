"""A 20 kV / 0.4 kV substation feeding an unbalanced four-wire LV feeder.

The medium-voltage network is an ideal three-phase source behind a delta-star
transformer (Dyn11). The LV feeder has ten buses joined by pi-section lines with
full 4x4 series impedance and shunt admittance matrices; star and delta loads
draw unbalanced powers, and one load curtails its active power when its
voltage sags. The LV neutral is grounded at the substation, where the
potential reference sits.

Run it with ``python examples/substation_feeder.py``. It exits with a non-zero
status when a solve does not converge.
"""

import cmath
import math
import sys

import numpy as np

from load_flow_engine import cy_engine as cy

TOLERANCE = 1e-8
MAX_ITERATIONS = 30

U_MV = 20e3  # line-to-line, V
U_LV = 400.0  # line-to-line, V
PHASES = "abc"

# Series impedance and shunt admittance of the LV cable per km (phases a, b, c, neutral).
Z_PER_KM = np.array(
    [
        [0.211 + 0.290j, 0.049 + 0.203j, 0.049 + 0.174j, 0.049 + 0.190j],
        [0.049 + 0.203j, 0.211 + 0.290j, 0.049 + 0.203j, 0.049 + 0.181j],
        [0.049 + 0.174j, 0.049 + 0.203j, 0.211 + 0.290j, 0.049 + 0.190j],
        [0.049 + 0.190j, 0.049 + 0.181j, 0.049 + 0.190j, 0.209 + 0.302j],
    ]
)
Y_PER_KM = 1j * 2 * math.pi * 50 * 1e-9 * np.array(
    [
        [290.0, -60.0, -40.0, -70.0],
        [-60.0, 290.0, -60.0, -55.0],
        [-40.0, -60.0, 290.0, -70.0],
        [-70.0, -55.0, -70.0, 300.0],
    ]
)

# (from bus, to bus, length in km); bus 0 is the substation's LV busbar.
SEGMENTS = [(0, 1, 0.12), (1, 2, 0.08), (2, 3, 0.10), (3, 4, 0.06), (4, 5, 0.09),
            (2, 6, 0.07), (6, 7, 0.11), (7, 8, 0.05), (3, 9, 0.10)]

# Star loads: bus -> (S_a, S_b, S_c) in VA.
STAR_LOADS = {
    1: (8e3 + 2e3j, 3e3 + 0.5e3j, 5e3 + 1e3j),
    4: (2e3 + 0.3e3j, 9e3 + 2.5e3j, 1e3),
    5: (6e3 + 1.5e3j, 6e3 + 1.5e3j, 0.5e3),
    7: (4e3 + 1e3j, 1e3, 7e3 + 2e3j),
    9: (3e3, 5e3 + 1e3j, 2e3 + 0.5e3j),
}
# Delta loads: bus -> (S_ab, S_bc, S_ca) in VA.
DELTA_LOADS = {
    6: (6e3 + 2e3j, 4e3 + 1e3j, 5e3 + 1.5e3j),
    8: (3e3 + 1e3j, 3e3 + 1e3j, 0.0),
}
FLEXIBLE_BUS = 5  # a load that curtails its active power below 225 V
FLEXIBLE_POWER = (7e3 + 1e3j, 2e3, 7e3 + 1e3j)
# Control laws (kind, u_min, u_down, u_up, u_max, alpha, epsilon), projection
# (kind, alpha, epsilon) and limits (s_max, q_min, q_max) of its phases.
FLEXIBLE_P_CONTROL = ("p_max_u_consumption", 210.0, 225.0, 0.0, 0.0, 1000.0, 1e-6)
FLEXIBLE_Q_CONTROL = ("constant", 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
FLEXIBLE_PROJECTION = ("euclidean", 100.0, 1e-4)
FLEXIBLE_LIMITS = (10e3, -5e3, 5e3)

# Dyn11, 630 kVA, 4 % short-circuit voltage, 1.1 kW no-load loss.
TRANSFORMER_SN = 630e3
TRANSFORMER_Z2 = U_LV**2 / TRANSFORMER_SN * (0.010 + 0.039j)
TRANSFORMER_YM = (1100 / 3 - 1j * 6000 / 3) / U_MV**2
TRANSFORMER_K = (U_LV / math.sqrt(3)) / U_MV


def complex_array(values):
    return np.array(values, dtype=np.complex128)


def build():
    """The network and its elements by name: the lines in the order of
    SEGMENTS, the loads by bus."""
    elements = []

    def add(element):
        elements.append(element)
        return element

    # Medium voltage: a star source whose neutral is the MV reference.
    u_phase = U_MV / math.sqrt(3)
    source = add(cy.CyVoltageSource(4, complex_array([cmath.rect(u_phase, -2 * math.pi * k / 3) for k in range(3)])))
    mv_reference = add(cy.CyPotentialRef())
    source.connect(mv_reference, [(3, 0)])

    transformer = add(cy.CyThreePhaseTransformer(3, 4, "D", "y", TRANSFORMER_Z2, TRANSFORMER_YM, TRANSFORMER_K, 11))
    transformer.connect_side(source, [(0, 0), (1, 1), (2, 2)], True)

    # LV busbars and the grounded neutral at the substation.
    buses = [add(cy.CyBus(4, complex_array([cmath.rect(U_LV / math.sqrt(3), math.pi / 6 - 2 * math.pi * k / 3)
                                           for k in range(3)] + [0.0]))) for _ in range(10)]
    transformer.connect_side(buses[0], [(i, i) for i in range(4)], False)
    ground = add(cy.CyGround())
    lv_reference = add(cy.CyPotentialRef())
    ground.connect(lv_reference, [(0, 0)])
    buses[0].connect(ground, [(3, 0)])

    lines = []
    for start, end, length in SEGMENTS:
        line = add(cy.CyShuntLine(4, (Y_PER_KM * length).ravel(), (Z_PER_KM * length).ravel()))
        line.connect_side(buses[start], [(i, i) for i in range(4)], True)
        line.connect_side(buses[end], [(i, i) for i in range(4)], False)
        ground.connect(line, [(0, 8)])
        lines.append(line)

    star_loads, delta_loads = {}, {}
    for bus, powers in STAR_LOADS.items():
        load = star_loads[bus] = add(cy.CyPowerLoad(4, complex_array(powers)))
        buses[bus].connect(load, [(i, i) for i in range(4)])
    for bus, powers in DELTA_LOADS.items():
        load = delta_loads[bus] = add(cy.CyDeltaPowerLoad(3, complex_array(powers)))
        buses[bus].connect(load, [(i, i) for i in range(3)])

    control_p = cy.CyControl(*FLEXIBLE_P_CONTROL)
    control_q = cy.CyControl(*FLEXIBLE_Q_CONTROL)
    projection = cy.CyProjection(*FLEXIBLE_PROJECTION)
    parameter = cy.CyFlexibleParameter(control_p, control_q, projection, *FLEXIBLE_LIMITS)
    flexible = add(cy.CyFlexibleLoad(4, complex_array(FLEXIBLE_POWER), np.array([parameter] * 3, dtype=object)))
    buses[FLEXIBLE_BUS].connect(flexible, [(i, i) for i in range(4)])

    network = cy.CyElectricalNetwork(np.array(elements, dtype=object), len(elements))
    named = {"buses": buses, "transformer": transformer, "flexible": flexible, "parameter": parameter,
             "source": source, "mv_reference": mv_reference, "ground": ground, "lv_reference": lv_reference,
             "lines": lines, "star_loads": star_loads, "delta_loads": delta_loads}
    return network, named


def print_results(named, method, result):
    iterations, error = result
    print(f"\n{method}: {iterations} iterations, final error {error:.3e}")
    print(f"{'bus':>4} " + " ".join(f"{'|V' + p + 'n| (V)':>12} {'angle (deg)':>11}" for p in PHASES))
    for index, bus in enumerate(named["buses"]):
        v = bus.get_potentials(4)
        phase_to_neutral = v[:3] - v[3]
        cells = " ".join(f"{abs(u):12.2f} {math.degrees(cmath.phase(u)):11.2f}" for u in phase_to_neutral)
        print(f"{index:>4} {cells}")
    hv, lv = named["transformer"].get_side_currents(3, 4)
    print("transformer currents (A, positive into the transformer):")
    print("  HV " + "  ".join(f"{p.upper()}: {abs(i):8.3f} A @ {math.degrees(cmath.phase(i)):7.2f} deg"
                              for p, i in zip(PHASES, hv)))
    print("  LV " + "  ".join(f"{p}: {abs(i):8.2f} A @ {math.degrees(cmath.phase(i)):7.2f} deg"
                              for p, i in zip(PHASES + "n", lv)))
    powers = named["flexible"].get_powers(4)
    print("flexible load powers (VA): " + "  ".join(f"{p}: {s.real:8.1f} {s.imag:+8.1f}j"
                                                    for p, s in zip(PHASES, powers)))


def main():
    status = 0
    for method in ("Newton", "Newton with Goldstein line search"):
        network, named = build()
        if method == "Newton":
            solver = cy.CyNewton(network, True)
        else:
            solver = cy.CyNewtonGoldstein(network, True, 1e-4, 0.9, True)
        result = solver.solve_load_flow(MAX_ITERATIONS, TOLERANCE)
        print_results(named, method, result)
        if not result[1] <= TOLERANCE:
            print(f"{method} did not converge", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
