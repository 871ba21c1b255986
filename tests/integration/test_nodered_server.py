"""The real Node-RED the other tests rely on behaves as they assume."""

import json
import os

import pytest
import requests

from local_nodered import NodeRedError, NodeRedServer, find_red_js

pytestmark = pytest.mark.nodered


def changed_flow(flow: list) -> list:
    """The example with one node renamed, one dropped and one added."""
    changed = [node for node in flow if node["id"] != "note-gate"]
    detect = next(node for node in changed if node["id"] == "detect")
    detect["name"] = "Detect objects (v2 model)"
    changed.append({
        "id": "debug-frames",
        "type": "debug",
        "z": "tab-gate",
        "name": "Decoded frames",
        "active": True,
        "x": 540,
        "y": 60,
        "wires": [],
    })
    next(node for node in changed if node["id"] == "decode")["wires"] = [
        ["detect", "debug-frames"]
    ]
    return changed


def listening_addresses(port: int) -> list:
    """Hex local addresses of the TCP sockets the kernel has listening on port."""
    listening = "0A"
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table, encoding="ascii") as sockets:
            next(sockets)
            for line in sockets:
                fields = line.split()
                address, port_hex = fields[1].rsplit(":", 1)
                if fields[3] == listening and int(port_hex, 16) == port:
                    found.append(address)
    return found


def test_listens_on_loopback_only(nodered):
    assert listening_addresses(nodered.port) == ["0100007F"]


def test_runs_the_node_red_that_is_installed(nodered):
    """So that a run with FLOW_NODERED_DIR tests the version it names."""
    package = json.loads((find_red_js().parent / "package.json").read_text(encoding="utf-8"))
    settings = requests.get(f"{nodered.url}/settings", timeout=5).json()
    assert settings["version"] == package["version"]


def test_v2_answer_wraps_the_nodes_with_a_revision(nodered_flow, example_flow):
    response = requests.get(
        f"{nodered_flow.url}/flows",
        headers={"Node-RED-API-Version": "v2"},
        timeout=5,
    )

    assert response.status_code == 200
    body = response.json()
    assert set(body) == {"flows", "rev"}
    assert body["rev"]
    assert [node["id"] for node in body["flows"]] == [
        node["id"] for node in example_flow
    ]


def test_example_flow_is_served_node_for_node(nodered_flow, example_flow):
    """Node-RED adds, drops and reorders nothing, even for unknown types."""
    served = nodered_flow.flows()

    assert [node["id"] for node in served] == [node["id"] for node in example_flow]
    for served_node, example_node in zip(served, example_flow):
        assert served_node == example_node


def test_deployed_flow_is_served_next(nodered_flow, example_flow):
    old_rev = requests.get(
        f"{nodered_flow.url}/flows",
        headers={"Node-RED-API-Version": "v2"},
        timeout=5,
    ).json()["rev"]
    flow = changed_flow(example_flow)

    new_rev = nodered_flow.deploy(flow)

    assert new_rev != old_rev
    assert nodered_flow.flows() == flow


def test_restart_serves_the_last_deployment_on_the_same_port(
    nodered_flow, example_flow
):
    flow = changed_flow(example_flow)
    nodered_flow.deploy(flow)
    port = nodered_flow.port

    nodered_flow.stop()
    assert not nodered_flow.running
    with pytest.raises(requests.ConnectionError):
        nodered_flow.flows()

    nodered_flow.start()
    assert nodered_flow.port == port
    assert nodered_flow.url == f"http://127.0.0.1:{port}"
    assert nodered_flow.flows() == flow


def test_taken_port_is_refused_rather_than_shared(nodered, example_flow):
    with pytest.raises(NodeRedError, match=f"port {nodered.port} .* in use"):
        with NodeRedServer(example_flow, port=nodered.port):
            pass


def test_close_leaves_no_process_and_no_user_dir(example_flow):
    with NodeRedServer(example_flow) as server:
        group = server.process.pid
        assert server.flows() == example_flow

    assert server.process.returncode is not None
    with pytest.raises(ProcessLookupError):
        os.killpg(group, 0)
    assert not server.user_dir.exists()
    with pytest.raises(requests.ConnectionError):
        requests.get(server.url, timeout=5)
