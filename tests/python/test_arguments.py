"""Argument matching and conversions, through the abstract element types:
their methods convert every argument before they find no engine object."""

import warnings

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce

NO_ENGINE = "owns no engine object"


def engine_less(call):
    """Runs a call on an abstract object: the arguments are accepted exactly
    when the call fails on the missing engine object."""
    with pytest.raises(TypeError) as info:
        call()
    assert NO_ENGINE in str(info.value), info.value


SIDE = "CyBranch.get_side_potentials"


@pytest.mark.parametrize("call,message,entry", [
    (lambda b: b.get_side_potentials(1), "get_side_potentials() takes exactly 2 positional arguments (1 given)", SIDE),
    (lambda b: b.get_side_potentials(1, 2, 3), "get_side_potentials() takes exactly 2 positional arguments (3 given)",
     SIDE),
    (lambda b: b.get_side_potentials(1, 2, 3, n1=1),
     "get_side_potentials() takes exactly 2 positional arguments (3 given)", SIDE),
    (lambda b: b.get_side_potentials(1, 2, n1=1), "get_side_potentials() got multiple values for keyword argument 'n1'",
     SIDE),
    (lambda b: b.get_side_potentials(n2=1), "get_side_potentials() takes exactly 2 positional arguments (0 given)", SIDE),
    (lambda b: b.get_side_potentials(1, n3=1), "get_side_potentials() got an unexpected keyword argument 'n3'", SIDE),
    (lambda b: b.get_port_current(), "get_port_current() takes exactly 1 positional argument (0 given)",
     "CyElement.get_port_current"),
    (lambda b: b.connect_side(None, beginning=True),
     "connect_side() takes exactly 3 positional arguments (1 given)", "CyBranch.connect_side"),
    # A method without parameters adds no entry for its argument failures.
    (lambda b: b.disconnect(1), "disconnect() takes exactly 0 positional arguments (1 given)", None),
    (lambda b: b.disconnect(x=1), "disconnect() got an unexpected keyword argument 'x'", None),
    (lambda b: b.disconnect(1, x=1), "disconnect() takes exactly 0 positional arguments (1 given)", None),
])
def test_matching_messages(call, message, entry, entry_names):
    with pytest.raises(TypeError) as info:
        call(ce.CyBranch())
    assert str(info.value) == message
    entries = [n for n in entry_names(info.value) if n.startswith("load_flow_engine")]
    assert entries == ([] if entry is None else ["load_flow_engine.cy_engine." + entry])


def test_keywords_fill_any_parameter_in_any_order():
    b = ce.CyBranch()
    engine_less(lambda: b.get_side_potentials(n2=1, n1=2))
    engine_less(lambda: b.get_side_potentials(1, n2=2))

    class Name(str):
        pass

    engine_less(lambda: b.get_side_potentials(**{Name("n1"): 1, "n2": 2}))


def test_method_through_its_type():
    with pytest.raises(TypeError, match=r"^disconnect\(\) needs an argument$"):
        ce.CyElement.disconnect()
    with pytest.raises(TypeError, match=r"^connect\(\) needs an argument$"):
        ce.CyElement.connect()
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        ce.CyElement.disconnect(5)
    with pytest.raises(TypeError, match="doesn't apply to a 'CyElement' object|doesn't apply"):
        ce.CyBranch.connect_side(ce.CyElement(), None, [], True)
    engine_less(lambda: ce.CyElement.disconnect(ce.CyBranch()))


def two_bases(first, second):
    return type(f"{first.__name__}And{second.__name__}", (first, second), {})


OTHER_ENGINE = "{}() of {} does not apply to a {} object: its engine object was made by {}"


@pytest.mark.parametrize("first,second,args,call,entry", [
    (ce.CySwitch, ce.CySimplifiedLine, (1,), lambda x: x.update_single_line_parameters(1j),
     "CySimplifiedLine.update_single_line_parameters"),
    (ce.CyGround, ce.CyBus, (), lambda x: x.initialize_potentials(np.ones(1, complex)), "CyBus.initialize_potentials"),
    (ce.CyDeltaPotentialRef, ce.CyPotentialRef, (2,), lambda x: ce.CyPotentialRef.get_current(x),
     "CyPotentialRef.get_current"),
    (ce.CyPowerLoad, ce.CyFlexibleLoad, (4, np.ones(3, complex)), lambda x: ce.CyFlexibleLoad.get_powers(x, 4),
     "CyFlexibleLoad.get_powers"),
    (ce.CyBackwardForward, ce.CyNewton, (ce.CyElectricalNetwork(None, 0),), lambda x: x.get_jacobian(),
     "CyAbstractNewton.get_jacobian"),
])
def test_class_of_two_binding_types_refuses_the_second_bases_methods(first, second, args, call, entry,
                                                                       binding_entries):
    """Python accepts a class deriving from two binding types of one family,
    and its instances pass the instance test of both; only the first base's
    constructor made the engine object, so the methods of the second refuse
    it rather than take it for an object of their class."""
    x = two_bases(first, second)(*args)
    if isinstance(x, ce.CyElement):  # the common base's methods apply
        assert x.get_currents(1).shape == (1,)
    else:
        assert x.get_variables().shape == (0,)
    with pytest.raises(TypeError) as info:
        call(x)
    name, owner = entry.split(".")[1], entry.split(".")[0]
    assert str(info.value) == OTHER_ENGINE.format(name, owner, type(x).__name__, first.__name__)
    assert binding_entries(info.value) == [entry]


class Int:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntSub(int):
    pass


@pytest.mark.parametrize("value", [3, True, 2.9, -2.9, np.int64(3), np.int32(-4), np.float64(1.5), Int(7),
                                   2**31 - 1, -2**31])
def test_int_conversion_accepts(value):
    engine_less(lambda: ce.CyElement().get_potentials(value))


@pytest.mark.parametrize("value,error,message", [
    ("3", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (3j, TypeError, "an integer is required"),
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (2**40, OverflowError, "value too large to convert to int"),
    (2**70, OverflowError, "Python int too large to convert to C long"),
    (Int(1.5), TypeError, "__int__ returned non-int (type float)"),
    (Int(2**40), OverflowError, "value too large to convert to int"),
])
def test_int_conversion_refuses(value, error, message, entry_names):
    with pytest.raises(error) as info:
        ce.CyElement().get_potentials(value)
    assert str(info.value) == message
    assert entry_names(info.value)[-1] == "load_flow_engine.cy_engine.CyElement.get_potentials"


def test_int_subclass_from_dunder_int_warns():
    text = ("__int__ returned non-int (type IntSub).  The ability to return an instance of a strict subclass of int "
            "is deprecated, and may be removed in a future version of Python.")
    with pytest.warns(DeprecationWarning) as caught:
        engine_less(lambda: ce.CyElement().get_potentials(Int(IntSub(2))))
    assert [str(w.message) for w in caught] == [text]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="^__int__ returned non-int"):
            ce.CyElement().get_potentials(Int(IntSub(2)))


def test_conversions_stop_at_the_first_failure_in_declared_order():
    with pytest.raises(TypeError, match="^an integer is required$"):
        ce.CyBranch().get_side_potentials("a", 2**40)
    with pytest.raises(OverflowError):
        ce.CyBranch().get_side_potentials(1, 2**40)


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("value", [True, False, None, [], [0], "", "x", 0.0, np.bool_(True)])
def test_bool_conversion_accepts_anything_with_a_truth_value(value):
    engine_less(lambda: ce.CyBranch().connect_side(None, [], value))


def test_bool_is_converted_before_the_type_test():
    with pytest.raises(ZeroDivisionError):
        ce.CyBranch().connect_side(5, [], Falsy())


def test_argument_type_rule(entry_names):
    for other in [ce.CyBranch(), ce.CyElement(), None]:
        engine_less(lambda: ce.CyBranch().connect_side(other, [], True))
    for bad, got in [(5, "int"), ([], "list"), (ce.CyAbstractSolver(), "load_flow_engine.cy_engine.CyAbstractSolver")]:
        with pytest.raises(TypeError) as info:
            ce.CyBranch().connect_side(bad, [], True)
        assert str(info.value) == ("Argument 'element' has incorrect type (expected "
                                   f"load_flow_engine.cy_engine.CyElement, got {got})")
        assert not [n for n in entry_names(info.value) if n.startswith("load_flow_engine")]


class ReadOnly:
    pass


def as_read_only(a):
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("value,error,message", [
    (np.zeros(3), ValueError, "Buffer dtype mismatch, expected 'int' but got 'double'"),
    (np.zeros(3, np.int64), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
    (np.zeros(3, np.longlong), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long long'"),
    (np.zeros(3, np.int16), ValueError, "Buffer dtype mismatch, expected 'int' but got 'short'"),
    (np.zeros(3, np.int8), ValueError, "Buffer dtype mismatch, expected 'int' but got 'signed char'"),
    (np.zeros(3, np.uint32), ValueError, "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
    (np.zeros(3, np.uint64), ValueError, "Buffer dtype mismatch, expected 'int' but got 'unsigned long'"),
    (np.zeros(3, np.uint8), ValueError, "Buffer dtype mismatch, expected 'int' but got 'unsigned char'"),
    (np.zeros(3, np.float32), ValueError, "Buffer dtype mismatch, expected 'int' but got 'float'"),
    (np.zeros(3, np.longdouble), ValueError, "Buffer dtype mismatch, expected 'int' but got 'long double'"),
    (np.zeros(3, np.complex64), ValueError, "Buffer dtype mismatch, expected 'int' but got 'complex float'"),
    (np.zeros(3, np.complex128), ValueError, "Buffer dtype mismatch, expected 'int' but got 'complex double'"),
    (np.zeros(3, bool), ValueError, "Buffer dtype mismatch, expected 'int' but got 'bool'"),
    (np.zeros(3, object), ValueError, "Buffer dtype mismatch, expected 'int' but got Python object"),
    (np.zeros(3, "S2"), ValueError, "Buffer dtype mismatch, expected 'int' but got a string"),
    (np.zeros(3, [("a", np.int32), ("b", np.int32)]), ValueError,
     "Buffer dtype mismatch, expected end but got 'int'"),
    (np.zeros(3, [("a", np.float64), ("b", np.int32)]), ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'double'"),
    (np.zeros(3, [("a", ">i4"), ("b", np.int32)]), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros(3, np.dtype({"names": ["a"], "formats": ["<i4"], "itemsize": 8})), ValueError,
     "Item size of buffer (8 bytes) does not match size of 'int' (4 bytes)"),
    (np.zeros(3, ">i4"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros(3, "U2"), ValueError, "Unexpected format string character: 'w'"),
    (np.zeros((3, 1), np.int32), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.zeros((), np.int32), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (np.zeros(6, np.int32)[::2], ValueError, "ndarray is not C-contiguous"),
    (as_read_only(np.zeros(3, np.int32)), ValueError, "buffer source array is read-only"),
    ([0, 1], TypeError, "a bytes-like object is required, not 'list'"),
    ((0, 1), TypeError, "a bytes-like object is required, not 'tuple'"),
    (bytearray(b"abcd"), ValueError, "Buffer dtype mismatch, expected 'int' but got 'unsigned char'"),
])
def test_int_buffer_refusals(value, error, message, entry_names):
    with pytest.raises(error) as info:
        ce.CyElement().connect_ports(value)
    assert str(info.value) == message
    assert entry_names(info.value)[-1] == "load_flow_engine.cy_engine.CyElement.connect_ports"


@pytest.mark.parametrize("value", [None, np.zeros(3, np.int32), np.zeros(0, np.int32), np.zeros(6, np.int32)[:3],
                                   np.zeros(3, "<i4"), np.zeros(3, np.intc), np.zeros(3, [("a", np.int32)])])
def test_int_buffer_accepts(value):
    engine_less(lambda: ce.CyElement().connect_ports(value))


@pytest.mark.parametrize("call,fields,message", [
    (lambda a: ce.CyElement().connect_ports(a), [("a", np.int32), ("b", np.int32)],
     "Buffer dtype mismatch, expected end but got 'int'"),
    (lambda a: ce.CyAbstractSolver().set_variables(a), [("a", np.float64), ("b", np.float64)],
     "Buffer dtype mismatch, expected end but got 'double'"),
    (lambda a: ce.CyBus(2, a), [("re", np.complex128), ("im", np.complex128)],
     "Buffer dtype mismatch, expected end but got 'complex double'"),
    (lambda a: ce.CyBus(2, a), [("a", [("x", np.complex128), ("y", np.int32)])],
     "Buffer dtype mismatch, expected end but got 'int'"),
    (lambda a: ce.CyBus(2, a), [("re", np.float64), ("im", np.float64)],
     "Buffer dtype mismatch, expected 'double complex' but got 'double'"),
])
def test_structured_buffers_name_the_field_after_one_item(call, fields, message):
    with pytest.raises(ValueError) as info:
        call(np.zeros(2, fields))
    assert str(info.value) == message


def test_ctypes_buffers():
    import ctypes

    engine_less(lambda: ce.CyElement().connect_ports((ctypes.c_int * 3)()))
    with pytest.raises(ValueError, match="^Big-endian buffer not supported on little-endian compiler$"):
        ce.CyElement().connect_ports((ctypes.c_int.__ctype_be__ * 3)())
