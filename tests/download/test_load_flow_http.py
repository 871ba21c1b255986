"""_load_flow over real HTTP: a recording loopback server, then the real Node-RED."""

import json

import pytest
import requests

from zorv_sdk.nodered import flow


@pytest.fixture
def real_net(fakes, monkeypatch):
    """The real requests package, under the fake clock and logger."""
    monkeypatch.setattr(flow, "requests", requests)
    return fakes


def wrapper_for(server):
    return flow.FlowAPIWrapper(server.host, server.port, "n1", "debug")


def test_get_flows_v2_is_sent_and_an_error_status_is_not_examined(loopback, real_net):
    nodes = [{"id": "a", "type": "inject", "wires": [["b"]]}, {"id": "b", "type": "debug"}]
    loopback.status, loopback.body = 500, json.dumps({"flows": nodes})
    wrapper = wrapper_for(loopback)
    assert wrapper._load_flow() is True
    [(request_line, headers)] = loopback.seen
    assert request_line == "GET /flows HTTP/1.1" and headers["Node-RED-API-Version"] == "v2"
    assert wrapper._nodes == {"a": nodes[0], "b": nodes[1]} and real_net.logger.lines == []


def test_body_that_is_not_json_is_retried_then_given_up(loopback, real_net):
    loopback.body = "<html>Node-RED is starting</html>"
    assert wrapper_for(loopback)._load_flow(1) is False
    assert len(loopback.seen) == 3 and real_net.time.sleeps == [1, 1]
    *failures, last = real_net.logger.lines
    assert len(failures) == 3 and all(line.startswith(real_net.failed("")) for line in failures)
    assert last == real_net.gave_up(1)


@pytest.mark.nodered
def test_example_flow_arrives_whole_and_in_order(nodered_flow, example_flow, real_net):
    wrapper = wrapper_for(nodered_flow)
    assert wrapper._load_flow() is True
    assert list(wrapper._nodes) == [node["id"] for node in example_flow]
    assert list(wrapper._nodes.values()) == nodered_flow.flows() == example_flow


@pytest.mark.nodered
def test_next_download_holds_only_the_newly_deployed_nodes(nodered_flow, real_net):
    wrapper = wrapper_for(nodered_flow)
    wrapper._load_flow()
    nodered_flow.deploy([
        {"id": "tab-new", "type": "tab", "label": "New", "disabled": False, "info": "", "env": []},
        {"id": "src", "type": "inject", "z": "tab-new", "x": 100, "y": 60, "wires": [["out"]]},
        {"id": "out", "type": "debug", "z": "tab-new", "x": 300, "y": 60, "wires": []},
    ])
    assert wrapper._load_flow() is True
    assert list(wrapper._nodes) == ["tab-new", "src", "out"]
    assert list(wrapper._nodes.values()) == nodered_flow.flows()


@pytest.mark.nodered
def test_server_back_within_the_window_is_picked_up(nodered_flow, example_flow, real_net):
    wrapper = wrapper_for(nodered_flow)
    nodered_flow.stop()
    real_net.time.on_sleep = nodered_flow.start
    assert wrapper._load_flow(30) is True
    assert real_net.time.sleeps == [1] and len(real_net.logger.lines) == 1
    assert real_net.logger.lines[0].startswith(real_net.failed(""))
    assert list(wrapper._nodes.values()) == example_flow
