"""The native module and its plain-Python rendition, for tests that run both and compare."""

import plain_flow
from zorv_sdk.nodered import flow

MODULES = (flow, plain_flow)


def rebind(monkeypatch, **values):
    """Rebinds globals of both modules, each looking them up in its own namespace at each use."""
    for module in MODULES:
        for name, value in values.items():
            monkeypatch.setattr(module, name, value)


def plain_twin(w):
    """A plain-Python wrapper over the same node table as `w`, with a visited list of its own."""
    twin = plain_flow.FlowAPIWrapper("127.0.0.1", 1880, "S", "function")
    twin._nodes = w._nodes
    return twin
