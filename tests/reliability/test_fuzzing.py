"""Every method called with arbitrary values, the download fed arbitrary bodies, and the searches
and the table build meeting ids and keys whose comparison raises or changes the flow under them."""

import collections
import copy
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from differential import MODULES, plain_twin, rebind
import plain_flow
from reliability.conftest import VIDEO_TYPES, Trap, in_child, outcome

from zorv_sdk.nodered import flow

W = flow.FlowAPIWrapper
FUZZ = settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
SEARCHES = ["seek_prev_nodes", "seek_next_nodes", "seek_video_feed"]


def deep(depth=10_000):
    """Lists nested ten times deeper than the recursion limit lets Python compare or show."""
    nested = []
    for _ in range(depth):
        nested = [nested]
    return nested


class Shown(list):
    """A list shown short: hypothesis shows the values of its strategies."""

    def __repr__(self):
        return f"Shown({len(self)})"


SCALARS = st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=3)
ODD = [b"id", 2j, object(), type("Text", (str,), {})("A"), frozenset(), collections.OrderedDict(id="A")]
VALUES = st.recursive(SCALARS | st.sampled_from(ODD),
                      lambda inner: st.lists(inner, max_size=3) | st.tuples(inner)
                      | st.dictionaries(st.text(max_size=2) | st.integers(), inner, max_size=3), max_leaves=8)
# Ids of every JSON type, unhashable and very deep ones too, and ports, wires and records of any shape.
IDS = st.sampled_from(["A", "B", "S", Shown(deep()), Shown(deep())]) | SCALARS \
    | st.lists(st.sampled_from("AB"), max_size=2) | st.dictionaries(st.sampled_from("AB"), st.none(), max_size=1)
PORTS = st.lists(IDS, max_size=3) | st.text("AB", max_size=2) | st.just(Shown(["S"] * 10_000)) | IDS
WIRES = st.lists(PORTS, max_size=3) | st.tuples(PORTS) | st.dictionaries(st.sampled_from("AB"), st.none()) | IDS
RECORDS = st.fixed_dictionaries({}, optional={
    "id": IDS, "type": st.sampled_from(VIDEO_TYPES + ["function"]) | IDS, "wires": WIRES}) | SCALARS
RETURNS = {"__init__": type(None), "_load_flow": bool, "parse_flow": (dict, type(None)), "seek_prev_nodes": list,
           "seek_next_nodes": list, "seek_video_feed": tuple}


@pytest.fixture
def quiet(monkeypatch):
    """A server answering `quiet.body`, and a clock running away to infinity so that any time
    limit passes within a few retries; `quiet.now = 1.0` sets it back."""
    fake = SimpleNamespace(now=1.0, body={"flows": []}, lines=[])

    def runaway():
        fake.now *= 1e10
        return fake.now
    rebind(monkeypatch, time=SimpleNamespace(time=runaway, sleep=lambda seconds: None),
           requests=SimpleNamespace(get=lambda *a, **k: SimpleNamespace(json=lambda: fake.body)),
           logger=SimpleNamespace(info=fake.lines.append, error=fake.lines.append))
    return fake


@FUZZ
@given(name=st.sampled_from(list(RETURNS)), own=st.booleans(), args=st.lists(VALUES, max_size=6),
       kwargs=st.dictionaries(st.sampled_from(["self", "host", "port", "timeout", "cur_node", "x"]), VALUES),
       table=st.dictionaries(st.sampled_from("AS"), RECORDS, max_size=3))
def test_any_call_raises_an_exception_at_worst(quiet, name, own, args, kwargs, table):
    quiet.now, wrapper = 1.0, W("h", 1, "S", "function")
    quiet.body, wrapper._nodes = {"flows": list(table.values())}, table
    try:
        result = getattr(W, name)(*[wrapper][:own], *args, **kwargs)
    except Exception as error:
        assert not isinstance(error, SystemError)
    else:
        assert isinstance(result, RETURNS[name])


@FUZZ
@given(table=st.dictionaries(st.sampled_from("ABS") | st.integers(0, 1), RECORDS, max_size=5),
       cur=RECORDS.filter(lambda r: type(r) is dict), pick=st.integers(0, 5))
def test_searches_on_any_table_do_what_python_does(table, cur, pick):
    w, records = W("h", 1, "S", "function"), list(map(id, table.values()))
    w._nodes, cur = table, next((r for r in list(table.values())[pick:] if type(r) is dict), cur)
    for search in SEARCHES:
        w._visited_node_ids, model = [], plain_twin(w)
        found = outcome(lambda: getattr(w, search)(cur), records)
        expected = outcome(lambda: getattr(model, search)(cur), records)
        assert (found, w._visited_node_ids) == (expected, model._visited_node_ids), search


@FUZZ
@given(body=VALUES | st.fixed_dictionaries({"flows": st.lists(RECORDS | VALUES, max_size=4) | VALUES}))
def test_any_body_gives_a_whole_table_or_leaves_the_old_one(quiet, body):
    quiet.now, quiet.body, w = 1.0, body, W("h", 1, "S", "function")
    old = w._nodes
    if not isinstance(body, dict):  # without `get`: a failed attempt, and no time left for another
        assert w._load_flow(0) is False and w._nodes is old
        return
    records, model = list(map(id, body["flows"])) if isinstance(body.get("flows"), list) else [], plain_twin(w)
    found = outcome(lambda: w._load_flow(0) and w._nodes, records)
    quiet.now = 1.0
    assert found == outcome(lambda: model._load_flow(0) and model._nodes, records)
    assert (w._nodes is old) == isinstance(found, str)


def test_deep_record_logged_as_python_logs_it(quiet):
    """Whether showing a record nested past the recursion limit fails is the interpreter's to say
    (3.14 no longer counts C recursion against it): the parse does what the Python code does."""
    outcomes = []
    for module in MODULES:
        w, quiet.lines[:] = module.FlowAPIWrapper("h", 1, "S", "function"), []
        w._nodes, w._load_flow = {"S": {"id": "S", "type": "function", "deep": deep()}}, lambda: True
        try:
            outcomes.append((sorted(w.parse_flow()), list(quiet.lines)))
        except Exception as error:
            outcomes.append((type(error).__name__, list(quiet.lines)))
    assert outcomes[0] == outcomes[1]


STRIKES = {
    "raise": lambda w, cur, flows: int("struck"),
    "clear the table": lambda w, cur, flows: w._nodes.clear(),
    "replace the table": lambda w, cur, flows: setattr(w, "_nodes", {}),
    "drop a record": lambda w, cur, flows: w._nodes.pop("A", None),
    "change the id sought": lambda w, cur, flows: cur.update(id="B"),
    "cut the wires": lambda w, cur, flows: [r["wires"].clear() for r in w._nodes.values()],
    "forget the visits": lambda w, cur, flows: setattr(w, "_visited_node_ids", []),
    "cut the download": lambda w, cur, flows: flows.clear(),
    "free the records": lambda w, cur, flows: (flows.clear(), w._nodes.clear()),
}
SPOTS = ["key of a record", "key of the sought node", "wired id", "id sought", "type", "downloaded id"]


@st.composite
def struck_calls(draw):
    spot, ids = draw(st.sampled_from(SPOTS)), ["A", "B", "S"]
    return SimpleNamespace(
        wires={i: draw(st.lists(st.lists(st.sampled_from(ids), max_size=2), max_size=2)) for i in ids},
        types={i: draw(st.sampled_from(["zorv-video-feed", "function"])) for i in ids}, spot=spot,
        like=draw(st.sampled_from(["id", "type", "wires"] if spot.startswith("key") else ids)),
        strike=draw(st.sampled_from(list(STRIKES))), fire=draw(st.integers(1, 2)), answer=draw(st.booleans()),
        call=draw(st.sampled_from([*SEARCHES, "_load_flow"])))


def struck(case, python):  # with python=False only ever in a child, as it rebinds `requests`
    """The outcome, the visits (but where a walk meets the recursion limit is the implementation's
    own), and whether a failed download kept the old table."""
    module = plain_flow if python else flow
    w, flows = module.FlowAPIWrapper("h", 1, "S", "function"), []
    trap = Trap(case.like, lambda: STRIKES[case.strike](w, cur, flows), case.answer)
    keyed = {"key of a record": "A", "key of the sought node": "S"}.get(case.spot)
    # A key is met by lookups only if it comes first along their probes: it goes in first.
    flows += [{**({trap: 0} if i == keyed else {}), "id": i, "type": case.types[i],
               "wires": copy.deepcopy(case.wires[i])} for i in "ABS"]  # each record the only owner of its parts
    cur = flows[2]
    if case.spot == "wired id":
        flows[0]["wires"].append([trap])
    elif case.spot == "id sought":
        cur["id"] = trap
    elif not keyed:
        flows[1]["type" if case.spot == "type" else "id"] = trap
    w._nodes = old = {f["id"]: f for f in flows}
    records, trap.calls, trap.fire, load = list(map(id, old.values())), 0, case.fire, case.call == "_load_flow"
    saved = module.requests
    module.requests = SimpleNamespace(get=lambda *a, **k: SimpleNamespace(json=lambda: {"flows": flows}))
    try:
        found = outcome((lambda: w._load_flow() and w._nodes) if load else lambda: getattr(w, case.call)(cur), records)
    finally:
        module.requests = saved
    visited = None if found == "RecursionError" else list(map(repr, w._visited_node_ids))
    return found, visited, not load or (w._nodes is old) == isinstance(found, str)


@settings(FUZZ, max_examples=500)
@given(struck_calls())
def test_struck_call_does_what_python_does(case):
    assert in_child(lambda: struck(case, python=False)) == struck(case, python=True)
