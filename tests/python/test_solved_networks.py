"""Networks with transformers, loads, flexible loads, a load balancer and a
regulator, built and solved from Python; the results are checked against the
model's equations evaluated in NumPy on the values read back."""

import math

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from element_laws import (Law, admittance_law, balancer_admittance, compute_power, current_law, delta_law,
                          power_law, stable_compute_power, star_law, three_phase_currents)
from netcheck import close, largest, node_sums, simplified_line_currents, star_voltages
from netlist import Netlist, network_of

A = np.exp(2j * np.pi / 3)
SEQUENCE = np.array([1, A ** 2, A])  # a, b, c


def check_current_law(net, *references):
    assert largest(node_sums(net.currents(), net.free_nodes(*references))) < 1e-8


SOLVERS = {"newton": lambda n: ce.CyNewton(n, False), "newton_optimized": lambda n: ce.CyNewton(n, True),
           "goldstein": lambda n: ce.CyNewtonGoldstein(n, True, 0.1, 0.9, True),
           "goldstein_unweighted": lambda n: ce.CyNewtonGoldstein(n, False, 0.1, 0.9, False),
           "backward_forward": lambda n: ce.CyBackwardForward(n)}


def solve(net, kind="newton_optimized", tolerance=1e-10):
    solver = SOLVERS[kind](net.network())
    iterations, error = solver.solve_load_flow(50, tolerance)
    assert 1 <= iterations < 50 and abs(error) <= tolerance
    return solver


# --- MV/LV substation -------------------------------------------------------

UHV, ULV, SN = 20e3, 410.0, 250e3
Z2, YM, K = 0.0054 + 0.0262j, 5e-7 - 2e-6j, ULV / (math.sqrt(3) * UHV)  # Dyn11 at its no-load ratio
Z_CABLE = 0.4 * np.array([[0.20 + 0.45j, 0.05 + 0.28j, 0.05 + 0.25j, 0.05 + 0.27j],
                          [0.05 + 0.28j, 0.21 + 0.44j, 0.05 + 0.28j, 0.05 + 0.26j],
                          [0.05 + 0.25j, 0.05 + 0.28j, 0.19 + 0.46j, 0.05 + 0.28j],
                          [0.05 + 0.27j, 0.05 + 0.26j, 0.05 + 0.28j, 0.25 + 0.50j]])
S_STAR = np.array([9e3 + 2e3j, 6e3 + 1e3j, 12e3 + 4e3j])
Y_DELTA = np.array([0.02 + 0.005j, 0.015, 0.025 - 0.004j])
Z_LB, YM_LB, K_LB = 0.5 + 1j, 0.05 - 0.1j, 1.0
P_LAW = Law("constant")
Q_LAW = Law("q_u", 200.0, 215.0, 235.0, 245.0, 40.0)
PROJECTION = ("euclidean", 100.0, 1e-3)
S_FLEX = np.array([4e3 + 0.5e3j])
LV_START = np.append(ULV / math.sqrt(3) * SEQUENCE * np.exp(1j * math.pi / 6), 0)  # Dyn11 leads by 30 degrees


def substation():
    net = Netlist()
    flexible = ce.CyFlexibleParameter(ce.CyControl(*P_LAW.args()), ce.CyControl(*Q_LAW.args()),
                                      ce.CyProjection(*PROJECTION), 1e3, 0, 0)
    flexible.update_parameters(6e3, -3e3, 3e3)  # before any solver: its initial parameters
    net.add("src", ce.CyVoltageSource(4, UHV / math.sqrt(3) * SEQUENCE), 4)
    net.add("mv", ce.CyBus(4, np.append(UHV / math.sqrt(3) * SEQUENCE, 0)), 4)
    net.add("gnd", ce.CyGround(), 1)
    net.add("ref", ce.CyPotentialRef(), 1)
    net.add("tr", ce.CyThreePhaseTransformer(3, 4, "D", "y", Z2, YM, K, 11), 7)
    net.add("lv", ce.CyBus(4, LV_START.copy()), 4)
    net.add("cable", ce.CySimplifiedLine(4, Z_CABLE.ravel()), 8)
    net.add("end", ce.CyBus(4, LV_START.copy()), 4)
    net.add("star", ce.CyPowerLoad(4, S_STAR.copy()), 4)
    net.add("delta", ce.CyDeltaAdmittanceLoad(3, Y_DELTA.copy()), 3)
    net.add("flex", ce.CyFlexibleLoad(2, S_FLEX.copy(), np.array([flexible], object)), 2)
    net.add("balancer", ce.CyLoadBalancer(Z_LB, YM_LB, K_LB), 4)
    for k in range(4):
        net.join("mv", k, "src", k)
    net.join("gnd", 0, "mv", 3)
    net.join("ref", 0, "gnd", 0)
    net.join_side("tr", 3, True, "mv", [(k, k) for k in range(3)])
    net.join_side("tr", 3, False, "lv", [(k, k) for k in range(4)])
    net.join("gnd", 0, "lv", 3)
    net.join_side("cable", 4, True, "lv", [(k, k) for k in range(4)])
    net.join_side("cable", 4, False, "end", [(k, k) for k in range(4)])
    for k in range(4):
        net.join("end", k, "star", k)
        net.join("end", k, "balancer", k)
    for k in range(3):
        net.join("end", k, "delta", k)
    net.join("end", 1, "flex", 0)  # phase b
    net.join("end", 3, "flex", 1)
    return net, flexible


def check_substation(net, s_star, y_delta, flexible_limits, s_flex, z2):
    o = net.objects
    check_current_law(net, ("ref", 0))
    close(star_voltages(o["src"].get_potentials(4)), UHV / math.sqrt(3) * SEQUENCE)
    v1, v2 = o["tr"].get_side_potentials(3, 4)
    i1, i2 = three_phase_currents("D", "y", 11, z2, YM, K, v1, v2)
    got1, got2 = o["tr"].get_side_currents(3, 4)
    close(got1, i1)
    close(got2, i2)
    v1, v2 = o["cable"].get_side_potentials(4, 4)
    for got, expected in zip(o["cable"].get_side_currents(4, 4), simplified_line_currents(Z_CABLE, v1, v2)):
        close(got, expected)
    v = o["end"].get_potentials(4)
    close(o["star"].get_currents(4), star_law(power_law, s_star, v))
    close(o["star"].get_inner_currents(3), o["star"].get_currents(3))
    ports, phases = delta_law(admittance_law, y_delta, v[:3])
    close(o["delta"].get_currents(3), ports)
    close(o["delta"].get_inner_currents(3), phases)
    dv = v[1] - v[3]
    s = compute_power(P_LAW, Q_LAW, PROJECTION, flexible_limits, abs(dv), s_flex[0])
    close(o["flex"].get_powers(2), [s])
    close(o["flex"].get_currents(2), [np.conj(s / dv), -np.conj(s / dv)])
    phase = balancer_admittance(Z_LB, YM_LB, K_LB) @ (v[:3] - v[3])
    close(o["balancer"].get_currents(4), np.append(phase, -phase.sum()))
    close(o["balancer"].get_inner_currents(3), phase)
    return v


@pytest.mark.parametrize("kind", ["newton", "goldstein"])
def test_substation(kind):
    net, flexible = substation()
    solver = solve(net, kind)
    v = check_substation(net, S_STAR, Y_DELTA, (6e3, -3e3, 3e3), S_FLEX, Z2)
    # A loaded LV feeder: the end voltages sag below the transformer's, and
    # the flexible load's reactive power has left its theoretical value.
    lv = net.objects["lv"].get_potentials(4)
    u_end = np.abs(v[:3] - v[3])
    assert np.all(u_end < np.abs(lv[:3] - lv[3])) and np.all((220 < u_end) & (u_end < 235))
    assert 100 < net.objects["flex"].get_powers(2)[0].imag - S_FLEX[0].imag < 2.5e3
    # A positive-sequence HV gives an LV phase a leading HV phase A by about 30 degrees.
    lead = np.angle((lv[0] - lv[3]) / net.objects["mv"].get_potentials(1)[0], deg=True)
    assert 25 < lead < 31

    # Updates between solves reach the next solve without a new tape.
    s_star, y_delta, s_flex, z2 = 1.3 * S_STAR[::-1], 0.5 * Y_DELTA, np.array([5e3 - 1e3j]), 1.2 * Z2
    o = net.objects
    o["star"].update_powers(s_star.copy())
    o["delta"].update_admittances(y_delta.copy())
    o["flex"].update_power(s_flex[0])
    o["tr"].update_transformer_parameters(z2, YM, K)
    flexible.update_parameters(5.5e3, -2e3, 2e3)
    iterations, error = solver.solve_load_flow(50, 1e-10)
    assert iterations >= 1 and error <= 1e-10
    check_substation(net, s_star, y_delta, (5.5e3, -2e3, 2e3), s_flex, z2)


def test_substation_cannot_be_swept():
    net, _ = substation()
    with pytest.raises(RuntimeError, match="^2 No backward-forward method has been defined for transformers yet."):
        ce.CyBackwardForward(net.network()).solve_load_flow(10, 1e-8)


@pytest.mark.parametrize("whv,wlv,clock,ratio", [
    ("D", "y", 11, math.sqrt(3)), ("D", "y", 1, math.sqrt(3)), ("D", "y", 5, math.sqrt(3)),
    ("Y", "y", 0, 1.0), ("Y", "y", 4, 1.0), ("Y", "y", 6, 1.0), ("Y", "z", 11, math.sqrt(3)),
    ("Y", "z", 1, math.sqrt(3)), ("D", "z", 0, 3.0),
])
def test_vector_groups_at_no_load(whv, wlv, clock, ratio):
    """At no load the LV phase voltages are the HV phase voltages times the
    winding ratio, lagging by clock x 30 degrees."""
    n1 = 3 if whv == "D" else 4
    net = Netlist()
    u_hv = UHV / math.sqrt(3) * SEQUENCE
    net.add("src", ce.CyVoltageSource(4, u_hv), 4)
    net.add("ref", ce.CyPotentialRef(), 1)
    net.add("tr", ce.CyThreePhaseTransformer(n1, 4, whv, wlv, Z2, 0, 0.01, clock), n1 + 4)
    net.add("lv", ce.CyBus(4, np.zeros(4, complex)), 4)
    net.join("ref", 0, "src", 3)
    net.join_side("tr", n1, True, "src", [(k, k) for k in range(n1)])
    net.join_side("tr", n1, False, "lv", [(k, k) for k in range(4)])
    net.join("ref", 0, "lv", 3)
    solver = solve(net)  # noqa: F841 (the elements read its arrays while it lives)
    lv = net.objects["lv"].get_potentials(4)
    close(lv[:3], 0.01 * ratio * u_hv * np.exp(-1j * clock * math.pi / 6))
    check_current_law(net, ("ref", 0))


# --- split-phase service ------------------------------------------------------

Z_DROP = np.array([[0.05 + 0.02j, 0.01 + 0.01j, 0.01 + 0.008j],
                   [0.01 + 0.01j, 0.05 + 0.02j, 0.01 + 0.008j],
                   [0.01 + 0.008j, 0.01 + 0.008j, 0.06 + 0.02j]])


def split_phase_service():
    net = Netlist()
    net.add("src", ce.CyVoltageSource(2, np.array([7200 + 0j])), 2)
    net.add("mv_ref", ce.CyPotentialRef(), 1)
    net.add("tr", ce.CyCenterTransformer(0.012 + 0.036j, 2e-6 - 8e-6j, 240 / 7200), 5)
    net.add("pole", ce.CyBus(3, np.array([120, -120, 0], complex)), 3)  # a, b, centre tap
    net.add("lv_ref", ce.CyPotentialRef(), 1)
    net.add("drop", ce.CySimplifiedLine(3, Z_DROP.ravel()), 6)
    net.add("house", ce.CyBus(3, np.array([120, -120, 0], complex)), 3)
    net.add("lights", ce.CyPowerLoad(2, np.array([9e3 + 0j])), 2)  # a to n; set before the solver exists
    net.add("fridge", ce.CyCurrentLoad(2, np.array([4 - 1.5j])), 2)  # b to n
    net.add("heater", ce.CyAdmittanceLoad(2, np.array([0.08 + 0j])), 2)  # a to b
    net.add("range", ce.CyDeltaPowerLoad(2, np.array([2e3 + 0.3e3j, 1e3 + 0j])), 2)  # a and b
    net.join("mv_ref", 0, "src", 1)
    net.join_side("tr", 2, True, "src", [(0, 0), (1, 1)])
    net.join_side("tr", 2, False, "pole", [(0, 0), (1, 1), (2, 2)])
    net.join("lv_ref", 0, "pole", 2)
    net.join_side("drop", 3, True, "pole", [(k, k) for k in range(3)])
    net.join_side("drop", 3, False, "house", [(k, k) for k in range(3)])
    for load, ports in (("lights", (0, 2)), ("fridge", (1, 2)), ("heater", (0, 1)), ("range", (0, 1))):
        for p, node in enumerate(ports):
            net.join("house", node, load, p)
    return net


SERVICE_LOADS = {"lights": 1.5e3 + 0.2e3j, "fridge": 4 - 1.5j, "heater": 0.08 + 0j}
RANGE = np.array([2e3 + 0.3e3j, 1e3 + 0j])


def check_service(net, loads, range_powers, z2):
    o = net.objects
    check_current_law(net, ("mv_ref", 0), ("lv_ref", 0))
    ym, k = 2e-6 - 8e-6j, 240 / 7200
    (v1a, v1b), (va, vb, vn) = o["tr"].get_side_potentials(2, 3)
    (i1, i1b), (ia, ib, i_n) = o["tr"].get_side_currents(2, 3)
    u1 = v1a - v1b
    # Each half winding: ratio k / 2 and impedance z2 / 2.
    close([va - vn, vn - vb], [k / 2 * u1 + z2 / 2 * ia, k / 2 * u1 - z2 / 2 * ib])
    close([i1, i1b, i_n], [ym * u1 - k / 2 * (ia - ib), -i1, -(ia + ib)])
    v1, v2 = o["drop"].get_side_potentials(3, 3)
    for got, expected in zip(o["drop"].get_side_currents(3, 3), simplified_line_currents(Z_DROP, v1, v2)):
        close(got, expected)
    a, b, n = o["house"].get_potentials(3)
    for name, law, v in (("lights", power_law, [a, n]), ("fridge", current_law, [b, n]),
                         ("heater", admittance_law, [a, b])):
        close(o[name].get_currents(2), star_law(law, np.array([loads[name]]), np.array(v)))
        close(o[name].get_inner_currents(1), o[name].get_currents(1))
    ports, phases = delta_law(power_law, range_powers, np.array([a, b]))
    close(o["range"].get_currents(2), ports)
    close(o["range"].get_inner_currents(2), phases)
    return a, b, n


@pytest.mark.parametrize("kind", ["newton_optimized", "goldstein_unweighted"])
def test_split_phase_service(kind):
    net = split_phase_service()
    net.objects["lights"].update_power(SERVICE_LOADS["lights"])
    solver = solve(net, kind)
    a, b, n = check_service(net, SERVICE_LOADS, RANGE, 0.012 + 0.036j)
    # Both halves near 120 V, the outer terminals near 240 V apart.
    assert 110 < abs(a - n) < 121 and 110 < abs(b - n) < 121 and 225 < abs(a - b) < 241

    # The one-value updates of two-port loads reach the next solve.
    o = net.objects
    loads = {"lights": 0.4e3 - 0.1e3j, "fridge": 2 + 1j, "heater": 0.05 - 0.01j}
    o["lights"].update_power(loads["lights"])
    o["fridge"].update_current(current=loads["fridge"])
    o["heater"].update_admittance(loads["heater"])
    o["range"].update_powers(RANGE[::-1].copy())
    o["tr"].update_transformer_parameters(0.02 + 0.05j, 2e-6 - 8e-6j, 240 / 7200)
    iterations, error = solver.solve_load_flow(50, 1e-10)
    assert iterations >= 1 and error <= 1e-10
    check_service(net, loads, RANGE[::-1], 0.02 + 0.05j)

    # The transformer's tests write on nodes the other elements read.
    o["tr"].compute_open_circuit_parameters(7200.0, 240.0, 25e3)
    close(o["pole"].get_potentials(3), [120, -120, 0])
    close(o["drop"].get_side_potentials(3, 3)[0], [120, -120, 0])
    close(o["src"].get_potentials(2), [3600, 0])  # half the test voltage: the other terminal is a reference


# --- regulator ----------------------------------------------------------------

Z_REG, YM_REG = 0.02 + 0.05j, 1e-5 - 3e-5j


def regulated_feeder(u_in, u_ref=230.0, phi=0.0):
    net = Netlist()
    net.add("src", ce.CyVoltageSource(2, np.array([u_in], complex)), 2)
    net.add("in", ce.CyBus(2, np.array([u_in, 0], complex)), 2)  # the tap starts from this input voltage
    net.add("ref", ce.CyPotentialRef(), 1)
    net.add("reg", ce.CySingleVoltageRegulator(Z_REG, YM_REG, u_ref, 0.1, 1000.0, phi), 4)
    net.nodes.join(("reg", 1), ("reg", 3))  # the output neutral sits on the input neutral's node
    net.add("out", ce.CyBus(2, np.array([u_ref, 0], complex)), 2)
    net.add("line", ce.CySimplifiedLine(2, np.array([0.1 + 0.05j, 0.01, 0.01, 0.1 + 0.05j])), 4)
    net.add("end", ce.CyBus(2, np.array([u_ref, 0], complex)), 2)
    net.add("load", ce.CyPowerLoad(2, np.array([3e3 + 1e3j])), 2)
    net.join("in", 0, "src", 0)
    net.join("in", 1, "src", 1)
    net.join("ref", 0, "src", 1)
    net.join_side("reg", 2, True, "src", [(0, 0), (1, 1)])
    net.join_side("reg", 2, False, "out", [(0, 0), (1, 1)])
    net.join_side("line", 2, True, "out", [(0, 0), (1, 1)])
    net.join_side("line", 2, False, "end", [(0, 0), (1, 1)])
    net.join("end", 0, "load", 0)
    net.join("end", 1, "load", 1)
    return net


def check_regulator(net, phi=0.0):
    o = net.objects
    reg = o["reg"]
    check_current_law(net, ("ref", 0))
    (v1a, v1b), (v2a, v2b) = reg.get_side_potentials(2, 2)
    (i1, i1b), (i2, i2b) = reg.get_side_currents(2, 2)
    kt = reg.get_tap() * np.exp(1j * phi)
    du1, du2 = v1a - v1b, v2a - v2b
    close([i2, i1, i1b, i2b], [(du2 - kt * du1) / Z_REG, YM_REG * du1 - np.conj(kt) * i2, -(i1 + i2), 0])
    return abs(du2), abs(du1)


@pytest.mark.parametrize("kind", ["newton", "backward_forward"])
@pytest.mark.parametrize("u_in,phi", [(215.0, 0.0), (240.0, 0.0), (222.0, 0.2)])
def test_regulator_holds_its_output_within_its_range(u_in, phi, kind):
    net = regulated_feeder(u_in, phi=phi)
    solver = solve(net, kind)
    u_out, u_source = check_regulator(net, phi)
    assert u_out == pytest.approx(230.0, rel=1e-9)
    tap = net.objects["reg"].get_tap()
    assert 0.9 < tap < 1.1 and tap == pytest.approx(230.0 / u_source, rel=0.03)
    # A new reference reaches the next solve.
    net.objects["reg"].update_parameters(Z_REG, YM_REG, 225.0)
    solver.solve_load_flow(50, 1e-10)
    assert check_regulator(net, phi)[0] == pytest.approx(225.0, rel=1e-9)


def test_regulator_at_the_end_of_its_range():
    net = regulated_feeder(180.0)  # would need a tap above 1.1
    solver = solve(net)  # noqa: F841
    u_out, u_source = check_regulator(net)
    tap = net.objects["reg"].get_tap()
    assert tap == pytest.approx(1.1, abs=1e-3)
    assert u_out < 1.1 * u_source < 230.0


# --- flexible loads at any sharpness --------------------------------------------

def flexible_feeder(phase_voltages, load, n, z):
    """A star source (its neutral the reference) feeding `load` through a line
    of impedance z on each of n conductors, from source ports 0 .. n-1 to load
    ports 0 .. n-1; the load's nodes start at the source's potentials."""
    src = ce.CyVoltageSource(len(phase_voltages) + 1, np.array(phase_voltages, complex))
    ref = ce.CyPotentialRef()
    line = ce.CySimplifiedLine(n, (z * np.eye(n, dtype=complex)).ravel())
    end = ce.CyBus(n, np.append(phase_voltages, 0)[:n].astype(complex))
    ref.connect(src, [(0, len(phase_voltages))])
    line.connect_side(src, [(k, k) for k in range(n)], True)
    line.connect_side(end, [(k, k) for k in range(n)], False)
    end.connect(load, [(k, k) for k in range(n)])
    return network_of(src, ref, line, end, load), src, line


def law_currents(laws, v, s_th, delta):
    """Port currents of a flexible load at potentials v by the NumPy laws."""
    dv = v - np.roll(v, -1) if delta else v[:-1] - v[-1]
    s = np.array([stable_compute_power(*laws, abs(d), st) for d, st in zip(dv, s_th)])

    def law(_, d):
        return np.conj(s / d)

    return delta_law(law, None, v)[0] if delta else star_law(law, None, v)


def sharp_parameter(p_law, q_law, projection, limits):
    return ce.CyFlexibleParameter(ce.CyControl(*p_law.args()), ce.CyControl(*q_law.args()),
                                  ce.CyProjection(*projection), *limits)


@pytest.mark.parametrize("alpha", [10, 1e3, 1e4, 1e6])
@pytest.mark.parametrize("kinds,s_th", [
    pytest.param(("p_max_u_consumption", "q_u", "euclidean"), 9e3 + 8e3j, id="consumption-euclidean"),
    pytest.param(("p_max_u_production", "q_u", "keep_q"), -9e3 + 8e3j, id="production-keep_q"),
    pytest.param(("p_max_u_consumption", "constant", "keep_p"), 6e3 + 4e3j, id="consumption-keep_p"),
])
def test_flexible_load_follows_its_law_on_one_tape(kinds, s_th, alpha):
    # The tape is recorded once, at 230 V; the source then sweeps the load
    # from 50 V to 10 x 250 V, across every knee of the laws.
    p_kind, q_kind, projection_kind = kinds
    laws = (Law(p_kind, 200, 210, 240, 250, alpha, 1e-6), Law(q_kind, 200, 210, 240, 250, alpha, 0),
            (projection_kind, alpha, 1e-4), (10e3, -5e3, 5e3))
    load = ce.CyFlexibleLoad(2, np.array([s_th]), np.array([sharp_parameter(*laws)], object))
    z = 0.01
    net, src, line = flexible_feeder([230.0], load, 2, z)
    solver = ce.CyNewton(net, True)
    knees = [200, 206, 209, 210, 240, 241, 244, 250]
    for u in sorted(np.concatenate([np.linspace(50.0, 2500.0, 50), [k + d for k in knees for d in (-1, 0, 0.3, 1)]])):
        src.update_voltages(np.array([u], complex))
        iterations, error = solver.solve_load_flow(50, 1e-9)
        assert iterations < 50 and error <= 1e-9, u
        v1, v2 = line.get_side_potentials(2, 2)
        close((v1 - v2) / z, law_currents(laws, v2, [s_th], delta=False))


def ideal_power(p_law, q_law, limits, u, s_th):
    """The piecewise-linear curves of the consumption and q_u laws."""
    s_max, q_min, q_max = limits
    corner = p_law.u_min + s_th.real / s_max * (p_law.u_down - p_law.u_min)
    p = np.interp(u, [p_law.u_min, corner], [0, s_th.real])
    q = np.interp(u, [q_law.u_min, q_law.u_down, q_law.u_up, q_law.u_max], [q_min, s_th.imag, s_th.imag, q_max])
    return complex(p, q)


@pytest.mark.parametrize("delta,phase_voltages,z,band", [
    # One phase drawn down onto both slopes of its laws.
    pytest.param(False, [230.0], 1.0, (200, 206), id="star_on_the_slopes"),
    # Phase-voltage settings on a delta load at 400 V: above every knee.
    pytest.param(True, 230.0 * SEQUENCE, 0.05, (390, 400), id="delta_with_phase_settings"),
])
def test_sharp_flexible_load_lies_on_its_ideal_curve(delta, phase_voltages, z, band):
    alpha, limits, s_th = 1e4, (12e3, -3e3, 3e3), 10e3 + 1e3j
    p_law = Law("p_max_u_consumption", 200, 210, 0, 0, alpha, 1e-6)
    q_law = Law("q_u", 200, 210, 240, 250, alpha, 0)
    laws = (p_law, q_law, ("euclidean", alpha, 1e-4), limits)
    n = 3 if delta else 2
    kind = ce.CyDeltaFlexibleLoad if delta else ce.CyFlexibleLoad
    s = np.full(n if delta else 1, s_th)
    load = kind(n, s.copy(), np.array([sharp_parameter(*laws)] * len(s), object))
    net, _src, line = flexible_feeder(phase_voltages, load, n, z)
    solver = ce.CyNewton(net, True)  # alive while the elements are read
    iterations, error = solver.solve_load_flow(50, 1e-9)
    assert iterations < 50 and error <= 1e-9
    v1, v2 = line.get_side_potentials(n, n)
    close((v1 - v2) / z, law_currents(laws, v2, s, delta))
    u = np.abs(v2 - np.roll(v2, -1)) if delta else np.abs(v2[:1] - v2[1])
    assert np.all((band[0] < u) & (u < band[1]))
    # Each softplus is within ln 2 of its corner, divided by alpha times the
    # per-unit width of the slope it scales; the projection is idle here.
    s_max, q_min, q_max = limits
    p_width = s_th.real / s_max * (p_law.u_down - p_law.u_min) / p_law.u_min
    q_widths = np.array([q_law.u_down - q_law.u_min, q_law.u_max - q_law.u_up]) / q_law.u_max
    q_rises = np.array([s_th.imag - q_min, q_max - s_th.imag])
    p_bound = 2 * math.log(2) * s_th.real / (alpha * p_width)
    q_bound = 2 * math.log(2) * np.sum(q_rises / (alpha * q_widths))
    for got, volts in zip(load.get_powers(n), u):
        ideal = ideal_power(p_law, q_law, limits, volts, s_th)
        assert abs(got.real - ideal.real) <= p_bound and abs(got.imag - ideal.imag) <= q_bound
