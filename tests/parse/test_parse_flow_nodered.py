"""parse_flow against the example flow served by a real Node-RED."""

from types import SimpleNamespace

import pytest

from zorv_sdk.nodered import flow
from zorv_sdk.nodered.flow import FlowAPIWrapper

pytestmark = pytest.mark.nodered


def wrapper_for(server, node_id, node_type):
    return FlowAPIWrapper(server.host, server.port, node_id, node_type)


def entries(nodes, pairs):
    return [{"node": nodes[node_id], "port": port} for node_id, port in pairs]


# Worked out by hand from examples/flow.json. resize comes before decode in the
# flow, so the depth-first video search from detect ends at the IP camera.
WHERE_NODES_STAND = {
    "detect": ("function", [("resize", 0), ("decode", 0)], [("route", 0), ("debug-empty", 1)],
               ("cam-ip", 0), ["detect", "resize"]),
    "archive": ("function", [("route", 1)], [("store", 0), ("store", 1)],
                ("cam-ip", 0), ["archive", "route", "detect", "resize"]),
    "store": ("debug", [("archive", 0), ("archive", 1)], [],
              ("cam-ip", 0), ["store", "archive", "route", "detect", "resize"]),
    "cam-usb": ("zorv-vf-usb-camera", [], [("decode", 0)], (None, None), ["cam-usb"]),
    "note-gate": ("comment", [], [], (None, None), ["note-gate"]),
    "debug-empty": ("debug", [("detect", 1)], [],
                    ("cam-ip", 0), ["debug-empty", "detect", "resize"]),
}


@pytest.mark.parametrize("node_id", WHERE_NODES_STAND)
def test_parse_places_node_in_example_flow(nodered_flow, example_flow, log, node_id):
    node_type, prevs, nexts, (feed_id, feed_port), visited = WHERE_NODES_STAND[node_id]
    wrapper = wrapper_for(nodered_flow, node_id, node_type)

    result = wrapper.parse_flow()

    nodes = wrapper._nodes
    feed = nodes[feed_id] if feed_id else None
    assert result == {
        "cur_node": nodes[node_id],
        "prev_nodes": entries(nodes, prevs),
        "next_nodes": entries(nodes, nexts),
        "vid_fed": {"flow": feed, "port": feed_port},
    }
    assert list(result) == ["cur_node", "prev_nodes", "next_nodes", "vid_fed"]
    assert list(result["vid_fed"]) == ["flow", "port"] and result["vid_fed"]["flow"] is feed
    assert result["cur_node"] is nodes[node_id] and nodes[node_id] in example_flow
    for entry in result["prev_nodes"] + result["next_nodes"]:
        assert list(entry) == ["node", "port"] and entry["node"] is nodes[entry["node"]["id"]]
    assert wrapper._visited_node_ids == visited
    assert log == [
        ("info", f"Node info: {nodes[node_id]}"),
        ("info", f"Previous nodes - {entries(nodes, prevs)}"),
        ("info", f"Next nodes - {entries(nodes, nexts)}"),
        ("info", f"vid-fed node - {feed}, {feed_port}"),
    ]


def test_next_parse_sees_redeployed_flow(nodered_flow, example_flow, log):
    wrapper = wrapper_for(nodered_flow, "detect", "function")
    first = wrapper.parse_flow()
    nodered_flow.deploy([n for n in example_flow if n["id"] not in ("resize", "cam-ip")])

    second = wrapper.parse_flow()

    assert [e["node"]["id"] for e in first["prev_nodes"]] == ["resize", "decode"]
    assert second["prev_nodes"] == [{"node": wrapper._nodes["decode"], "port": 0}]
    assert second["vid_fed"] == {"flow": wrapper._nodes["cam-usb"], "port": 0}


def test_unplaced_node_gives_none_or_key_error(nodered_flow, log):
    assert wrapper_for(nodered_flow, "detect", "change").parse_flow() is None
    assert log == [("error", "Could not to find node(change) with id(detect), exiting...")]
    with pytest.raises(KeyError) as raised:
        wrapper_for(nodered_flow, "no-such-node", "function").parse_flow()
    assert raised.value.args == ("no-such-node",) and len(log) == 1


def test_stopped_server_gives_none_after_retries(nodered_flow, log, monkeypatch):
    clock = [1e6]  # time passes only when the code under test sleeps
    monkeypatch.setattr(flow, "time", SimpleNamespace(
        time=lambda: clock[0], sleep=lambda seconds: clock.append(clock.pop() + seconds)))
    wrapper = wrapper_for(nodered_flow, "detect", "function")
    stale = wrapper._visited_node_ids
    nodered_flow.stop()
    try:
        assert wrapper.parse_flow() is None
    finally:  # others use the session server without asking for a restart
        nodered_flow.start()

    assert wrapper._visited_node_ids == [] and wrapper._visited_node_ids is not stale
    # Attempts at 0, 1, ..., 301 seconds: the give-up comes once 300 is exceeded.
    assert log[-1] == ("error", "Failed to download flow in 300 sec, exiting...")
    assert {line[:23] for _, line in log[:-1]} == {"Failed to parse flow - "}
    assert len(log) == 302 + 1
