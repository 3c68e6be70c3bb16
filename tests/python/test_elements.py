"""The element and branch methods, the construction rules and the result
arrays, through switches (nodes at potential 0, currents 0)."""

import copy
import gc
import pickle
import types

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce

ENTRY = "load_flow_engine.cy_engine."


def ours(entry_names, exc):
    return [n for n in entry_names(exc) if n.startswith(ENTRY) or n.startswith("init ")]


# --- construction --------------------------------------------------------

@pytest.mark.parametrize("args,kwargs,error,message", [
    ((), {}, TypeError, "__cinit__() takes exactly 1 positional argument (0 given)"),
    ((3, 4), {}, TypeError, "__cinit__() takes exactly 1 positional argument (2 given)"),
    ((), {"m": 3}, TypeError, "__cinit__() got an unexpected keyword argument 'm'"),
    ((3,), {"n": 3}, TypeError, "__cinit__() got multiple values for keyword argument 'n'"),
    (("3",), {}, TypeError, "an integer is required"),
    ((2**40,), {}, OverflowError, "value too large to convert to int"),
    ((-1,), {}, RuntimeError, "vector too long"),
    # More ports than any element may have: refused before they are built.
    ((2**19 + 1,), {}, RuntimeError, "vector too long"),
    ((2**31 - 1,), {}, RuntimeError, "vector too long"),
])
def test_constructor_failures_name_cinit(args, kwargs, error, message, entry_names):
    with pytest.raises(error) as info:
        ce.CySwitch(*args, **kwargs)
    assert str(info.value) == message
    assert ours(entry_names, info.value) == [ENTRY + "CySwitch.__cinit__"]


@pytest.mark.parametrize("n,ports", [(3, 6), (2.9, 4), (0, 0), (True, 2)])
def test_constructor_converts_n(n, ports):
    for switch in (ce.CySwitch(n), ce.CySwitch(n=n)):
        assert len(switch.get_potentials(ports)) == ports
        with pytest.raises(ValueError, match="^Argument 'n' is too large"):
            switch.get_potentials(ports + 1)


def test_types_without_own_constructor_ignore_arguments():
    for t in (ce.CyElement, ce.CyBranch, ce.CyLoad, ce.CyTransformer, ce.CyAbstractSolver, ce.CyAbstractNewton):
        assert type(t()) is t and type(t(1, 2, x=3)) is t


def test_subclass_construction_runs_the_binding_constructor_then_init():
    calls = []

    class Tagged(ce.CySwitch):
        def __init__(self, n):
            calls.append(n)
            self.n = n

    t = Tagged(2)
    assert calls == [2] and t.n == 2 and len(t.get_side_potentials(2, 2)[1]) == 2
    assert Tagged(n=1.5).n == 1.5  # __init__ gets the arguments as given
    with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'tag'$"):
        Tagged(2, tag="b")  # the binding constructor sees every argument
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 1 positional argument \(0 given\)$"):
        Tagged()
    assert calls == [2, 1.5]  # no __init__ after a failed construction

    class Plain(ce.CySwitch):
        pass

    assert len(Plain(n=1).get_currents(2)) == 2
    assert isinstance(Plain(1), ce.CyBranch)

    class Abstract(ce.CyBranch):
        def __init__(self, *args, **kwargs):
            self.args = args, kwargs

    a = Abstract(1, k=2)
    assert a.args == ((1,), {"k": 2})
    with pytest.raises(TypeError, match="owns no engine object"):
        a.get_side_currents(0, 0)


def test_concrete_objects_refuse_pickling_and_copying(entry_names):
    s = ce.CySwitch(1)
    message = "no default __reduce__ due to non-trivial __cinit__"
    for attempt in (lambda: pickle.dumps(s), lambda: pickle.dumps(s, 5), lambda: copy.copy(s),
                    lambda: copy.deepcopy(s), lambda: s.__setstate__({})):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        s.__setstate__({})
    assert ours(entry_names, info.value) == [ENTRY + "CySwitch.__setstate__"]


def test_object_released_while_an_exception_propagates():
    released = []

    class Watched(ce.CySwitch):
        def __del__(self):
            released.append(True)

    def fail():
        s = Watched(3)  # noqa: F841
        raise KeyError("kept")

    with pytest.raises(KeyError) as info:
        fail()
    assert info.value.args == ("kept",)
    del info
    gc.collect()
    assert released == [True]


def test_many_objects_are_released():
    for _ in range(2000):
        ce.CySwitch(4).connect(ce.CySwitch(4), [(0, 1)])


# --- method calls --------------------------------------------------------

def test_methods_through_the_type_take_self_first():
    s = ce.CySwitch(1)
    assert len(ce.CyElement.get_potentials(s, 2)) == 2
    assert ce.CyBranch.get_side_currents(s, n1=1, n2=0)[1].shape == (0,)
    with pytest.raises(TypeError):
        ce.CyBranch.get_side_currents(ce.CyElement(), 0, 0)


@pytest.mark.parametrize("call,error,message,entry", [
    (lambda s: s.get_port_potential(4), IndexError, "Argument 'index' is out of range: 4 is not in [0, 4)",
     "CyElement.get_port_potential"),
    (lambda s: s.get_port_current(-1), IndexError, "Argument 'index' is out of range: -1 is not in [0, 4)",
     "CyElement.get_port_current"),
    (lambda s: s.get_currents(5), ValueError, "Argument 'n' is too large: 5 exceeds 4", "CyElement.get_currents"),
    (lambda s: s.get_side_potentials(3, 0), ValueError, "Argument 'n1' is too large: 3 exceeds 2",
     "CyBranch.get_side_potentials"),
    (lambda s: s.get_side_currents(0, 3), ValueError, "Argument 'n2' is too large: 3 exceeds 2",
     "CyBranch.get_side_currents"),
    (lambda s: s.connect_ports(np.array([0, 4], np.int32)), IndexError,
     "Item 1 of argument 'ports' is out of range: 4 is not in [0, 4)", "CyElement.connect_ports"),
    (lambda s: s.connect(ce.CySwitch(1), [(0, 1), (3, 2)]), IndexError,
     "Item 1 of argument 'connections' is out of range: (3, 2) is not in [0, 4) x [0, 2)", "CyElement.connect"),
    (lambda s: s.connect_side(ce.CySwitch(1), [(2, 0)], True), IndexError,
     "Item 0 of argument 'connections' is out of range: (2, 0) is not in [0, 2) x [0, 2)", "CyBranch.connect_side"),
    (lambda s: s.connect(None, []), TypeError, "Argument 'cy_element' must not be None", "CyElement.connect"),
    (lambda s: s.connect_side(ce.CyBranch(), [], False), TypeError,
     "Argument 'element' (load_flow_engine.cy_engine.CyBranch object) owns no engine object",
     "CyBranch.connect_side"),
    (lambda s: s.get_potentials(-1), ValueError, "negative dimensions are not allowed", "CyElement.get_potentials"),
    (lambda s: s.get_side_potentials(-1, 0), ValueError, "negative dimensions are not allowed",
     "CyBranch.get_side_potentials"),
])
def test_caller_preconditions_are_checked_before_the_engine(call, error, message, entry, entry_names):
    with pytest.raises(error) as info:
        call(ce.CySwitch(2))
    assert str(info.value) == message
    assert ours(entry_names, info.value) == [ENTRY + entry]


def test_readers_on_a_fresh_switch():
    s = ce.CySwitch(2)
    for array in (s.get_potentials(4), s.get_currents(3), *s.get_side_potentials(2, 1), *s.get_side_currents(1, 2)):
        assert array.dtype == np.complex128 and array.ndim == 1 and not array.any()
    assert [len(a) for a in s.get_side_potentials(2, 1)] == [2, 1]
    assert s.get_potentials(0).shape == (0,) and s.get_potentials(0).dtype == np.complex128
    assert s.get_port_potential(3) == 0j and type(s.get_port_current(0)) is complex


@pytest.mark.parametrize("connections", [
    [], (), [(0, 1), [1, 0]], ((0, 0),), iter([(1, 1)]), ((i, i) for i in range(2)), [iter([0, 1])],
    np.array([[0, 1], [1, 0]]), [(np.int32(0), 1.7)], {(0, 0): None},
])
def test_pair_sequences_accepted(connections):
    assert ce.CySwitch(1).connect(ce.CySwitch(1), connections) is None


class BadIterable:
    def __iter__(self):
        raise ZeroDivisionError("boom")


@pytest.mark.parametrize("connections,error,message", [
    ([(0, 1, 2)], ValueError, "too many values to unpack (expected 2)"),
    ([[0, 1, 2]], ValueError, "too many values to unpack (expected 2)"),
    ([(0,)], ValueError, "need more than 1 value to unpack"),
    ([()], ValueError, "need more than 0 values to unpack"),
    ([iter([0])], ValueError, "need more than 1 value to unpack"),
    ([iter([0, 1, 2])], ValueError, "too many values to unpack (expected 2)"),
    ([(0, 0), (0, 0), (0, 1, 2)], ValueError, "too many values to unpack (expected 2)"),
    ([5], TypeError, "'int' object is not iterable"),
    (5, TypeError, "'int' object is not iterable"),
    ([("a", 0)], TypeError, "an integer is required"),
    ([(0, 2**40)], OverflowError, "value too large to convert to int"),
    (BadIterable(), ZeroDivisionError, "boom"),
    ([BadIterable()], ZeroDivisionError, "boom"),
])
def test_pair_sequences_refused(connections, error, message, entry_names):
    with pytest.raises(error) as info:
        ce.CySwitch(1).connect(ce.CySwitch(1), connections)
    assert str(info.value) == message
    assert ours(entry_names, info.value) == [ENTRY + "CyElement.connect"]


def test_list_changed_while_read():
    class Shrinking:
        """An item whose conversion empties the list being read."""

        def __init__(self, target):
            self.target = target

        def __int__(self):
            self.target.clear()
            return 0

    pairs = [(0, 0), (0, 0), (0, 0)]
    pairs[0] = (Shrinking(pairs), 0)
    assert ce.CySwitch(1).connect(ce.CySwitch(1), pairs) is None


def test_connection_errors_come_after_the_type_test():
    with pytest.raises(TypeError, match="^Argument 'cy_element' has incorrect type"):
        ce.CySwitch(1).connect(5, [(0, 1, 2)])


# --- result arrays -------------------------------------------------------

@pytest.fixture
def restore_np():
    yield
    ce.np = np


ARRAY_CALLS = [lambda s: s.get_potentials(2), lambda s: s.get_currents(2), lambda s: s.get_side_potentials(1, 1),
               lambda s: s.get_side_currents(1, 1)]


@pytest.mark.parametrize("call", ARRAY_CALLS)
def test_deleted_np_raises_name_error(call, restore_np, entry_names):
    del ce.np
    with pytest.raises(NameError) as info:
        call(ce.CySwitch(1))
    assert str(info.value) == "name 'np' is not defined"
    assert len(ours(entry_names, info.value)) == 1


def test_np_falls_back_to_the_builtins(restore_np, monkeypatch):
    import builtins

    del ce.np
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert ce.CySwitch(1).get_potentials(2).shape == (2,)


def fake_np(empty, **names):
    return types.SimpleNamespace(empty=empty, complex128=names.get("complex128", np.complex128),
                                 double=names.get("double", np.double))


def test_np_is_looked_up_at_each_call(restore_np):
    calls = []

    def empty(*args, **kwargs):
        calls.append((args, kwargs))
        return np.empty(*args, **kwargs)

    s = ce.CySwitch(2)
    ce.np = fake_np(empty)
    s.get_side_potentials(2, 1)
    assert calls == [(((2,),), {"dtype": np.complex128}), (((1,),), {"dtype": np.complex128})]
    assert type(calls[0][0][0][0]) is int
    ce.np = np
    s.get_potentials(1)
    assert len(calls) == 2


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("empty,error,message", [
    (lambda shape, dtype: list(range(shape[0])), TypeError, "Cannot convert list to numpy.ndarray"),
    (lambda shape, dtype: np.empty(shape[0] - 1, dtype), ValueError,
     "the result array made by np.empty holds 1 entries, but 2 are written"),
    (lambda shape, dtype: np.empty(shape, np.float64), ValueError,
     "Buffer dtype mismatch, expected 'double complex' but got 'double'"),
    (lambda shape, dtype: np.empty((shape[0], 1), dtype), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda shape, dtype: np.empty(2 * shape[0], dtype)[::2], ValueError,
     "the result array made by np.empty is not contiguous"),
    (lambda shape, dtype: np.broadcast_to(np.zeros(1, dtype), shape), ValueError,
     "the result array made by np.empty is not writable"),
    (lambda shape, dtype: None, ValueError, "np.empty returned None, but 2 entries are written"),
])
def test_rebound_np_results_are_checked_before_the_engine_writes(empty, error, message, restore_np):
    ce.np = fake_np(empty)
    with pytest.raises(error) as info:
        ce.CySwitch(1).get_potentials(2)
    assert str(info.value) == message


def test_rebound_np_may_make_subclasses_or_none_for_nothing(restore_np):
    ce.np = fake_np(lambda shape, dtype: np.empty(shape, dtype).view(Sub))
    assert type(ce.CySwitch(1).get_potentials(2)) is Sub
    ce.np = fake_np(lambda shape, dtype: None)
    assert ce.CySwitch(1).get_potentials(0) is None


def test_rebound_dtype_is_used(restore_np):
    ce.np = fake_np(np.empty, complex128=np.float64)
    with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'double complex' but got 'double'$"):
        ce.CySwitch(1).get_currents(1)


def test_traceback_entries_point_into_the_binding_sources():
    with pytest.raises(RuntimeError) as info:
        ce.CySwitch(-1)
    tb = info.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_code.co_name == ENTRY + "CySwitch.__cinit__"
    assert tb.tb_frame.f_code.co_filename.startswith("load_flow_engine/cy_engine/")
    assert tb.tb_lineno > 0
