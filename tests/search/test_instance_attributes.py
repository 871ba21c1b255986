"""The wrapper's own attributes, read at every call as they are then: after its attribute dict,
the dict itself, its class or the class's attribute lookup changed since the call before."""

import pytest

import plain_flow
from differential import unspecialised
from search_flows import make_wrapper, node
from zorv_sdk.nodered import flow

# The rendition whose attribute reads stay plain lookups: see differential.unspecialised.
MODEL = unspecialised(plain_flow)

FEEDER, START = node("A", ["S"]), node("S")
OTHER_TABLE = {"B": node("B", [], ["S"])}


class Colliding(str):
    """A key that hashes like "_nodes", counting how often a lookup compares it."""

    compared = 0

    def __hash__(self):
        return hash("_nodes")

    def __eq__(self, other):
        type(self).compared += 1
        return False


def read_other_table(self, name):
    return OTHER_TABLE if name == "_nodes" else object.__getattribute__(self, name)


CHANGES = {
    "attribute set": lambda w, cls: setattr(w, "_nodes", OTHER_TABLE),
    "attribute set in the dict": lambda w, cls: vars(w).__setitem__("_nodes", OTHER_TABLE),
    "attribute set by object": lambda w, cls: object.__setattr__(w, "_nodes", OTHER_TABLE),
    "attribute deleted": lambda w, cls: delattr(w, "_nodes"),
    "dict replaced": lambda w, cls: setattr(w, "__dict__", {"_nodes": OTHER_TABLE}),
    "dict cleared": lambda w, cls: vars(w).clear(),
    "key not a str": lambda w, cls: vars(w).__setitem__(Colliding("k"), 0),
    "key not a str, the attribute gone": lambda w, cls: (vars(w).__setitem__(Colliding("k"), 0),
                                                          delattr(w, "_nodes")),
    "property on the class": lambda w, cls: setattr(cls, "_nodes", property(lambda self: OTHER_TABLE)),
    "plain value on the class": lambda w, cls: (delattr(w, "_nodes"), setattr(cls, "_nodes", OTHER_TABLE)),
    "__getattribute__ on the class": lambda w, cls: setattr(cls, "__getattribute__", read_other_table),
    "class swapped": lambda w, cls: setattr(w, "__class__", type("Sub", (cls,), {"_nodes": OTHER_TABLE})),
}


def outcome(call, *args):
    try:
        return [(e["node"]["id"], e["port"]) for e in call(*args)]
    except AttributeError as e:
        # The error names the attribute and the object from 3.10 on.
        return type(e), str(e), getattr(e, "name", None), getattr(e, "obj", None) is call.__self__
    except Exception as e:
        return type(e), str(e)


def after_change(module, change):
    cls = module.FlowAPIWrapper
    w = make_wrapper(FEEDER, START, cls=cls)
    w.seek_prev_nodes(START)  # read once before, for whatever may be remembered of it
    Colliding.compared = 0
    try:
        change(w, cls)
        found = [outcome(w.seek_prev_nodes, START), outcome(w.seek_next_nodes, FEEDER),
                 outcome(w.seek_prev_nodes, START)]
        return found, Colliding.compared
    finally:
        for name in ("_nodes", "__getattribute__"):
            if name in vars(cls):
                delattr(cls, name)


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES)
def test_attributes_are_read_as_they_are_now(change):
    assert after_change(flow, change) == after_change(MODEL, change)
