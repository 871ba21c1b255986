"""seek_prev_nodes and seek_next_nodes on hand-made node tables."""

import sys
from types import SimpleNamespace

import pytest
from search_flows import make_wrapper, node, pairs

PREV_CASES = {
    "empty table": ([], {"id": "S"}, []),
    "no wires or empty wires": ([{"id": "A"}, node("B")], {"id": "S"}, []),
    "empty ports still counted": ([node("A", [], ["S"])], {"id": "S"}, [("A", 1)]),
    "one entry per matching port": ([node("A", ["S"], ["X"], ["S"])], {"id": "S"}, [("A", 0), ("A", 2)]),
    "repeated id in one port": ([node("A", ["S", "S"])], {"id": "S"}, [("A", 0)]),
    "table order before port order": (
        [node("C", [], ["S"]), node("A", ["S"], ["S"])], {"id": "S"}, [("C", 1), ("A", 0), ("A", 1)]),
    "self-loop": ([node("A", ["B", "A"])], node("A"), [("A", 0)]),
    "cur_node outside the table": ([node("A", ["S"]), node("S")], {"id": "S", "type": "x"}, [("A", 0)]),
    "cur_node without id uses None": ([node("A", ["S"]), node("B", [], [None])], {}, [("B", 1)]),
}


@pytest.mark.parametrize("records, target, expected", PREV_CASES.values(), ids=PREV_CASES)
def test_prev_nodes(records, target, expected):
    w = make_wrapper(*records)
    assert pairs(w, w.seek_prev_nodes(target)) == expected


NEXT_CASES = {
    "no wires": ({"id": "S"}, []),
    "empty wires": (node("S"), []),
    "empty port still numbered": (node("S", ["A"], [], ["B", "C"]), [("A", 0), ("B", 2), ("C", 2)]),
    "one entry per listed id": (node("S", ["A", "A"], ["A"]), [("A", 0), ("A", 0), ("A", 1)]),
    "self-loop": (node("S", ["S"]), [("S", 0)]),
}


@pytest.mark.parametrize("cur, expected", NEXT_CASES.values(), ids=NEXT_CASES)
def test_next_nodes(cur, expected):
    w = make_wrapper(node("A"), node("B"), node("C"), node("S"))
    assert pairs(w, w.seek_next_nodes(cur)) == expected


@pytest.mark.parametrize("wires, exc, args", [
    ([["A", "ghost"]], KeyError, ("ghost",)),
    ([["A", ("gh", "ost")]], KeyError, (("gh", "ost"),)),  # a tuple is the one argument, as a dict raises it
    (None, TypeError, None), ([None], TypeError, None), ([["A"], 5], TypeError, None)])
def test_next_failures(wires, exc, args):
    with pytest.raises(exc) as err:
        make_wrapper(node("A")).seek_next_nodes({"id": "S", "wires": wires})
    assert exc is TypeError or err.value.args == args


def test_prev_reads_wires_with_get_and_empty_default():
    calls = []
    rec = SimpleNamespace(get=lambda *args, **kwargs: calls.append((args, kwargs)) or [[], ["S"]])
    w = make_wrapper()
    w._nodes = {"R": rec}
    assert [(e["node"], e["port"]) for e in w.seek_prev_nodes({"id": "S"})] == [(rec, 1)]
    assert calls == [(("wires", []), {})]


@pytest.mark.parametrize("table, exc, text", [
    (None, AttributeError, "'NoneType' object has no attribute 'values'"),
    ({"A": 5}, AttributeError, "'int' object has no attribute 'get'"),
    ({"A": {"wires": None}}, TypeError, "'NoneType' object is not iterable"),
    ({"A": node("A", ["S"]), "B": node("B", ["S"])}, RuntimeError, "dictionary changed size during iteration"),
])
def test_prev_failures(table, exc, text):
    w = make_wrapper()
    w._nodes = table = dict(table) if isinstance(table, dict) else table  # a run of its own
    # An id whose comparison grows the table in the middle of the walk.
    grower = type("Grower", (), {"__eq__": lambda self, other: table.update({object(): {}}) or False,
                                 "__hash__": object.__hash__})()
    with pytest.raises(exc) as err:
        w.seek_prev_nodes({"id": grower})
    assert str(err.value) == text


@pytest.mark.parametrize("method", ["seek_prev_nodes", "seek_next_nodes"])
def test_missing_table_names_itself_as_attribute_reads_do(method):
    """The AttributeError carries the name and object, which a traceback's suggestions read."""
    w = make_wrapper(node("A"))
    del w._nodes
    with pytest.raises(AttributeError) as err:
        getattr(w, method)({"id": "S", "wires": [["A"]]})
    assert str(err.value) == "'FlowAPIWrapper' object has no attribute '_nodes'"
    if sys.version_info >= (3, 10):  # from 3.10 on, AttributeError names them
        assert (err.value.name, err.value.obj) == ("_nodes", w)
