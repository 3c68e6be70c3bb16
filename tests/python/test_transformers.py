"""Transformer and regulator types without a solver: construction, the
open- and short-circuit tests against their closed forms and the winding
model, parameter updates, the regulator's tap, and misuse."""

import cmath
import math
import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from element_laws import clip_tap, polar, three_phase_currents

ENTRY = "load_flow_engine.cy_engine."
SQRT3 = math.sqrt(3.0)


def ours(entry_names, exc):
    return [n for n in entry_names(exc) if n.startswith(ENTRY)]


def side_counts(branch, n1, n2):
    """True when the branch has exactly n1 + n2 side ports."""
    first, second = branch.get_side_potentials(n1, n2)
    for args in ((n1 + 1, n2), (n1, n2 + 1)):
        with pytest.raises(ValueError, match="is too large"):
            branch.get_side_potentials(*args)
    return len(first) == n1 and len(second) == n2


# --- construction ---------------------------------------------------------

@pytest.mark.parametrize("make,n1,n2", [
    (lambda: ce.CySingleTransformer(0.1j, 0, 0.5), 2, 2),
    (lambda: ce.CyCenterTransformer(z2=0.1j, ym=0, k=2), 2, 3),
    (lambda: ce.CyThreePhaseTransformer(3, 4, "D", "y", 0.1j, 0, 0.02, 11), 3, 4),
    (lambda: ce.CyThreePhaseTransformer(4, 4, b"Y", bytearray(b"z"), 0.1j, 0, 0.02, 1), 4, 4),
    (lambda: ce.CyThreePhaseTransformer(4, 3, "Y", "d", 0.1j, 0, 0.02, 1), 4, 3),
    (lambda: ce.CyThreePhaseTransformer(3, 3, "D", "d", 0.1j, 0, 0.02, 0), 3, 3),
    (lambda: ce.CySingleVoltageRegulator(0.1j, 0, 230, 0.1, 100, 0), 2, 2),
])
def test_side_port_counts(make, n1, n2):
    assert side_counts(make(), n1, n2)


@pytest.mark.parametrize("whv,wlv,n1,n2,error,message", [
    ("Dy", "y", 3, 4, RuntimeError, "Bad HV winding: Dy"),
    ("d", "y", 3, 4, RuntimeError, "Bad HV winding: d"),
    ("X", "x", 3, 4, RuntimeError, "Bad HV winding: X"),
    ("D", "x", 3, 4, RuntimeError, "Bad LV winding: x"),
    ("Y", "Y", 4, 4, RuntimeError, "Bad LV winding: Y"),
    ("D", "y", 4, 4, ValueError, "The HV winding D needs 3 ports, not 4"),
    ("Y", "d", 4, 4, ValueError, "The LV winding d needs 3 ports, not 4"),
    ("Y", "z", 4, 3, ValueError, "The LV winding z needs 4 ports, not 3"),
    ("D", "y", -1, 4, RuntimeError, "vector too long"),
])
def test_three_phase_construction_failures(whv, wlv, n1, n2, error, message, entry_names):
    with pytest.raises(error) as info:
        ce.CyThreePhaseTransformer(n1, n2, whv, wlv, 0.1j, 0, 0.02, 11)
    assert str(info.value) == message
    assert ours(entry_names, info.value) == [ENTRY + "CyThreePhaseTransformer.__cinit__"]


def test_winding_names_are_strings():
    with pytest.raises(TypeError):
        ce.CyThreePhaseTransformer(3, 4, None, "y", 0.1j, 0, 0.02, 11)
    with pytest.raises(TypeError):
        ce.CyThreePhaseTransformer(3, 4, "D", 1, 0.1j, 0, 0.02, 11)


def test_bare_transformer_and_pickling(entry_names):
    bare = ce.CyTransformer("anything", k=1)
    with pytest.raises(TypeError, match="CyTransformer object owns no engine object") as info:
        bare.compute_short_circuit_parameters(1, 1, 1)
    assert ours(entry_names, info.value) == [ENTRY + "CyTransformer.compute_short_circuit_parameters"]
    with pytest.raises(TypeError, match="^self.element cannot be converted to a Python object for pickling$"):
        pickle.dumps(bare)
    for obj in (ce.CySingleTransformer(1, 0, 1), ce.CyCenterTransformer(1, 0, 1),
                ce.CyThreePhaseTransformer(3, 3, "D", "d", 1, 0, 1, 0), ce.CySingleVoltageRegulator(1, 0, 1, 0, 1, 0)):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            pickle.dumps(obj)
    with pytest.raises(TypeError):  # the regulator is no transformer
        ce.CyTransformer.update_transformer_parameters(ce.CySingleVoltageRegulator(1, 0, 1, 0, 1, 0), 1, 0, 1)


def test_method_signatures():
    assert ce.CyTransformer.update_transformer_parameters.__doc__ == \
        "CyTransformer.update_transformer_parameters(self, double complex z2, double complex ym, double complex k)"
    for test in ("open", "short"):
        name = f"compute_{test}_circuit_parameters"
        assert getattr(ce.CyTransformer, name).__doc__ == \
            f"CyTransformer.{name}(self, double uhv, double ulv, double sn)"
    r = ce.CySingleVoltageRegulator
    assert r.update_parameters.__doc__ == \
        "CySingleVoltageRegulator.update_parameters(self, double complex z2, double complex ym, double u_ref)"
    assert r.get_tap.__doc__ == "CySingleVoltageRegulator.get_tap(self)"
    assert r.compute_tap.__doc__ == "CySingleVoltageRegulator.compute_tap(self, double u_in)"


# --- single-phase and centre-tapped tests ---------------------------------

def single_phase_open(z2, ym, k, uhv, ulv, sn):
    u1, u2 = uhv, cmath.rect(ulv, cmath.phase(k))
    i2 = (u2 - k * u1) / z2
    i1 = ym * u1 - k.conjugate() * i2
    return (u1 * i1.conjugate()).real, abs(i1) / (sn / uhv)


def single_phase_short(z2, ym, k, uhv, ulv, sn):
    vsc = abs(z2) * sn / ulv ** 2
    u1 = vsc * uhv
    return u1 ** 2 * (ym + abs(k) ** 2 / z2).real, vsc


def centre_tapped_open(z2, ym, k, uhv, ulv, sn):
    b = cmath.rect(ulv / 2, cmath.phase(k))
    half_ratio, half_z = k.real / 2, z2 / 2
    i2a = (b - half_ratio * uhv) / half_z  # the other half carries -i2a
    i1 = ym * uhv - half_ratio * 2 * i2a
    return (uhv * i1.conjugate()).real, abs(i1) / (sn / uhv)


def centre_tapped_short(z2, ym, k, uhv, ulv, sn):
    vsc = abs(z2) * sn / ulv ** 2
    u1 = uhv * vsc
    return u1 ** 2 * (ym + k.real ** 2 / z2).real, vsc


RATINGS = [(20e3, 400.0, 100e3), (230.0, 115.0, 5e3)]
SINGLE = [(0.05 + 0.1j, 2e-5 - 6e-5j, 0.02 + 0j), (0.3 + 0.4j, 1e-4 - 1e-3j, 0.5 * cmath.exp(0.3j)),
          (0.1 + 0.2j, 0j, 1.0)]


@pytest.mark.parametrize("ratings", RATINGS)
@pytest.mark.parametrize("z2,ym,k", SINGLE)
def test_single_phase_tests(z2, ym, k, ratings):
    t = ce.CySingleTransformer(z2, ym, k)
    assert t.compute_open_circuit_parameters(*ratings) == pytest.approx(single_phase_open(z2, ym, k, *ratings),
                                                                        rel=1e-10, abs=1e-9)
    uhv, ulv, _ = ratings
    first, second = t.get_side_potentials(2, 2)
    assert first == pytest.approx([uhv, 0]) and second == pytest.approx([cmath.rect(ulv, cmath.phase(k)), 0])
    assert t.compute_short_circuit_parameters(*ratings) == pytest.approx(single_phase_short(z2, ym, k, *ratings),
                                                                         rel=1e-10)
    currents = t.get_side_currents(2, 2)
    assert currents[0][0] == -currents[0][1] and currents[1][0] == -currents[1][1]


def test_open_circuit_at_the_no_load_ratio_gives_the_magnetising_branch():
    uhv, ulv, sn, ym = 20e3, 400.0, 100e3, 3e-5 - 8e-5j
    for t in (ce.CySingleTransformer(0.1j, ym, ulv / uhv), ce.CyCenterTransformer(0.1j, ym, ulv / uhv)):
        p, x = t.compute_open_circuit_parameters(uhv, ulv, sn)
        assert p == pytest.approx(ym.real * uhv ** 2, rel=1e-9)
        assert x == pytest.approx(abs(ym) * uhv ** 2 / sn, rel=1e-9)


@pytest.mark.parametrize("ratings", RATINGS)
@pytest.mark.parametrize("z2,ym,k", [(0.05 + 0.1j, 2e-5 - 6e-5j, 0.02), (0.3 + 0.4j, 1e-4 - 1e-3j, 0.5)])
def test_centre_tapped_tests(z2, ym, k, ratings):
    t = ce.CyCenterTransformer(z2, ym, k)
    assert t.compute_open_circuit_parameters(*ratings) == pytest.approx(
        centre_tapped_open(z2, ym, complex(k), *ratings), rel=1e-10, abs=1e-9)
    assert t.compute_short_circuit_parameters(*ratings) == pytest.approx(
        centre_tapped_short(z2, ym, complex(k), *ratings), rel=1e-10)
    secondary = t.get_side_currents(2, 3)[1]
    assert secondary[2] == pytest.approx(-(secondary[0] + secondary[1]), abs=1e-12)


def test_update_transformer_parameters():
    ratings = (230.0, 115.0, 5e3)
    t = ce.CyCenterTransformer(0.1j, 0, 2)
    assert t.update_transformer_parameters(0.3 + 0.4j, 1e-3j, 2 + 1j) is None
    # The currents take the real part of the ratio, the test potentials its angle.
    assert t.compute_open_circuit_parameters(*ratings) == pytest.approx(
        centre_tapped_open(0.3 + 0.4j, 1e-3j, 2 + 1j, *ratings), rel=1e-10)
    b = cmath.rect(ratings[1] / 2, math.atan2(1, 2))
    assert t.get_side_potentials(2, 3)[1] == pytest.approx([b, -b, 0])
    s = ce.CySingleTransformer(0.1j, 0, 1)
    s.update_transformer_parameters(z2=0.3 + 0.4j, ym=1e-4, k=0.5)
    assert s.compute_short_circuit_parameters(*ratings) == pytest.approx(
        single_phase_short(0.3 + 0.4j, 1e-4, 0.5, *ratings), rel=1e-10)


# --- three-phase tests ----------------------------------------------------

def three_phase_test(whv, wlv, clock, z2, ym, k, uhv, ulv, sn, short):
    """The test potentials, then (P, ratio) from the winding model."""
    beta = [((-i) * 2) * math.pi / 3 for i in range(3)]
    n1, n2 = (3 if whv == "D" else 4), (3 if wlv == "d" else 4)
    if short:
        vsc = abs(z2) * sn / ulv ** 2 / (3 if wlv == "d" else 1)
        v1 = [polar(uhv * vsc / SQRT3, b) for b in beta]
        v2 = [0j] * 3
    else:
        rot = cmath.exp(1j * (-clock * math.pi / 6))
        v1 = [polar(uhv / SQRT3, b) for b in beta]
        v2 = [rot * polar(ulv / SQRT3, b) for b in beta]
    v1, v2 = np.array(v1 + [0j] * (n1 - 3)), np.array(v2 + [0j] * (n2 - 3))
    i1, i2 = three_phase_currents(whv, wlv, clock, z2, ym, complex(k), v1, v2)
    p = float(np.sum((v1 * i1.conj()).real))
    return (v1, v2), (i1, i2), (p, vsc if short else abs(i1[0]) / (sn / (SQRT3 * uhv)))


GROUPS = [("D", "y", 11), ("D", "y", 5), ("D", "y", 1), ("Y", "y", 0), ("Y", "y", 2), ("Y", "y", 4),
          ("Y", "y", 6), ("Y", "d", 1), ("Y", "d", 11), ("Y", "z", 11), ("Y", "z", 1), ("D", "d", 0),
          ("D", "z", 7), ("D", "d", 13)]


@pytest.mark.parametrize("whv,wlv,clock", GROUPS)
@pytest.mark.parametrize("short", [False, True])
def test_three_phase_tests_follow_the_winding_model(whv, wlv, clock, short):
    z2, ym, k, ratings = 0.01 + 0.03j, 2e-6 - 8e-6j, 0.0125, (20e3, 410.0, 250e3)
    n1, n2 = (3 if whv == "D" else 4), (3 if wlv == "d" else 4)
    t = ce.CyThreePhaseTransformer(n1, n2, whv, wlv, z2, ym, k, clock)
    run = t.compute_short_circuit_parameters if short else t.compute_open_circuit_parameters
    got = run(*ratings)
    (v1, v2), (i1, i2), expected = three_phase_test(whv, wlv, clock, z2, ym, k, *ratings, short)
    assert got == pytest.approx(expected, rel=1e-9)
    potentials, currents = t.get_side_potentials(n1, n2), t.get_side_currents(n1, n2)
    assert potentials[0] == pytest.approx(v1, abs=1e-9) and potentials[1] == pytest.approx(v2, abs=1e-9)
    assert currents[0] == pytest.approx(i1, rel=1e-9, abs=1e-9)
    assert currents[1] == pytest.approx(i2, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("whv,wlv,clock,ratio,losses", [
    # (no-load ratio per unit ulv / uhv, losses per unit Re(ym) uhv^2)
    ("D", "y", 11, 1 / SQRT3, 3.0), ("Y", "y", 0, 1.0, 1.0), ("Y", "z", 11, 1 / SQRT3, 1.0),
    ("D", "d", 0, 1.0, 3.0),
])
def test_three_phase_open_circuit_at_the_no_load_ratio(whv, wlv, clock, ratio, losses):
    uhv, ulv, sn, ym = 20e3, 400.0, 250e3, 2e-6 - 8e-6j
    n1, n2 = (3 if whv == "D" else 4), (3 if wlv == "d" else 4)
    t = ce.CyThreePhaseTransformer(n1, n2, whv, wlv, 0.01 + 0.03j, ym, ratio * ulv / uhv, clock)
    p, x = t.compute_open_circuit_parameters(uhv, ulv, sn)
    assert p == pytest.approx(losses * ym.real * uhv ** 2, rel=1e-9)
    assert x == pytest.approx(losses * abs(ym) * uhv ** 2 / sn, rel=1e-9)
    assert np.abs(t.get_side_currents(n1, n2)[1]).max() < 1e-9 * abs(ym) * uhv  # no load current


def test_short_circuit_voltage_of_a_delta_secondary_is_a_third():
    z2, ratings = 0.01 + 0.03j, (20e3, 400.0, 250e3)
    star = ce.CyThreePhaseTransformer(3, 4, "D", "y", z2, 0, 0.02, 11).compute_short_circuit_parameters(*ratings)
    delta = ce.CyThreePhaseTransformer(3, 3, "D", "d", z2, 0, 0.02, 0).compute_short_circuit_parameters(*ratings)
    assert delta[1] == pytest.approx(star[1] / 3, rel=1e-12)
    assert star[1] == pytest.approx(abs(z2) * 250e3 / 400.0 ** 2, rel=1e-12)


# --- regulator --------------------------------------------------------------

def test_regulator_shares_its_neutral_and_starts_at_tap_one():
    r = ce.CySingleVoltageRegulator(0.01 + 0.02j, 0, 230.0, 0.1, 100.0, 0.0)
    assert r.get_tap() == pytest.approx(1.0, abs=1e-12)
    bus = ce.CyBus(1, np.array([7 - 2j]))
    r.connect_side(bus, [(1, 0)], True)  # the bus's node survives
    assert r.get_port_potential(1) == r.get_port_potential(3) == 7 - 2j


@pytest.mark.parametrize("u_in", [230.0, 200.0, 215.0, 240.0, 260.0, 100.0, 1000.0, -230.0])
@pytest.mark.parametrize("u_range,alpha", [(0.1, 100.0), (0.05, 1000.0), (0.2, 20.0)])
def test_compute_tap(u_in, u_range, alpha):
    r = ce.CySingleVoltageRegulator(0.01j, 0, 230.0, u_range, alpha, 0.3)
    expected = clip_tap(230.0 / u_in, u_range, alpha)
    assert r.compute_tap(u_in) == pytest.approx(expected, rel=1e-12)
    assert 1 - u_range - 0.1 / alpha <= r.compute_tap(u_in) <= 1 + u_range + 0.1 / alpha
    assert r.get_tap() == pytest.approx(clip_tap(1.0, u_range, alpha), rel=1e-12)  # unchanged


def test_compute_tap_limits():
    r = ce.CySingleVoltageRegulator(0.01j, 0, 230.0, 0.1, 100.0, 0.0)
    assert r.compute_tap(230.0) == pytest.approx(1.0, abs=1e-12)
    assert r.compute_tap(100.0) == pytest.approx(1.1, abs=1e-6)
    assert r.compute_tap(1000.0) == pytest.approx(0.9, abs=1e-6)
    assert math.isnan(r.compute_tap(0.0))


def test_regulator_update_parameters():
    r = ce.CySingleVoltageRegulator(0.01j, 0, 230.0, 0.1, 100.0, 0.5)
    assert r.update_parameters(0.02j, 1e-4, 240.0) is None  # no input voltage: the tap stays
    assert r.get_tap() == pytest.approx(1.0, abs=1e-12)
    assert r.compute_tap(230.0) == pytest.approx(clip_tap(240 / 230, 0.1, 100.0), rel=1e-12)
    assert r.get_port_potential(2) == 0
    source = ce.CyBus(2, np.array([225 + 10j, 1 - 1j]))
    r.connect_side(source, [(0, 0), (1, 1)], True)
    for u_ref in (235.0, 300.0, 100.0):
        r.update_parameters(0.02j, 1e-4, u_ref)
        d = abs(224 + 11j)
        tap = min(1.1, max(0.9, u_ref / d))  # the no-load ratio, clamped
        t_s = clip_tap(tap, 0.1, 100.0)
        assert r.get_tap() == pytest.approx(t_s, rel=1e-12)
        assert r.get_port_potential(2) == pytest.approx((224 + 11j) * t_s + (1 - 1j), rel=1e-12)
