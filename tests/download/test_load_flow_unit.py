"""_load_flow with the network, the clock and the logger replaced by doubles."""

from types import SimpleNamespace

import pytest

from zorv_sdk.nodered import flow

REFUSED = ConnectionError("connection refused")
OLD = {"old": {"id": "old"}}


def raise_(error):
    raise error


def test_request_is_the_url_and_a_fresh_v2_header_dict(fakes, wrapper):
    fakes.requests.outcomes = [{"flows": []}]
    assert wrapper._load_flow() is True and wrapper._load_flow() is True
    first, second = fakes.requests.calls
    assert first == second == (("http://nodered.test:1880/flows",), {"headers": {"Node-RED-API-Version": "v2"}})
    assert first[1]["headers"] is not second[1]["headers"]


@pytest.mark.parametrize("url, sent", [(42, "42/flows"), (None, "None/flows"), (b"http://h", "b'http://h'/flows")])
def test_url_that_is_not_str_is_sent_in_its_string_form(fakes, wrapper, url, sent):
    fakes.requests.outcomes, wrapper.url = [{"flows": []}], url
    assert wrapper._load_flow() is True
    assert [args for args, _ in fakes.requests.calls] == [(sent,)] and type(fakes.requests.calls[0][0][0]) is str


@pytest.mark.parametrize("args, attempts, limit", [((3,), 4, 3), ((), 299, 300), ((0,), 1, 0), ((-2,), 1, -2)])
def test_retries_once_a_second_until_the_limit_is_passed(fakes, wrapper, args, attempts, limit):
    fakes.requests.outcomes, wrapper._nodes = [REFUSED], OLD
    assert wrapper._load_flow(*args) is False
    assert len(fakes.requests.calls) == attempts and fakes.time.sleeps == [1] * (attempts - 1)
    assert fakes.logger.lines == [fakes.failed(REFUSED)] * attempts + [fakes.gave_up(limit)] and wrapper._nodes is OLD


def test_elapsed_equal_to_the_limit_tries_again(fakes, wrapper):
    fakes.requests.cost, fakes.requests.outcomes = 0, [REFUSED] * 3 + [{"flows": []}]
    assert wrapper._load_flow(timeout=2) is True
    assert fakes.time.sleeps == [1, 1, 1] and fakes.logger.lines == [fakes.failed(REFUSED)] * 3


@pytest.mark.parametrize("body, dropped, error", [
    (SimpleNamespace(json=lambda: raise_(ValueError("Expecting value"))), None, "Expecting value"),
    ([{"flows": []}], None, "'list' object has no attribute 'get'"),
    ({"flows": []}, "url", "'FlowAPIWrapper' object has no attribute 'url'"),
    ({"flows": []}, "requests", "name 'requests' is not defined"),
])
def test_failed_attempt_is_logged_and_retried(fakes, wrapper, monkeypatch, body, dropped, error):
    fakes.requests.cost, fakes.requests.outcomes = 0, [body]
    if dropped:
        monkeypatch.delattr(wrapper if dropped == "url" else flow, dropped)
    assert wrapper._load_flow(1) is False
    assert fakes.time.sleeps == [1, 1] and fakes.logger.lines == [fakes.failed(error)] * 3 + [fakes.gave_up(1)]


@pytest.mark.parametrize("body, error", [
    ({"rev": "1"}, TypeError), ({"flows": None}, TypeError),
    ({"flows": [{"id": "a"}, {"type": "debug"}]}, KeyError), ({"flows": [{"id": "a"}, "b"]}, TypeError),
    ({"flows": [None]}, TypeError), ({"flows": [["id"]]}, TypeError), ({"flows": [{"id": ["a"]}]}, TypeError),
])
def test_unusable_node_list_propagates_and_keeps_the_table(fakes, wrapper, body, error):
    fakes.requests.outcomes, wrapper._nodes = [body], OLD
    with pytest.raises(error):
        wrapper._load_flow()
    assert len(fakes.requests.calls) == 1 and fakes.logger.lines == [] and fakes.time.sleeps == []
    assert wrapper._nodes is OLD and OLD == {"old": {"id": "old"}}


def test_table_holds_the_decoded_records_and_the_next_download_replaces_it(fakes, wrapper):
    first, other, second, later = {"id": "a", "n": 1}, {"id": "b"}, {"id": "a", "n": 2}, {"id": "c"}
    fakes.requests.outcomes = [{"flows": [first, other, second]}, {"flows": [later]}, {"flows": []}]
    assert wrapper._load_flow() is True and type(wrapper._nodes) is dict
    table = wrapper._nodes
    assert list(table) == ["a", "b"] and table["a"] is second and table["b"] is other
    assert wrapper._load_flow() is True and wrapper._nodes == {"c": later} and table == {"a": second, "b": other}
    assert wrapper._load_flow() is True and wrapper._nodes == {}


@pytest.mark.parametrize("in_sleep", [True, False])
def test_interrupt_propagates_at_once(fakes, wrapper, in_sleep):
    fakes.requests.outcomes = [REFUSED if in_sleep else KeyboardInterrupt()]
    fakes.time.on_sleep = lambda: raise_(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        wrapper._load_flow()
    assert len(fakes.requests.calls) == 1 and len(fakes.time.sleeps) == in_sleep
    assert fakes.logger.lines == [fakes.failed(REFUSED)] * in_sleep


def test_failing_logger_propagates_with_the_attempt_error_as_context(fakes, wrapper):
    fakes.requests.outcomes, fakes.logger.error = [REFUSED], lambda line: raise_(RuntimeError("log sink gone"))
    with pytest.raises(RuntimeError, match="log sink gone") as caught:
        wrapper._load_flow()
    assert caught.value.__context__ is REFUSED and len(fakes.requests.calls) == 1 and fakes.time.sleeps == []


@pytest.mark.parametrize("args, kwargs", [((True,), {}), ((), {"timeout": 2.5}), ((None,), {}), (("3",), {})])
def test_timeout_that_is_not_an_int_makes_no_request(fakes, wrapper, args, kwargs):
    fakes.requests.outcomes = [{"flows": []}]
    with pytest.raises(TypeError):
        wrapper._load_flow(*args, **kwargs)
    assert fakes.requests.calls == [] and fakes.logger.lines == []


def test_each_use_finds_the_global_bound_at_that_moment(fakes, wrapper, monkeypatch):
    """Rebinding `requests` from inside the loop, between two of its uses, is seen by the next."""
    monkeypatch.setattr(flow, "requests", flow.requests)  # undone afterwards, with whatever the sleeps bound
    fakes.requests.outcomes = [REFUSED]
    servers = iter(range(1, 10))
    fakes.time.on_sleep = lambda: setattr(flow, "requests", SimpleNamespace(
        get=lambda *a, server=next(servers), **k: raise_(ValueError(f"server {server}"))))
    assert wrapper._load_flow(timeout=2) is False
    assert fakes.logger.lines[:3] == [fakes.failed(REFUSED), "Failed to parse flow - server 1",
                                      "Failed to parse flow - server 2"]


def test_a_namespace_key_that_compares_is_asked_at_every_lookup(fakes, wrapper, monkeypatch):
    """A key of another type hashing like "requests" is compared at each lookup of it, as Python's own
    lookups compare it: none may be skipped for an earlier answer."""
    compared = []
    trap = type("Trap", (), {"__hash__": lambda self: hash("requests"),
                             "__eq__": lambda self, other: compared.append(other) or False})()
    # Bound again after the trap went in, "requests" comes after it along the lookups' probes.
    monkeypatch.delattr(flow, "requests")
    monkeypatch.setitem(flow.__dict__, trap, None)
    monkeypatch.setattr(flow, "requests", fakes.requests, raising=False)
    fakes.requests.outcomes = [REFUSED]
    compared.clear()
    flow.__dict__["requests"]  # how often one lookup compares it: a probe may pass it more than once
    per_lookup, compared[:] = len(compared), []
    assert wrapper._load_flow(timeout=2) is False
    assert per_lookup >= 1 and len(fakes.requests.calls) == 3
    assert compared == ["requests"] * per_lookup * len(fakes.requests.calls)
