"""The constant loads, CyLoad and the load balancer without a solver:
construction, the buffers they read, updates seen through the delta loads'
recomputed inner currents, and misuse."""

import pickle

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce
from element_laws import admittance_law, current_law, power_law

ENTRY = "load_flow_engine.cy_engine."


def ours(entry_names, exc):
    return [n for n in entry_names(exc) if n.startswith(ENTRY)]


# (type, buffer name, plural update, single update, delta, phase current law)
FAMILIES = [
    (ce.CyPowerLoad, "powers", "update_powers", "update_power", False, None),
    (ce.CyAdmittanceLoad, "admittances", "update_admittances", "update_admittance", False, None),
    (ce.CyCurrentLoad, "currents", "update_currents", "update_current", False, None),
    (ce.CyDeltaPowerLoad, "powers", "update_powers", None, True, power_law),
    (ce.CyDeltaAdmittanceLoad, "admittances", "update_admittances", None, True, admittance_law),
    (ce.CyDeltaCurrentLoad, "currents", "update_currents", None, True, current_law),
]
STAR = [f for f in FAMILIES if not f[4]]
DELTA = [f for f in FAMILIES if f[4]]
ids = [f[0].__name__ for f in FAMILIES]


def phases_of(family, n):
    return n if family[4] else n - 1


@pytest.mark.parametrize("family", FAMILIES, ids=ids)
@pytest.mark.parametrize("n", [1, 2, 4])
def test_construction_and_counts(family, n):
    kind, name = family[0], family[1]
    phases = phases_of(family, n)
    for load in (kind(n, np.ones(phases + 1, complex)), kind(n=n, **{name: np.ones(phases, complex)})):
        assert len(load.get_potentials(n)) == n
        with pytest.raises(ValueError, match="^Argument 'n' is too large"):
            load.get_potentials(n + 1)
        inner = load.get_inner_currents(phases)
        assert inner.shape == (phases,) and inner.dtype == np.complex128
        if not family[4]:
            assert not inner.any()  # star loads copy the stored currents: none computed yet


@pytest.mark.parametrize("kind,n", [(ce.CyPowerLoad, 0), (ce.CyAdmittanceLoad, -1), (ce.CyCurrentLoad, 0),
                                    (ce.CyDeltaPowerLoad, -1), (ce.CyDeltaCurrentLoad, -5),
                                    (ce.CyPowerLoad, -2**31), (ce.CyDeltaAdmittanceLoad, -2**31)])
def test_counts_that_cannot_be(kind, n, entry_names):
    for values in (np.ones(3, complex), None):  # nothing is read
        with pytest.raises(RuntimeError) as info:
            kind(n, values)
        assert str(info.value) == "vector too long"
        assert ours(entry_names, info.value) == [ENTRY + kind.__name__ + ".__cinit__"]


def test_loads_without_phases_read_nothing():
    for load in (ce.CyAdmittanceLoad(1, None), ce.CyDeltaPowerLoad(0, None)):
        assert load.get_inner_currents(0).shape == (0,)
    star = ce.CyAdmittanceLoad(1, np.ones(0, complex))
    assert star.update_admittance(5j) is None and star.update_admittances(None) is None


@pytest.mark.parametrize("family", FAMILIES, ids=ids)
def test_short_or_missing_buffers_are_refused(family, entry_names):
    kind, name, plural = family[0], family[1], family[2]
    phases = phases_of(family, 3)
    for buffer, error, message in (
            (np.ones(phases - 1, complex), ValueError,
             f"Argument '{name}' holds {phases - 1} items, but {phases} are read"),
            (None, TypeError, f"Argument '{name}' is None, but {phases} items are read")):
        with pytest.raises(error) as info:
            kind(3, buffer)
        assert str(info.value) == message
        assert ours(entry_names, info.value) == [ENTRY + kind.__name__ + ".__cinit__"]
        with pytest.raises(error) as info:
            getattr(kind(3, np.ones(phases, complex)), plural)(buffer)
        assert str(info.value) == message
        assert ours(entry_names, info.value) == [ENTRY + kind.__name__ + "." + plural]
    with pytest.raises(ValueError, match=r"^Buffer dtype mismatch, expected 'double complex' but got 'double'$"):
        kind(3, np.ones(phases))


@pytest.mark.parametrize("family", STAR, ids=[f[0].__name__ for f in STAR])
def test_single_value_updates_refuse_several_phases(family, entry_names):
    kind, single = family[0], family[3]
    with pytest.raises(ValueError) as info:
        getattr(kind(4, np.ones(3, complex)), single)(1j)
    assert str(info.value) == "a one-value update sets at most one value, this element holds 3"
    assert ours(entry_names, info.value) == [ENTRY + kind.__name__ + "." + single]
    assert getattr(kind(2, np.ones(1, complex)), single)(1j) is None


@pytest.mark.parametrize("family", DELTA, ids=[f[0].__name__ for f in DELTA])
def test_delta_inner_currents_follow_potentials_and_values(family):
    kind, plural, law = family[0], family[2], family[5]
    values = np.array([3 + 1j, 1 - 2j, 2 + 0.5j])
    load = kind(3, values.copy())
    v = 230.0 * np.exp(-2j * np.pi * np.arange(3) / 3) * np.array([1.0, 0.97, 1.02]) + (2 - 1j)
    bus = ce.CyBus(3, v.copy())
    bus.connect(load, [(0, 0), (1, 1), (2, 2)])  # the bus's nodes survive, with their potentials
    dv = v - np.roll(v, -1)
    assert load.get_inner_currents(3) == pytest.approx(law(values, dv), rel=1e-12)
    new = np.array([-1 + 1j, 4 + 0j, 0.5 - 0.5j])
    assert getattr(load, plural)(new) is None
    wide = load.get_inner_currents(5)
    assert wide.shape == (5,) and wide[:3] == pytest.approx(law(new, dv), rel=1e-12)
    assert not load.get_currents(3).any()  # port currents are not touched


def test_two_port_delta_has_two_opposite_phases():
    load = ce.CyDeltaAdmittanceLoad(2, np.array([2 + 0j, 1j]))
    ce.CyBus(2, np.array([10 + 0j, 4 + 0j])).connect(load, [(0, 0), (1, 1)])
    assert load.get_inner_currents(2) == pytest.approx([12, -6j])


@pytest.mark.parametrize("size,error,message", [
    (2, ValueError, "Argument 'size' is too small: 2 is below 3"),
    (0, ValueError, "Argument 'size' is too small: 0 is below 3"),
    (-1, ValueError, "negative dimensions are not allowed"),
    # Beyond the ports of any element: refused before an array is allocated.
    (2**31 - 1, ValueError, "Argument 'size' is too large: 2147483647 exceeds 1048576"),
    (2**20 + 1, ValueError, "Argument 'size' is too large: 1048577 exceeds 1048576"),
])
def test_inner_currents_size_checks(size, error, message, entry_names):
    for load in (ce.CyPowerLoad(4, np.ones(3, complex)), ce.CyDeltaCurrentLoad(3, np.ones(3, complex)),
                 ce.CyLoadBalancer(1, 1, 1)):
        with pytest.raises(error) as info:
            load.get_inner_currents(size)
        assert str(info.value) == message
        assert ours(entry_names, info.value) == [ENTRY + "CyLoad.get_inner_currents"]


def test_bare_load_owns_nothing(entry_names):
    bare = ce.CyLoad(1, 2, size=3)
    with pytest.raises(TypeError) as info:
        bare.get_inner_currents(3)
    assert str(info.value) == ("load_flow_engine.cy_engine.CyLoad object owns no engine object: "
                               "its type has no constructor of its own")
    assert ours(entry_names, info.value) == [ENTRY + "CyLoad.get_inner_currents"]
    with pytest.raises(TypeError, match="^self.element cannot be converted to a Python object for pickling$"):
        pickle.dumps(bare)
    with pytest.raises(TypeError):
        ce.CyPowerLoad.update_powers(ce.CyDeltaPowerLoad(0, None), None)  # not a CyPowerLoad


def test_load_balancer_construction():
    for balancer in (ce.CyLoadBalancer(0.1 + 0.2j, 0.01 - 0.02j, 2), ce.CyLoadBalancer(z2=1, ym=1, k=1.0)):
        assert len(balancer.get_potentials(4)) == 4
        assert not balancer.get_inner_currents(3).any()
    with pytest.raises(TypeError, match="must be real number, not complex"):
        ce.CyLoadBalancer(1, 1, 1j)
    assert not hasattr(ce.CyLoadBalancer, "update_admittances")


@pytest.mark.parametrize("kind", [f[0] for f in FAMILIES] + [ce.CyLoadBalancer])
def test_concrete_loads_refuse_pickling(kind):
    load = ce.CyLoadBalancer(1, 1, 1) if kind is ce.CyLoadBalancer else kind(2, np.ones(2, complex))
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(load)


def test_method_signatures():
    assert ce.CyLoad.get_inner_currents.__doc__ == "CyLoad.get_inner_currents(self, int size)"
    for kind, name, plural, single, _, _ in FAMILIES:
        assert getattr(kind, plural).__doc__ == f"{kind.__name__}.{plural}(self, double complex[::1] {name})"
        if single is not None:
            assert getattr(kind, single).__doc__ == \
                f"{kind.__name__}.{single}(self, double complex {single.split('_')[1]})"
        else:
            assert not hasattr(kind, plural[:-1])
