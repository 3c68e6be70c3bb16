import pytest

import load_flow_engine.cy_engine as ce

ENTRY = "load_flow_engine.cy_engine.cy_set_logging_config"


@pytest.mark.parametrize("value,got", [(b"info", "bytes"), (None, "NoneType"), (1, "int")])
def test_severity_must_be_exactly_str(value, got, entry_names):
    with pytest.raises(TypeError) as info:
        ce.cy_set_logging_config(value)
    assert str(info.value) == f"Argument 'severity' has incorrect type (expected str, got {got})"
    assert ENTRY not in entry_names(info.value)


def test_str_subclass_is_refused():
    class Name(str):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'severity' has incorrect type \(expected str, got Name\)$"):
        ce.cy_set_logging_config(Name("info"))


@pytest.mark.parametrize("name", ["Debug", "WARNING", "warn", "err", "", "info ", "info\0"])
def test_unknown_severity(name, entry_names):
    with pytest.raises(RuntimeError) as info:
        ce.cy_set_logging_config(name)
    # An embedded zero ends the engine's message text.
    assert str(info.value) == "Unknown severity string " + name + "."
    assert entry_names(info.value)[-1] == ENTRY


def test_unencodable_severity_raises_unicode_error(entry_names):
    with pytest.raises(UnicodeEncodeError) as info:
        ce.cy_set_logging_config("\ud800")
    assert entry_names(info.value)[-1] == ENTRY


def test_known_names_by_position_and_keyword():
    for name in ["trace", "debug", "info", "warning", "error", "critical", "off"]:
        assert ce.cy_set_logging_config(name) is None
    assert ce.cy_set_logging_config(severity="info") is None


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "cy_set_logging_config() takes exactly 1 positional argument (0 given)"),
    (("info", "debug"), {}, "cy_set_logging_config() takes exactly 1 positional argument (2 given)"),
    ((), {"level": "info"}, "cy_set_logging_config() got an unexpected keyword argument 'level'"),
    (("info",), {"severity": "info"}, "cy_set_logging_config() got multiple values for keyword argument 'severity'"),
    (("info", "x"), {"severity": "info"}, "cy_set_logging_config() takes exactly 1 positional argument (2 given)"),
])
def test_argument_matching(args, kwargs, message, entry_names):
    with pytest.raises(TypeError) as info:
        ce.cy_set_logging_config(*args, **kwargs)
    assert str(info.value) == message
    assert entry_names(info.value)[-1] == ENTRY


def test_configuration_reaches_the_engine_logger_only_through_its_lines(run_child):
    # The module writes nothing at import or configuration time.
    done = run_child("""
        import load_flow_engine.cy_engine as ce
        ce.cy_set_logging_config("debug")
        ce.cy_set_logging_config("off")
    """)
    assert done.returncode == 0 and done.stdout == b"", done.stderr
