"""The log lines of parse_flow hold the records found exactly as an f-string shows them."""

from types import SimpleNamespace

import pytest
from hypothesis import given, settings, strategies as st

from zorv_sdk.nodered import flow
from zorv_sdk.nodered.flow import FlowAPIWrapper

ASCII = st.text(st.characters(max_codepoint=127))
LEAVES = (ASCII | st.text() | st.integers() | st.integers(min_value=2**62, max_value=2**70).map(lambda n: n * -1)
          | st.floats() | st.booleans() | st.none() | st.just(2**63 - 1) | st.just(-2**63))
KEYS = ASCII | st.text() | st.integers() | st.floats(allow_nan=False) | st.booleans() | st.none()
PLAIN = st.recursive(LEAVES, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=4),
                     max_leaves=30)


class Shown:
    """A value whose text is its own, and which counts how often it is asked for it."""
    calls = 0

    def __repr__(self):
        Shown.calls += 1
        return "<shown>"


def shared_list():
    inner = ["x"]
    return [inner, {"again": inner}]


def cycle():
    outer = [1]
    outer.append({"back": outer})
    return outer


def nested(depth):
    value = "leaf"
    for level in range(depth):
        value = [value] if level % 2 else {"down": value}
    return value


class Text(str):
    pass


class Table(dict):
    pass


def parse_logging(extra, source_extra):
    """parse_flow on a table of two records, each holding one extra value: the records and the
    messages it logged."""
    source = {"id": "a", "type": "source", "extra": source_extra, "wires": [["b"]]}
    target = {"id": "b", "type": "function", "extra": extra, "wires": []}
    wrapper = FlowAPIWrapper(node_id="b", node_type="function")
    wrapper._load_flow = lambda: setattr(wrapper, "_nodes", {"a": source, "b": target}) or True
    messages = []
    shown_by, flow.logger = flow.logger, SimpleNamespace(info=messages.append, error=messages.append)
    try:
        wrapper.parse_flow()
    finally:
        flow.logger = shown_by
    return source, target, messages


def as_python_logs(source, target):
    return [
        f"Node info: {target}",
        f"Previous nodes - {[{'node': source, 'port': 0}]}",
        "Next nodes - []",
        "vid-fed node - None, None",
    ]


@settings(max_examples=300, deadline=None)
@given(PLAIN, PLAIN)
def test_records_of_plain_data_are_shown_as_str_shows_them(extra, source_extra):
    source, target, messages = parse_logging(extra, source_extra)
    assert messages == as_python_logs(source, target)


@pytest.mark.parametrize("extra", [
    "quote ' only", 'double " only', "both ' and \"", "back\\slash", "\t\n\r\x00\x1f\x7f", "é and 𝄞",
    1e16, -0.0, float("nan"), float("-inf"), 2**64, -2**63 - 1, True, None,
    (1, "tuple"), Text("sub"), Table(a=1), shared_list(), cycle(), nested(11), nested(12), nested(40),
], ids=lambda value: type(value).__name__)
def test_odd_values_are_shown_as_str_shows_them(extra):
    source, target, messages = parse_logging(extra, [extra])
    assert messages == as_python_logs(source, target)


def test_code_of_a_value_runs_once_a_line_as_str_runs_it():
    Shown.calls = 0
    _, _, messages = parse_logging({"deep": [Shown()]}, "plain")
    assert Shown.calls == 1
    assert messages[0].endswith("'extra': {'deep': [<shown>]}, 'wires': []}")


def test_an_int_too_long_to_show_raises_what_str_raises():
    huge = 10**5000
    with pytest.raises(ValueError) as expected:
        f"{[huge]}"
    with pytest.raises(ValueError) as raised:
        parse_logging([huge], "plain")
    assert str(raised.value) == str(expected.value)
