"""The searches on records and tables laid out every way a dict can be, with ids of every kind: "wires" first, middle or
last, entries deleted before it or after it, keys that are not str, str subclasses, and the split
dicts of instance attributes. Only the order of entries may count, never how they are stored."""

import json
import pathlib
import subprocess
import sys

from search_flows import VIDEO_TYPES, make_wrapper
from differential import plain_twin
from hypothesis import given, settings
from hypothesis import strategies as st


class Key(str):
    pass


class Attributes:
    pass


def deleted_before(fields):
    d = {"gone": 0}
    d.update(fields)
    del d["gone"]
    return d


def deleted_after(fields):
    d = dict(fields, gone=0)
    del d["gone"]
    return d


def split(fields):
    """An instance's attribute dict, which keeps its keys apart from its values."""
    holder = Attributes()
    for key, value in fields.items():
        setattr(holder, key, value)
    return holder.__dict__


LAYOUTS = {
    "wires last": dict,
    "wires first": lambda f: {k: f[k] for k in sorted(f, key=lambda k: k != "wires")},
    "entry deleted before": deleted_before,
    "entry deleted after": deleted_after,
    "key not a str": lambda f: {**f, 7: "x"},
    "str subclass key": lambda f: {**f, Key("x"): "y"},
    "split": split,
    "keys of their own": lambda f: {fresh(k): v for k, v in f.items()},
}


# Short ids, and long ones of one length that differ only at the end, only at the start, or
# in a character outside ASCII: every branch of the id comparison.
IDS = ["A", "B", "8f2c1e0a4b6d9e71", "8f2c1e0a4b6d9e72", "9f2c1e0a4b6d9e71", "8f2c1e0a4b6d9\u00e971",
       "8f2c1e0a4b6d9\u20ac71"]


def fresh(text):
    """An equal str of its own, as decoding JSON gives for every id it meets."""
    return text[:1] + text[1:]


@st.composite
def laid_out_flows(draw):
    ids = draw(st.lists(st.sampled_from(IDS), min_size=1, unique=True))
    layout = st.sampled_from(sorted(LAYOUTS))
    records = []
    for i in ids:
        wires = draw(st.lists(st.lists(st.sampled_from(ids + ["ghost"]), max_size=2), max_size=3))
        fields = {"id": i, "type": draw(st.sampled_from(VIDEO_TYPES[:1] + ["function"] * 3)),
                  "wires": [[fresh(t) for t in port] for port in wires]}
        records.append(LAYOUTS[draw(layout)](fields))
    w = make_wrapper(*records)
    w._nodes = LAYOUTS[draw(st.sampled_from(["wires last", "entry deleted before", "split"]))](w._nodes)
    return w, draw(st.sampled_from(records)), LAYOUTS[draw(layout)]


@settings(max_examples=300, deadline=None)
@given(laid_out_flows())
def test_searches_read_every_layout_alike(case):
    w, start, layout = case
    target = layout({"id": fresh(start["id"])})
    model = plain_twin(w)
    expected, found = model.seek_prev_nodes(target), w.seek_prev_nodes(target)
    assert found == expected
    assert all(e["node"] is m["node"] for e, m in zip(found, expected))
    assert w.seek_video_feed(start) == model.seek_video_feed(start)
    assert w._visited_node_ids == model._visited_node_ids


@st.composite
def decoded_flows(draw):
    """A flow as a download gives it: decoded JSON, whose records share key objects that are
    equal to the names the searches read but not the same objects; the keys in any order."""
    ids = draw(st.lists(st.sampled_from(IDS), min_size=1, unique=True))
    records = []
    for i in ids:
        wires = draw(st.lists(st.lists(st.sampled_from(ids + ["ghost"]), max_size=2), max_size=3))
        fields = [("id", i), ("type", draw(st.sampled_from(VIDEO_TYPES[:1] + ["function"] * 3))),
                  ("name", i), ("wires", wires)]
        records.append(dict(draw(st.permutations(fields))))
    decoded = json.loads(json.dumps(records))
    return make_wrapper(*decoded), draw(st.sampled_from(decoded))


@settings(max_examples=200, deadline=None)
@given(decoded_flows())
def test_searches_read_decoded_records_alike(case):
    w, start = case
    model = plain_twin(w)
    assert w.seek_video_feed(start) == model.seek_video_feed(start)
    assert w._visited_node_ids == model._visited_node_ids


REWIRED_THROUGH_ATTRIBUTES = """
import sys
sys.path.insert(0, sys.argv[1])
import plain_flow
from zorv_sdk.nodered.flow import FlowAPIWrapper


class Node:
    pass


def rewire(node, target):
    node.wires = [[target]]  # run often enough for the interpreter to specialise the store


class Rewiring:
    '''A target id that, each time it is compared, rewires the last node.'''

    def __init__(self, nodes):
        self.nodes, self.compared = nodes, 0

    def __eq__(self, other):
        self.compared += 1
        rewire(self.nodes[-1], "n%d" % (self.compared % 3))
        return False

    __hash__ = None


def searches(wrapper_class):
    nodes = [Node() for _ in range(4)]
    for i, node in enumerate(nodes):
        node.id, node.type = "n%d" % i, "function"
        rewire(node, "n1")
    nodes[0].wires = [[Rewiring(nodes)]]
    wrapper = wrapper_class()
    wrapper._nodes = {node.id: vars(node) for node in nodes}
    found = []
    for turn in range(60):
        rewire(nodes[turn % 3 + 1], "n%d" % (turn % 3))
        for target in ("n0", "n1", "n2"):
            found.append([(e["node"]["id"], e["port"]) for e in wrapper.seek_prev_nodes({"id": target})])
    return found


print(searches(FlowAPIWrapper) == searches(plain_flow.FlowAPIWrapper))
"""


def test_records_rewired_through_their_objects_are_read_anew():
    """Records that are objects' attribute dicts, rewired by setting the objects' attributes between
    searches and during one. Run in an interpreter of its own: reading a wire list that the
    object no longer holds may crash it."""
    tests = pathlib.Path(__file__).resolve().parent.parent
    done = subprocess.run([sys.executable, "-c", REWIRED_THROUGH_ATTRIBUTES, str(tests)],
                          capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout.strip()) == (0, "True"), done.stderr[-2000:]
