"""The download from a real Node-RED that is stopped, restarted, behind a login, cut short or slow."""

import time

import pytest
import requests

from zorv_sdk.nodered import flow

pytestmark = pytest.mark.nodered
FAILED, GAVE_UP = "Failed to parse flow - ", "Failed to download flow in {} sec, exiting..."


def kinds(lines):
    return [FAILED if line.startswith(FAILED) else line for line in lines]  # the error text varies


def at(server):
    return flow.FlowAPIWrapper(server.host, server.port, "detect", "function")


@pytest.mark.parametrize("back_at_pause, limit", [(None, 2), (2, 5)], ids=["never", "within"])
def test_server_stopped_before_the_first_attempt(nodered_flow, example_flow, clock, back_at_pause, limit):
    wrapper = at(nodered_flow)
    old = wrapper._nodes
    nodered_flow.stop()
    clock.on_sleep = lambda count: count == back_at_pause and nodered_flow.start()
    try:
        loaded = wrapper._load_flow(limit)
    finally:
        nodered_flow.running or nodered_flow.start()
    failures = back_at_pause or limit + 1
    assert kinds(clock.lines) == [FAILED] * failures + [GAVE_UP.format(limit)] * (not loaded)
    assert loaded is bool(back_at_pause) and clock.sleeps == failures - (not loaded)
    assert list(wrapper._nodes.values()) == example_flow if loaded else wrapper._nodes is old


def test_login_required_refuses_the_reader_until_it_gives_up(login_nodered, example_flow, clock):
    assert at(login_nodered)._load_flow(2) is False
    assert kinds(clock.lines) == [FAILED] * 3 + [GAVE_UP.format(2)]
    assert login_nodered.flows() == example_flow  # served to the login the reader does not make


@pytest.mark.parametrize("plan", [["cut", "whole"], ["cut", "cut", "cut", "whole"]])
def test_cut_answer_is_retried_and_nothing_is_lost(faulty_proxy, example_flow, clock, plan):
    proxy = faulty_proxy(plan)
    wrapper = at(proxy)
    assert wrapper.parse_flow()["cur_node"] is wrapper._nodes["detect"] and proxy.played == plan
    assert list(wrapper._nodes.values()) == example_flow and clock.sleeps == len(plan) - 1
    assert kinds(clock.lines)[:len(plan)] == [FAILED] * clock.sleeps + [f"Node info: {wrapper._nodes['detect']}"]


def test_slow_answer_is_waited_for_past_the_time_limit(faulty_proxy, example_flow, monkeypatch):
    # The real clock: the limit is looked at only after a failed attempt, never during one.
    monkeypatch.setattr(flow, "requests", requests)
    monkeypatch.setattr(flow, "logger", None)
    proxy, started = faulty_proxy(["slow"]), time.monotonic()
    wrapper = at(proxy)
    assert wrapper._load_flow(0) is True and time.monotonic() - started > 0.9
    assert proxy.played == ["slow"] and list(wrapper._nodes.values()) == example_flow
