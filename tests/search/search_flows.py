"""Small flow builders shared by the search tests."""

from zorv_sdk.constants import Module
from zorv_sdk.nodered import flow

VIDEO_TYPES = [m.type for m in (Module.VideoFeed, Module.VFVideoFile, Module.VFUsbCamera, Module.VFIpCamera)]


def node(node_id, *ports, type="function"):
    """A record whose output port i is wired to the ids in ports[i]."""
    return {"id": node_id, "type": type, "wires": [list(p) for p in ports]}


def video(node_id, *ports):
    return node(node_id, *ports, type=VIDEO_TYPES[0])


def make_wrapper(*records, cls=flow.FlowAPIWrapper):
    w = cls("127.0.0.1", 1880, "S", "function")
    w._nodes = {r["id"]: r for r in records}
    return w


def pairs(w, found):
    """Port entries as (id, port), checking their keys and that they hold the table's own records."""
    assert all(list(e) == ["node", "port"] and e["node"] is w._nodes[e["node"]["id"]] for e in found)
    return [(e["node"]["id"], e["port"]) for e in found]
