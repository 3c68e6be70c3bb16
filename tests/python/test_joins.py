"""Joining ports into nodes: which node survives, references, disconnect;
observed through the potentials buses give their nodes."""

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce


def bus(*potentials):
    return ce.CyBus(len(potentials), np.array(potentials, dtype=complex))


def test_bus_reads_its_potentials_and_buffer_rules():
    assert list(bus(1, 2, 3).get_potentials(3)) == [1, 2, 3]
    assert list(ce.CyBus(2, np.arange(5, dtype=complex)).get_potentials(2)) == [0, 1]
    assert ce.CyBus(0, None).get_potentials(0).shape == (0,)
    assert list(ce.CyBus(n=2, potentials=np.array([1j, 2j])).get_potentials(2)) == [1j, 2j]
    with pytest.raises(ValueError, match="^Argument 'potentials' holds 2 items, but 3 are read$"):
        ce.CyBus(3, np.zeros(2, complex))
    with pytest.raises(TypeError, match="^Argument 'potentials' is None, but 1 items are read$"):
        ce.CyBus(1, None)
    with pytest.raises(RuntimeError, match="^vector too long$"):
        ce.CyBus(-1, np.zeros(1, complex))
    with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'double complex' but got 'double'$"):
        ce.CyBus(1, np.zeros(1))


def test_parameterless_constructors_ignore_arguments():
    for obj in (ce.CyGround(), ce.CyGround(1, 2, x=3), ce.CyGround("any"), ce.CyPotentialRef(),
                ce.CyPotentialRef(1.5, key=None)):
        assert obj.get_potentials(1).shape == (1,)


def test_connect_keeps_the_calling_elements_nodes():
    a, b = bus(1, 2), bus(10, 20)
    assert a.connect(b, [(0, 1), (1, 0)]) is None
    assert list(b.get_potentials(2)) == [2, 1]
    c = bus(7)
    c.connect(a, [(0, 0)])  # c's node survives, and a's port 0 with b's port 1 move to it
    assert a.get_port_potential(0) == 7 and b.get_port_potential(1) == 7
    assert a.get_port_potential(1) == 2


def test_joining_ports_of_one_node_again_changes_nothing():
    a, b = bus(1, 2), bus(3, 4)
    a.connect(b, [(0, 0), (0, 0), (1, 1)])
    b.connect(a, [(0, 0)])
    a.connect(b, [])
    assert list(a.get_potentials(2)) == [1, 2] and list(b.get_potentials(2)) == [1, 2]


def test_repeated_keyword_on_an_inherited_method():
    with pytest.raises(TypeError, match=r"^get_potentials\(\) got multiple values for keyword argument 'n'$"):
        bus(1, 2, 3).get_potentials(3, n=3)


def test_connect_side_keeps_the_other_elements_nodes():
    s, b = ce.CySwitch(2), bus(5, 6)
    s.connect_side(b, [(0, 1), (1, 0)], True)
    assert list(s.get_side_potentials(2, 2)[0]) == [6, 5]
    s.connect_side(b, [(0, 0)], beginning=False)  # side-2 port 0 is port 2
    assert s.get_port_potential(2) == 5
    s.connect(b, [(3, 1)])  # the switch's node survives
    assert b.get_port_potential(1) == 0 and s.get_port_potential(0) == 0


def test_connect_ports_keeps_the_first_listed_node():
    b = bus(1, 2, 3)
    b.connect_ports(np.array([2, 0, 1], np.int32))
    assert list(b.get_potentials(3)) == [3, 3, 3]
    for nothing in (None, np.zeros(0, np.int32), np.array([1], np.int32)):
        c = bus(1, 2)
        assert c.connect_ports(nothing) is None
        assert list(c.get_potentials(2)) == [1, 2]


def test_failing_pair_leaves_every_node_as_it_was():
    a, b = bus(1, 2, 3), bus(4, 5, 6)
    for bad in ([(0, 0), (1, 1), (2, 2, 2)], [(0, 0), (1, 1), (2, 9)]):
        with pytest.raises((ValueError, IndexError)):
            a.connect(b, bad)
        assert list(b.get_potentials(3)) == [4, 5, 6]


def test_reference_node_survives_any_join():
    ref, b = ce.CyPotentialRef(), bus(3, 4)
    b.connect(ref, [(0, 0)])
    assert b.get_port_potential(0) == 0 and ref.get_port_potential(0) == 0
    c = bus(9)
    ref.connect(c, [(0, 0)])
    assert c.get_port_potential(0) == 0
    ground, d = ce.CyGround(), bus(8)
    d.connect(ground, [(0, 0)])
    assert d.get_port_potential(0) == 8


def test_disconnected_port_keeps_reading_its_old_node_and_stays_off_it():
    s, b = ce.CySwitch(1), bus(5)
    b.connect(s, [(0, 0)])
    s.disconnect()
    s.disconnect()
    assert s.get_port_potential(0) == 5
    other = bus(7)
    other.connect(s, [(0, 0)])  # moves what the old node lists, which is not the switch's port
    assert s.get_port_potential(0) == 5 and b.get_port_potential(0) == 7
