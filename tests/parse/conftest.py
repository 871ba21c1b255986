"""The logger double that the parse_flow tests read their log lines from."""

from types import SimpleNamespace

import pytest

from zorv_sdk.nodered import flow


@pytest.fixture
def log(monkeypatch) -> list:
    """(level, message) of every line logged; a call with another shape than one message fails."""
    lines = []
    monkeypatch.setattr(flow, "logger", SimpleNamespace(
        info=lambda message: lines.append(("info", message)),
        error=lambda message: lines.append(("error", message)),
    ))
    return lines
