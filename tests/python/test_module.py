import inspect
import json
import pickle
import copy
import sys
import weakref

import numpy as np
import pytest

import load_flow_engine.cy_engine as ce

MODULE = "load_flow_engine.cy_engine"

# (type, base) in declaration order; None stands for object.
TYPES = [
    ("CyElement", None), ("CyBranch", "CyElement"), ("CySwitch", "CyBranch"), ("CyOpenSwitch", "CyBranch"),
    ("CySimplifiedLine", "CyBranch"), ("CyShuntLine", "CyBranch"), ("CyBus", "CyElement"), ("CyLoad", "CyElement"),
    ("CyPowerLoad", "CyLoad"), ("CyDeltaPowerLoad", "CyLoad"), ("CyAdmittanceLoad", "CyLoad"),
    ("CyDeltaAdmittanceLoad", "CyLoad"), ("CyCurrentLoad", "CyLoad"), ("CyDeltaCurrentLoad", "CyLoad"),
    ("CyLoadBalancer", "CyLoad"), ("CyControl", None), ("CyProjection", None), ("CyFlexibleParameter", None),
    ("CyFlexibleLoad", "CyLoad"), ("CyDeltaFlexibleLoad", "CyLoad"), ("CyGround", "CyElement"),
    ("CyPotentialRef", "CyElement"), ("CyDeltaPotentialRef", "CyElement"), ("CyVoltageSource", "CyElement"),
    ("CyDeltaVoltageSource", "CyElement"), ("CyTransformer", "CyBranch"), ("CyThreePhaseTransformer", "CyTransformer"),
    ("CySingleTransformer", "CyTransformer"), ("CyCenterTransformer", "CyTransformer"),
    ("CySingleVoltageRegulator", "CyBranch"), ("CyElectricalNetwork", None), ("CyAbstractSolver", None),
    ("CyAbstractNewton", "CyAbstractSolver"), ("CyNewton", "CyAbstractNewton"),
    ("CyNewtonGoldstein", "CyAbstractNewton"), ("CyBackwardForward", "CyAbstractSolver"),
]
ABSTRACT = {"CyElement", "CyBranch", "CyLoad", "CyTransformer", "CyAbstractSolver", "CyAbstractNewton"}


def test_namespace_holds_types_in_order_and_the_module_attributes():
    names = [n for n in vars(ce) if n.startswith("Cy")]
    assert names == [n for n, _ in TYPES]
    assert ce.np is np
    assert ce.__test__ == {} and type(ce.__test__) is dict
    assert ce.__builtins__ is __import__("builtins")
    assert ce.__doc__ is None
    assert ce.__package__ == "load_flow_engine"
    assert ce.__file__ == ce.__spec__.origin
    assert not hasattr(ce, "__path__")
    assert sys.modules[MODULE] is ce


@pytest.mark.parametrize("name,base", TYPES)
def test_type_names_bases_and_docs(name, base):
    t = getattr(ce, name)
    assert t.__name__ == name and t.__qualname__ == name
    assert t.__module__ == MODULE
    assert repr(t) == f"<class '{MODULE}.{name}'>"
    assert t.__base__ is (object if base is None else getattr(ce, base))
    assert t.__doc__ is None


def test_method_resolution_orders():
    assert ce.CyBus.__mro__ == (ce.CyBus, ce.CyElement, object)
    assert ce.CyNewtonGoldstein.__mro__ == (ce.CyNewtonGoldstein, ce.CyAbstractNewton, ce.CyAbstractSolver, object)
    assert ce.CyThreePhaseTransformer.__mro__[:4] == (
        ce.CyThreePhaseTransformer, ce.CyTransformer, ce.CyBranch, ce.CyElement)


def test_methods_live_on_their_defining_type_only():
    assert ce.CyBus.connect is ce.CyElement.connect
    assert "connect" not in vars(ce.CyBus)
    assert ce.CyThreePhaseTransformer.connect_side is ce.CyBranch.connect_side
    assert set(vars(ce.CyElement)) >= {"connect", "connect_ports", "disconnect", "get_potentials", "get_currents",
                                       "get_port_potential", "get_port_current", "__reduce__", "__setstate__"}


@pytest.mark.parametrize("name", ["CyElement", "CyBranch", "CyLoad", "CyTransformer", "CyAbstractSolver"])
def test_objects_have_no_attributes_weakrefs_or_gc_tracking(name):
    obj = getattr(ce, name)()
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    import gc
    assert not gc.is_tracked(obj)
    with pytest.raises(TypeError):
        getattr(ce, name).anything = 1
    with pytest.raises(TypeError):
        del getattr(ce, name).__reduce__


METHODS = [
    (ce.CyElement.connect, "connect", "CyElement.connect", "CyElement.connect(self, CyElement cy_element, connections)",
     ["self", "cy_element", "connections"]),
    (ce.CyElement.connect_ports, "connect_ports", "CyElement.connect_ports",
     "CyElement.connect_ports(self, int[::1] ports)", ["self", "ports"]),
    (ce.CyElement.disconnect, "disconnect", "CyElement.disconnect", "CyElement.disconnect(self)", ["self"]),
    (ce.CyElement.get_potentials, "get_potentials", "CyElement.get_potentials",
     "CyElement.get_potentials(self, int n)", ["self", "n"]),
    (ce.CyElement.get_currents, "get_currents", "CyElement.get_currents", "CyElement.get_currents(self, int n)",
     ["self", "n"]),
    (ce.CyElement.get_port_potential, "get_port_potential", "CyElement.get_port_potential",
     "CyElement.get_port_potential(self, int index)", ["self", "index"]),
    (ce.CyElement.get_port_current, "get_port_current", "CyElement.get_port_current",
     "CyElement.get_port_current(self, int index)", ["self", "index"]),
    (ce.CyBranch.connect_side, "connect_side", "CyBranch.connect_side",
     "CyBranch.connect_side(self, CyElement element, connections, bool beginning)",
     ["self", "element", "connections", "beginning"]),
    (ce.CyBranch.get_side_potentials, "get_side_potentials", "CyBranch.get_side_potentials",
     "CyBranch.get_side_potentials(self, int n1, int n2)", ["self", "n1", "n2"]),
    (ce.CyBranch.get_side_currents, "get_side_currents", "CyBranch.get_side_currents",
     "CyBranch.get_side_currents(self, int n1, int n2)", ["self", "n1", "n2"]),
    (ce.cy_set_logging_config, "cy_set_logging_config", "cy_set_logging_config",
     "cy_set_logging_config(str severity)", ["severity"]),
]


@pytest.mark.parametrize("function,name,qualname,doc,params", METHODS, ids=[m[2] for m in METHODS])
def test_method_objects_carry_names_signature_text_and_parameters(function, name, qualname, doc, params):
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == MODULE
    assert function.__doc__ == doc
    assert list(inspect.signature(function).parameters) == params


def test_methods_bind_instances_as_self():
    bound = ce.CyBranch().get_side_potentials
    assert bound.__self__ is not None and bound.__func__ is ce.CyBranch.get_side_potentials
    assert bound.__doc__ == "CyBranch.get_side_potentials(self, int n1, int n2)"
    assert list(inspect.signature(bound).parameters) == ["n1", "n2"]


@pytest.mark.parametrize("name", [n for n, _ in TYPES])
def test_pickling_and_copying_are_refused(name, entry_names):
    t = getattr(ce, name)
    message = ("self.element cannot be converted to a Python object for pickling"
               if name in {"CyElement", "CyBranch", "CyLoad", "CyTransformer"} else
               "self.solver cannot be converted to a Python object for pickling"
               if name in {"CyAbstractSolver", "CyAbstractNewton"} else
               "no default __reduce__ due to non-trivial __cinit__")
    assert t.__reduce__.__qualname__ == f"{name}.__reduce__"
    assert "__reduce__" in vars(t) and "__setstate__" in vars(t)
    if name not in ABSTRACT:
        return  # the refusal through an object is tested with the concrete types
    obj = t()
    for attempt in (lambda: pickle.dumps(obj), lambda: pickle.dumps(obj, 0), lambda: copy.copy(obj),
                    lambda: copy.deepcopy(obj), obj.__reduce__, lambda: obj.__setstate__({})):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        obj.__reduce__()
    assert entry_names(info.value)[-1] == f"{MODULE}.{name}.__reduce__"


def test_subclass_inherits_refusal_unless_it_reduces_itself():
    class Mine(ce.CyBranch):
        pass

    class Picklable(ce.CyBranch):
        def __reduce__(self):
            return (Picklable, ())

    with pytest.raises(TypeError, match="^self.element cannot be converted"):
        pickle.dumps(Mine())
    assert type(copy.copy(Picklable())) is Picklable


def test_refusal_methods_check_their_arguments():
    obj = ce.CyAbstractNewton()
    with pytest.raises(TypeError, match=r"^__reduce__\(\) takes exactly 0 positional arguments \(1 given\)$"):
        obj.__reduce__(1)
    with pytest.raises(TypeError, match=r"^__setstate__\(\) takes exactly 1 positional argument \(0 given\)$"):
        obj.__setstate__()
    with pytest.raises(TypeError, match="^self.solver cannot"):
        obj.__setstate__(state=None)


def test_reimport_returns_the_same_module():
    import importlib

    types_before = [getattr(ce, n) for n, _ in TYPES]
    del sys.modules[MODULE]
    again = importlib.import_module(MODULE)
    assert again is ce and sys.modules[MODULE] is ce
    assert [getattr(again, n) for n, _ in TYPES] == types_before
    assert importlib.reload(ce) is ce
    assert ce.np is np


def test_the_source_tree_never_stands_in_for_the_module():
    """Python started at the repository root, with the root first on its path,
    still imports the extension this process imported."""
    import os
    import subprocess

    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    code = "import load_flow_engine.cy_engine as m; print(m.__file__); print(m.CyBus.__name__)"
    out = subprocess.run([sys.executable, "-c", code], cwd=root, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [ce.__file__, "CyBus"]


def test_import_under_another_name_registers_the_module(run_child):
    done = run_child("""
        import importlib.util, sys
        import load_flow_engine
        path = load_flow_engine.__path__[0]
        import glob
        (origin,) = glob.glob(path + "/cy_engine*.so")
        spec = importlib.util.spec_from_file_location("elsewhere.cy_engine", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.__name__ == "elsewhere.cy_engine"
        assert sys.modules["load_flow_engine.cy_engine"] is module
        import load_flow_engine.cy_engine as again
        assert again is module
        print("ok")
    """)
    assert done.stdout == b"ok\n", done.stderr.decode()


def test_executing_on_another_module_object_is_refused(run_child):
    done = run_child("""
        import importlib.util
        spec = importlib.util.find_spec("load_flow_engine.cy_engine")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        spec.loader.exec_module(first)
        print(importlib.util.module_from_spec(spec) is first)
    """)
    assert done.stdout.decode().splitlines() == [
        "Module 'cy_engine' has already been imported. Re-initialisation is not supported.", "True"], done.stderr


REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_second_interpreter_is_refused(run_child):
    """Under the legacy configuration the module's own check refuses the second
    interpreter; an isolated one may be refused by the interpreter first."""
    done = run_child("""
        import json

        import load_flow_engine.cy_engine

        IMPORT = "import load_flow_engine.cy_engine"
        try:
            import _interpreters  # 3.13 on: the failure comes back as a snapshot
        except ImportError:
            import _xxsubinterpreters as interpreters

            def run(isolated):
                interp = interpreters.create(isolated=isolated)  # 3.11 makes a legacy one either way
                try:
                    interpreters.run_string(interp, IMPORT)
                except interpreters.RunFailedError as e:
                    # "<class 'ImportError'>: text" (3.11) or "ImportError: text" (3.12)
                    head, _, text = str(e).partition(": ")
                    kind = head.removeprefix("<class '").removesuffix("'>")
                    return [kind, text]
                finally:
                    interpreters.destroy(interp)
                return None
        else:
            def run(isolated):
                interp = _interpreters.create("isolated" if isolated else "legacy")
                try:
                    failure = _interpreters.run_string(interp, IMPORT)
                finally:
                    _interpreters.destroy(interp)
                return None if failure is None else [failure.type.__name__, failure.msg]

        print(json.dumps({"legacy": run(False), "isolated": run(True)}))
    """)
    assert done.returncode == 0, done.stderr
    refusals = json.loads(done.stdout)
    assert refusals["legacy"] == ["ImportError", REFUSAL]
    assert refusals["isolated"] in (["ImportError", REFUSAL], [
        "ImportError", "module load_flow_engine.cy_engine does not support loading in subinterpreters"])


def test_import_gives_no_version_warning_for_its_own_interpreter(run_child):
    done = run_child("import load_flow_engine.cy_engine; print('ok')", "-W", "error")
    assert done.stdout == b"ok\n", done.stderr


FAKE_NUMPY_TYPES = ["dtype", "flatiter", "broadcast", "ndarray", "generic", "number", "integer", "signedinteger",
                    "unsignedinteger", "inexact", "floating", "complexfloating", "flexible", "character", "ufunc"]


def fake_numpy(tmp_path, body):
    package = tmp_path / "fake" / "numpy"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text(body)
    return tmp_path / "fake"


def test_numpy_names_must_be_types(tmp_path, run_child):
    path = fake_numpy(tmp_path, "\n".join(f"{n} = type" for n in FAKE_NUMPY_TYPES[:1]) + "\nflatiter = 1\n")
    done = run_child("""
        try:
            import load_flow_engine.cy_engine
        except TypeError as e:
            print(e)
    """, path=path)
    assert done.stdout == b"numpy.flatiter is not a type object\n", done.stderr


def test_numpy_types_must_not_shrink(tmp_path, run_child):
    path = fake_numpy(tmp_path, "class dtype: pass\n")
    done = run_child("""
        try:
            import load_flow_engine.cy_engine
        except ValueError as e:
            print(e)
    """, path=path)
    assert done.stdout.startswith(b"numpy.dtype size changed, may indicate binary incompatibility. Expected "), \
        done.stderr
    assert done.stdout.endswith(b"from PyObject\n")


def test_failed_native_interface_chains_and_a_later_import_starts_over(tmp_path, run_child):
    big = "class Big:\n    __slots__ = tuple('s%d' % i for i in range(400))\n"
    path = fake_numpy(tmp_path, big + "".join(f"{n} = Big\n" for n in FAKE_NUMPY_TYPES))
    done = run_child("""
        import sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                import load_flow_engine.cy_engine
            except ImportError as e:
                print(e)
                print(type(e.__context__).__name__)
                tb = e.__traceback__
                while tb.tb_next: tb = tb.tb_next
                print(tb.tb_frame.f_code.co_name)
        print(sorted({str(w.message).split(' size changed')[0] for w in caught if w.category is RuntimeWarning}))
        # The real NumPy next: the import starts over on a new module object.
        sys.path.remove(sys.path[1]) if 'fake' in sys.path[1] else None
        for name in [m for m in sys.modules if m == 'numpy' or m.startswith('numpy.')]:
            del sys.modules[name]
        sys.path = [p for p in sys.path if not p.endswith('fake')]
        import load_flow_engine.cy_engine as ce
        print(ce.np.__name__, ce.CyElement.connect.__name__)
    """, path=path)
    lines = done.stdout.decode().splitlines()
    assert lines[:3] == ["numpy._core.multiarray failed to import", "ModuleNotFoundError",
                         "init load_flow_engine.cy_engine"], done.stderr
    assert lines[3] == str(sorted(f"numpy.{n}" for n in FAKE_NUMPY_TYPES[4:14]))
    assert lines[4] == "numpy connect"
