"""Controls, projections, flexible parameters and the flexible loads, without
a solver: the control laws against a NumPy evaluation of their formulas, and
the loads' powers at potentials set through buses."""

import gc
import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from element_laws import Law, compute_power, stable_compute_power

ENTRY = "load_flow_engine.cy_engine."


def ours(entry_names, exc):
    return [n for n in entry_names(exc) if n.startswith(ENTRY)]


CONSTANT = Law("constant")
PRODUCTION = Law("p_max_u_production", 0, 0, 240, 250, 1000, 1e-6)
CONSUMPTION = Law("p_max_u_consumption", 200, 210, 0, 0, 1000, 1e-6)
Q_U = Law("q_u", 200, 210, 240, 250, 1000, 0)
Q_U_SOFT = Law("q_u", 205, 215, 235, 245, 60, 0)


def parameter(p_law, q_law, projection=("euclidean", 100.0, 1e-4), limits=(10.0, -5.0, 5.0)):
    return ce.CyFlexibleParameter(ce.CyControl(*p_law.args()), ce.CyControl(*q_law.args()),
                                  ce.CyProjection(*projection), *limits)


# --- controls and projections ---------------------------------------------

@pytest.mark.parametrize("name", ["constant", "q_u", "p_max_u_production", "p_max_u_consumption",
                                  b"q_u", bytearray(b"constant")])
def test_control_names(name):
    ce.CyControl(name, 0.9, 0.95, 1.05, 1.1, 100.0, 0.01)


@pytest.mark.parametrize("make,name,message", [
    (lambda t: ce.CyControl(t, 0, 0, 0, 0, 1, 1), "Constant", "Constant is a bad control type name"),
    (lambda t: ce.CyControl(t, 0, 0, 0, 0, 1, 1), "q_u ", "q_u  is a bad control type name"),
    (lambda t: ce.CyControl(t, 0, 0, 0, 0, 1, 1), "", " is a bad control type name"),
    (lambda t: ce.CyProjection(t, 1.0, 0.0), "keep_p ", "keep_p  is a bad projection type name"),
    (lambda t: ce.CyProjection(t, 1.0, 0.0), b"Euclidean", "Euclidean is a bad projection type name"),
])
def test_bad_kind_names(make, name, message, entry_names):
    with pytest.raises(RuntimeError) as info:
        make(name)
    assert str(info.value) == message
    kind = "CyControl" if "control" in message else "CyProjection"
    assert ours(entry_names, info.value) == [ENTRY + kind + ".__cinit__"]


@pytest.mark.parametrize("name", ["euclidean", "keep_p", "keep_q"])
def test_projection_names(name):
    ce.CyProjection(name, 100.0, 1e-4)


def test_objects_refuse_pickling():
    control = ce.CyControl(*CONSTANT.args())
    projection = ce.CyProjection("keep_q", 1.0, 1.0)
    flexible = ce.CyFlexibleParameter(control, control, projection, 1, 0, 0)
    load = ce.CyFlexibleLoad(2, np.zeros(1, complex), np.array([flexible], object))
    for obj in (control, projection, flexible, load, ce.CyDeltaFlexibleLoad(0, None, None)):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            pickle.dumps(obj)


# --- flexible parameters --------------------------------------------------

@pytest.mark.parametrize("args,message", [
    ((None, "c", "p"), "Argument 'control_p' must not be None"),
    (("c", None, "p"), "Argument 'control_q' must not be None"),
    (("c", "c", None), "Argument 'projection' must not be None"),
])
def test_flexible_parameter_refuses_none(args, message, entry_names):
    objects = {"c": ce.CyControl(*CONSTANT.args()), "p": ce.CyProjection("euclidean", 1, 1), None: None}
    with pytest.raises(TypeError) as info:
        ce.CyFlexibleParameter(*(objects[a] for a in args), 1.0, 0.0, 0.0)
    assert str(info.value) == message
    assert ours(entry_names, info.value) == [ENTRY + "CyFlexibleParameter.__cinit__"]


def test_flexible_parameter_checks_numbers_then_types(entry_names):
    control = ce.CyControl(*CONSTANT.args())
    projection = ce.CyProjection("euclidean", 1, 1)
    with pytest.raises(TypeError) as info:
        ce.CyFlexibleParameter(control, projection, projection, 1.0, 0.0, 0.0)
    assert str(info.value) == ("Argument 'control_q' has incorrect type (expected "
                               "load_flow_engine.cy_engine.CyControl, got load_flow_engine.cy_engine.CyProjection)")
    assert ours(entry_names, info.value) == []  # the argument-type rule adds no entry
    with pytest.raises(TypeError, match="must be real number, not str"):
        ce.CyFlexibleParameter(None, None, None, 1.0, "x", 0.0)

    class Sub(ce.CyControl):
        pass

    ce.CyFlexibleParameter(control_p=Sub(*CONSTANT.args()), control_q=control, projection=projection,
                           s_max=1, q_min=0, q_max=0)


@pytest.mark.parametrize("p_law,q_law,projection,s_th", [
    (PRODUCTION, CONSTANT, ("euclidean", 100.0, 1e-4), -6 + 1j),
    (PRODUCTION, Q_U, ("keep_q", 100.0, 1e-4), -6 + 1j),
    (CONSUMPTION, Q_U_SOFT, ("keep_p", 100.0, 1e-4), 6 + 2j),
    (CONSUMPTION, CONSTANT, ("keep_q", 50.0, 1e-3), 9 - 3j),
    (CONSTANT, Q_U, ("euclidean", 100.0, 1e-4), 8 + 1j),
    (CONSTANT, Q_U_SOFT, ("keep_p", 30.0, 1e-3), 9.5 + 0.5j),
    (CONSTANT, Q_U_SOFT, ("keep_q", 30.0, 1e-3), -9.5 + 0.5j),
])
def test_compute_power_follows_the_laws(p_law, q_law, projection, s_th):
    flexible = parameter(p_law, q_law, projection)
    for u in np.concatenate([np.linspace(190.0, 260.0, 29), [202.0, 207.5, 243.0, 248.0]]):
        expected = compute_power(p_law, q_law, projection, (10.0, -5.0, 5.0), u, s_th)
        assert flexible.compute_power(u, s_th) == pytest.approx(expected, rel=1e-9, abs=1e-12)


def sharpened(law, alpha):
    return Law(law.kind, law.u_min, law.u_down, law.u_up, law.u_max, alpha, law.epsilon)


@pytest.mark.parametrize("alpha", [1e3, 1e4, 1e6])
@pytest.mark.parametrize("law,s_th,shape", [
    (PRODUCTION, -6, {0: -6, 235: -6, 243: -6, 245: -5, 248: -2, 255: 0, 430: 0, 2500: 0}),
    (CONSUMPTION, 6, {0: 0, 195: 0, 202: 2, 204: 4, 207: 6, 215: 6, 220: 6, 345: 6, 2500: 6}),
])
def test_active_laws_approach_their_corners(law, s_th, shape, alpha):
    # The ideal curves: the limit line s_max (u_max - u) / (u_max - u_up) for
    # production, its mirror for consumption; far from the knees too.
    flexible = parameter(sharpened(law, alpha), CONSTANT)
    for u, p in shape.items():
        assert flexible.compute_power(u, s_th).real == pytest.approx(p, abs=0.05)


@pytest.mark.parametrize("alpha", [1e3, 1e4, 1e6])
@pytest.mark.parametrize("u,q", [(0, -5), (190, -5), (205, -2), (215, 1), (239, 1), (245, 3), (260, 5), (378, 5),
                                 (2500, 5)])
def test_q_u_law_approaches_its_corners(u, q, alpha):
    got = parameter(CONSTANT, sharpened(Q_U, alpha), ("euclidean", 100.0, 1e-6), (1e6, -5, 5)).compute_power(u, 1 + 1j)
    assert got.imag == pytest.approx(q, abs=0.01)
    assert got.real == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize("alpha", [1e3, 1e4, 1e6])
def test_euclidean_projection_is_radial_far_outside(alpha):
    # q_u is flat at 225 V, so (P, Q) = s_th, far outside s_max = 10.
    got = parameter(CONSTANT, Q_U, ("euclidean", alpha, 1e-4)).compute_power(225.0, 15 + 10j)
    assert got == pytest.approx((15 + 10j) * 10 / abs(15 + 10j), rel=1e-9)


def knee_voltages(p_law, s_th, s_max):
    """The voltages where a law bends: its four settings and the corner of
    the active power, each with neighbours down to alpha's scale."""
    pth = s_th.real / s_max
    knees = [200, 210, 240, 250, 200 + 10 * pth, 250 + 10 * pth]
    return [k + d for k in knees for d in (0, -1e-5, 1e-5, -1e-4, 1e-4, -1e-2, 1e-2, -1, 1)]


SHARP_CASES = [
    pytest.param(CONSUMPTION, CONSTANT, "euclidean", 6 + 1j, id="consumption-euclidean"),
    pytest.param(CONSUMPTION, Q_U, "keep_p", 9 + 8j, id="consumption-q_u-keep_p"),
    pytest.param(CONSUMPTION, CONSTANT, "keep_q", 9 - 3j, id="consumption-keep_q"),
    pytest.param(PRODUCTION, CONSTANT, "euclidean", -9 + 8j, id="production-euclidean"),
    pytest.param(PRODUCTION, Q_U, "keep_q", -9 + 8j, id="production-q_u-keep_q"),
    pytest.param(CONSTANT, Q_U, "euclidean", 15 + 10j, id="q_u-euclidean"),
    pytest.param(CONSTANT, Q_U, "keep_p", 6 + 1j, id="q_u-keep_p"),
]


@pytest.mark.parametrize("alpha", [10, 1e3, 1e4, 1e6])
@pytest.mark.parametrize("p_law,q_law,kind,s_th", SHARP_CASES)
def test_laws_at_any_sharpness_and_voltage(p_law, q_law, kind, s_th, alpha):
    # From 0 to 10 x 250 V: the stable forms everywhere, and the textbook
    # formulas wherever they can be evaluated in doubles.
    p_law, q_law, projection, limits = sharpened(p_law, alpha), sharpened(q_law, alpha), (kind, alpha, 1e-4), \
        (10.0, -5.0, 5.0)
    flexible = parameter(p_law, q_law, projection, limits)
    for u in sorted(np.concatenate([np.linspace(0.0, 2500.0, 101), knee_voltages(p_law, s_th, 10.0)])):
        got = flexible.compute_power(u, s_th)
        assert got == pytest.approx(stable_compute_power(p_law, q_law, projection, limits, u, s_th),
                                    rel=1e-12, abs=1e-12), u
        try:
            literal = compute_power(p_law, q_law, projection, limits, u, s_th)
        except (ArithmeticError, ValueError):
            continue
        if np.isfinite(literal):
            assert got == pytest.approx(literal, rel=1e-12, abs=1e-13), u


@pytest.mark.parametrize("kind,pq", [("euclidean", (0.7071, 0.7071)), ("keep_p", (0.9, 0.4359)),
                                     ("keep_q", (0.4359, 0.9))])
def test_projections_bring_the_power_within_s_max(kind, pq):
    # q_u in its flat middle keeps q; s_max 1 makes (P, Q) per unit.
    flexible = parameter(CONSTANT, Q_U, (kind, 100.0, 1e-4), (1.0, -0.5, 0.5))
    got = flexible.compute_power(225.0, 0.9 + 0.9j)
    assert (got.real, got.imag) == pytest.approx(pq, abs=2e-3)
    inside = flexible.compute_power(225.0, 0.3 + 0.2j)
    assert (inside.real, inside.imag) == pytest.approx((0.3, 0.2), abs=2e-3)


def test_constant_laws_pass_the_theoretical_power():
    flexible = parameter(CONSTANT, CONSTANT, ("keep_p", 1.0, 1.0), (1.0, 0.0, 0.0))
    for u in (0.0, 1.0, 230.0, float("nan")):
        assert flexible.compute_power(u, 50 - 20j) == 50 - 20j


@pytest.mark.parametrize("p_law,q_law,message", [
    (Q_U, CONSTANT, "Bad control type for P"),
    (Q_U, PRODUCTION, "Bad control type for P"),  # P is looked at first
    (CONSTANT, CONSUMPTION, "Bad control type for Q"),
    (PRODUCTION, PRODUCTION, "Bad control type for Q"),
])
def test_unsuitable_laws_fail_when_computed(p_law, q_law, message, entry_names):
    flexible = parameter(p_law, q_law)
    with pytest.raises(RuntimeError) as info:
        flexible.compute_power(230.0, -1 + 1j)
    assert str(info.value) == message
    assert ours(entry_names, info.value) == [ENTRY + "CyFlexibleParameter.compute_power"]


def test_parameter_keeps_copies_of_its_controls():
    p_control, q_control = ce.CyControl(*CONSUMPTION.args()), ce.CyControl(*Q_U.args())
    projection = ce.CyProjection("keep_p", 100.0, 1e-4)
    flexible = ce.CyFlexibleParameter(p_control, q_control, projection, 10.0, -5.0, 5.0)
    before = flexible.compute_power(205.0, 6 + 1j)
    del p_control, q_control, projection
    gc.collect()
    ce.CyControl(*PRODUCTION.args())  # likely reuses the freed memory
    assert flexible.compute_power(205.0, 6 + 1j) == before


def test_update_parameters_changes_the_limits():
    flexible = parameter(CONSUMPTION, Q_U_SOFT, ("keep_p", 100.0, 1e-4))
    assert flexible.update_parameters(20.0, -2.0, 3.0) is None
    for u in (200.0, 206.0, 250.0):
        expected = compute_power(CONSUMPTION, Q_U_SOFT, ("keep_p", 100.0, 1e-4), (20.0, -2.0, 3.0), u, 6 + 1j)
        assert flexible.compute_power(u, 6 + 1j) == pytest.approx(expected, rel=1e-9)
    with pytest.raises(TypeError) as info:
        flexible.update_parameters(1.0, q_min=None, q_max=0.0)
    assert "must be real number, not NoneType" in str(info.value)


def test_method_signatures():
    assert ce.CyFlexibleParameter.compute_power.__doc__ == \
        "CyFlexibleParameter.compute_power(self, double x, double complex s_th)"
    assert ce.CyFlexibleParameter.update_parameters.__doc__ == \
        "CyFlexibleParameter.update_parameters(self, double s_max, double q_min, double q_max)"
    for t, n in ((ce.CyFlexibleLoad, "update_powers"), (ce.CyDeltaFlexibleLoad, "update_powers")):
        assert getattr(t, n).__doc__ == t.__name__ + ".update_powers(self, double complex[::1] powers)"
        assert t.get_powers.__doc__ == t.__name__ + ".get_powers(self, int n)"
    assert ce.CyFlexibleLoad.update_power.__doc__ == "CyFlexibleLoad.update_power(self, double complex power)"
    assert not hasattr(ce.CyDeltaFlexibleLoad, "update_power")


# --- flexible loads -------------------------------------------------------

@pytest.fixture
def soft():
    """A parameter whose laws bend in the voltage range of the tests."""
    return parameter(CONSUMPTION, Q_U_SOFT, ("keep_p", 100.0, 1e-4))


def on_bus(load, potentials):
    """Puts every port of the load on a node of a bus at the given potentials."""
    bus = ce.CyBus(len(potentials), np.array(potentials, complex))
    bus.connect(load, [(i, i) for i in range(len(potentials))])
    return bus


@pytest.mark.parametrize("kind,n,phases", [(ce.CyFlexibleLoad, 4, 3), (ce.CyFlexibleLoad, 2, 1),
                                           (ce.CyFlexibleLoad, 1, 0), (ce.CyDeltaFlexibleLoad, 3, 3),
                                           (ce.CyDeltaFlexibleLoad, 0, 0)])
def test_flexible_load_reads_one_power_and_parameter_per_phase(kind, n, phases, soft):
    # One entry more than read: the last is never looked at.
    load = kind(n, np.ones(phases + 1, complex), np.array([soft] * phases + [None], object))
    assert len(load.get_potentials(n)) == n
    assert load.get_powers(n).shape == ((n - 1,) if kind is ce.CyFlexibleLoad else (n,))
    assert load.get_inner_currents(phases).shape == (phases,)
    if phases == 0:
        assert kind(n, None, None).get_powers(n).shape == (max(n - 1, 0),)


@pytest.mark.parametrize("kind,n", [(ce.CyFlexibleLoad, 0), (ce.CyFlexibleLoad, -1), (ce.CyDeltaFlexibleLoad, -2),
                                    (ce.CyFlexibleLoad, -2**31), (ce.CyDeltaFlexibleLoad, -2**31)])
def test_flexible_load_counts_that_cannot_be(kind, n, entry_names):
    with pytest.raises(RuntimeError) as info:
        kind(n, None, None)
    assert str(info.value) == "vector too long"
    assert ours(entry_names, info.value) == [ENTRY + kind.__name__ + ".__cinit__"]


@pytest.mark.parametrize("powers,parameters,error,message", [
    (np.ones(2, complex), "ok", ValueError, "Argument 'powers' holds 2 items, but 3 are read"),
    (None, "ok", TypeError, "Argument 'powers' is None, but 3 items are read"),
    (np.ones(3, complex), None, TypeError, "Argument 'parameters' is None, but 3 items are read"),
    (np.ones(3, complex), "short", ValueError, "Argument 'parameters' holds 2 items, but 3 are read"),
    (np.ones(3, complex), "none item", TypeError,
     "Item 1 of argument 'parameters' has incorrect type (expected load_flow_engine.cy_engine.CyFlexibleParameter, "
     "got NoneType)"),
    (np.ones(3, complex), "control item", TypeError,
     "Item 2 of argument 'parameters' has incorrect type (expected load_flow_engine.cy_engine.CyFlexibleParameter, "
     "got load_flow_engine.cy_engine.CyControl)"),
    (np.ones(3, complex), "complex", ValueError,
     "Buffer dtype mismatch, expected 'CyFlexibleParameter' but got 'complex double'"),
])
def test_flexible_load_refuses_bad_buffers(powers, parameters, error, message, soft, entry_names):
    given = {"ok": np.array([soft] * 3, object), None: None, "short": np.array([soft] * 2, object),
             "none item": np.array([soft, None, soft], object),
             "control item": np.array([soft, soft, ce.CyControl(*CONSTANT.args())], object),
             "complex": np.ones(3, complex)}[parameters]
    for kind, n in ((ce.CyFlexibleLoad, 4), (ce.CyDeltaFlexibleLoad, 3)):
        with pytest.raises(error) as info:
            kind(n, powers, given)
        assert str(info.value) == message
        assert ours(entry_names, info.value) == [ENTRY + kind.__name__ + ".__cinit__"]


def test_flexible_load_keeps_its_parameters_alive():
    load = ce.CyDeltaFlexibleLoad(3, np.full(3, 5 + 1j), np.array([parameter(CONSUMPTION, Q_U_SOFT)] * 3, object))
    gc.collect()
    for _ in range(3):
        parameter(PRODUCTION, PRODUCTION)  # would fail if it took the freed parameter's place
    bus = on_bus(load, 120.0 * np.exp(-2j * np.pi * np.arange(3) / 3))
    expected = compute_power(CONSUMPTION, Q_U_SOFT, ("euclidean", 100.0, 1e-4), (10.0, -5.0, 5.0),
                             abs(bus.get_potentials(3)[0] - bus.get_potentials(3)[1]), 5 + 1j)
    assert load.get_powers(3) == pytest.approx(np.full(3, expected), rel=1e-9)


def unbalanced(n):
    return 230.0 * np.exp(-2j * np.pi * np.arange(n) / 3) * np.linspace(0.92, 1.05, n)


def test_star_powers_and_updates(soft):
    v = np.append(unbalanced(3), 3 + 1j)
    s_th = np.array([6 + 1j, 5 - 1j, 9 + 0j])
    load = ce.CyFlexibleLoad(4, s_th.copy(), np.array([soft] * 3, object))
    on_bus(load, v)

    def expected(s):
        return [compute_power(CONSUMPTION, Q_U_SOFT, ("keep_p", 100.0, 1e-4), (10.0, -5.0, 5.0),
                              abs(v[i] - v[3]), s[i]) for i in range(3)]

    assert load.get_powers(4) == pytest.approx(expected(s_th), rel=1e-9)
    assert load.update_powers(s_th[::-1].copy()) is None
    assert load.get_powers(4) == pytest.approx(expected(s_th[::-1]), rel=1e-9)
    wide = load.get_powers(6)
    assert wide.shape == (5,) and wide[:3] == pytest.approx(expected(s_th[::-1]), rel=1e-9)
    soft.update_parameters(20.0, -1.0, 1.0)  # shared by all three phases
    got = load.get_powers(4)
    for i, s in enumerate(s_th[::-1]):
        assert got[i] == pytest.approx(compute_power(CONSUMPTION, Q_U_SOFT, ("keep_p", 100.0, 1e-4),
                                                     (20.0, -1.0, 1.0), abs(v[i] - v[3]), s), rel=1e-9)
    with pytest.raises(ValueError, match="^a one-value update sets at most one value, this element holds 3$"):
        load.update_power(1j)


def test_update_power_of_a_two_port_load(soft):
    load = ce.CyFlexibleLoad(2, np.array([6 + 1j]), np.array([soft], object))
    on_bus(load, [207.0 + 3j, 1j])
    assert load.update_power(power=4 - 1j) is None
    expected = compute_power(CONSUMPTION, Q_U_SOFT, ("keep_p", 100.0, 1e-4), (10.0, -5.0, 5.0),
                             abs(207.0 + 2j), 4 - 1j)
    assert load.get_powers(2) == pytest.approx([expected], rel=1e-9)
    none = ce.CyFlexibleLoad(1, None, None)
    assert none.update_power(1j) is None and none.update_powers(None) is None


def test_delta_powers_and_inner_currents(soft):
    v = unbalanced(3)
    s_th = np.array([6 + 1j, 7 - 2j, 5 + 0.5j])
    load = ce.CyDeltaFlexibleLoad(3, s_th, np.array([soft] * 3, object))
    bus = on_bus(load, v / np.sqrt(3))  # line voltages near the laws' range
    v = bus.get_potentials(3)
    dv = v - np.roll(v, -1)
    for s_th in (s_th, np.array([1 + 1j, 2 + 0j, 8 - 1j])):
        load.update_powers(s_th)
        s = np.array([compute_power(CONSUMPTION, Q_U_SOFT, ("keep_p", 100.0, 1e-4), (10.0, -5.0, 5.0), abs(d), st)
                      for d, st in zip(dv, s_th)])
        assert load.get_powers(3) == pytest.approx(s, rel=1e-9)
        assert load.get_inner_currents(3) == pytest.approx(np.conj(s / dv), rel=1e-9)
    assert not load.get_currents(3).any()  # nothing computed the port currents


@pytest.mark.parametrize("call,error,message,entry", [
    (lambda d, s: s.get_powers(3), ValueError, "Argument 'n' is too small: 3 is below 4", "CyFlexibleLoad.get_powers"),
    (lambda d, s: d.get_powers(2), ValueError, "Argument 'n' is too small: 2 is below 3",
     "CyDeltaFlexibleLoad.get_powers"),
    (lambda d, s: s.get_powers(0), ValueError, "negative dimensions are not allowed", "CyFlexibleLoad.get_powers"),
    (lambda d, s: s.get_powers(-2**31), ValueError, "negative dimensions are not allowed",
     "CyFlexibleLoad.get_powers"),
    (lambda d, s: d.get_powers(-1), ValueError, "negative dimensions are not allowed",
     "CyDeltaFlexibleLoad.get_powers"),
    (lambda d, s: s.get_powers(2**31 - 1), ValueError, "Argument 'n' is too large: 2147483647 exceeds 1048576",
     "CyFlexibleLoad.get_powers"),
    (lambda d, s: d.get_powers(2**20 + 1), ValueError, "Argument 'n' is too large: 1048577 exceeds 1048576",
     "CyDeltaFlexibleLoad.get_powers"),
    (lambda d, s: s.update_powers(np.ones(2, complex)), ValueError, "Argument 'powers' holds 2 items, but 3 are read",
     "CyFlexibleLoad.update_powers"),
    (lambda d, s: d.update_powers(None), TypeError, "Argument 'powers' is None, but 3 items are read",
     "CyDeltaFlexibleLoad.update_powers"),
    (lambda d, s: s.get_inner_currents(2), ValueError, "Argument 'size' is too small: 2 is below 3",
     "CyLoad.get_inner_currents"),
    (lambda d, s: ce.CyFlexibleLoad.get_powers(ce.CyDeltaFlexibleLoad(0, None, None), 3), TypeError, None, None),
])
def test_flexible_load_preconditions(call, error, message, entry, soft, entry_names):
    delta = ce.CyDeltaFlexibleLoad(3, np.ones(3, complex), np.array([soft] * 3, object))
    star = ce.CyFlexibleLoad(4, np.ones(3, complex), np.array([soft] * 3, object))
    with pytest.raises(error) as info:
        call(delta, star)
    if message is not None:
        assert str(info.value) == message
        assert ours(entry_names, info.value) == [ENTRY + entry]


def test_unsuitable_law_fails_get_powers_and_delta_inner_currents(entry_names):
    bad = parameter(Q_U, CONSTANT)
    delta = ce.CyDeltaFlexibleLoad(2, np.ones(2, complex), np.array([bad, bad], object))
    star = ce.CyFlexibleLoad(2, np.ones(1, complex), np.array([bad], object))
    on_bus(delta, [1.0, 0.0])
    for call, entry in ((lambda: delta.get_powers(2), "CyDeltaFlexibleLoad.get_powers"),
                        (lambda: star.get_powers(2), "CyFlexibleLoad.get_powers"),
                        (lambda: delta.get_inner_currents(2), "CyLoad.get_inner_currents")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "Bad control type for P"
        assert ours(entry_names, info.value) == [ENTRY + entry]
    assert star.get_inner_currents(1) == np.zeros(1)  # star loads only copy stored currents
