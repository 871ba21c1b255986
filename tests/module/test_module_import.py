"""Importing the flow module, and the SDK siblings it imports."""

import ast
import builtins
import os
import re
import subprocess
import sys

import pytest

import zorv_sdk.constants as constants
import zorv_sdk.logging
import zorv_sdk.nodered.flow as flow

# Stand-ins for the SDK siblings, recording what the import fetches from them and calls.
FAKE_SIBLINGS = '''
import sys, types
fetched, logger_calls, missing = [], [], set()
class Constants:
    def __getattr__(self, name):
        if name.startswith("__") or name in missing:
            raise AttributeError(name)
        fetched.append(name)
        return name.lower()
get_logger = lambda *args, **kwargs: logger_calls.append((args, kwargs)) or "the-logger"
sys.modules["zorv_sdk.constants"] = Constants()
sys.modules["zorv_sdk.logging"] = types.SimpleNamespace(get_logger=get_logger)
'''
ONE_LOGGER_CALL = [((), {"name": "FLOW"})]


def run_fresh(code: str, **env: str) -> object:
    """Run `code` in a new interpreter and return the literal on its last output line."""
    read_at_import = ("NODE_RED_HOST", "NODE_ID", "NODE_TYPE", "ZORV_LOG_LEVEL")
    environ = {k: v for k, v in os.environ.items() if k not in read_at_import}
    done = subprocess.run([sys.executable, "-c", code], env={**environ, **env},
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return ast.literal_eval(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("env, host, node", [
    ({}, "127.0.0.1", (None, None)),
    ({"NODE_RED_HOST": "nodered.lan", "NODE_ID": "n1", "NODE_TYPE": "t1"}, "nodered.lan", ("n1", "t1")),
    ({"NODE_RED_HOST": ""}, "", (None, None)),
])
def test_environment_is_read_once_at_import(env, host, node):
    seen = run_fresh("""
import os
import zorv_sdk.nodered.flow as flow
os.environ.update(NODE_RED_HOST="later", NODE_ID="later", NODE_TYPE="later")
wrapper = flow.FlowAPIWrapper()
print((flow.FlowAPIWrapper.__init__.__defaults__, wrapper.url,
       flow.NODE_ID, flow.NODE_TYPE, wrapper.node_id, wrapper.node_type))
""", **env)
    assert seen == ((host, 1880, "", ""), f"http://{host}:1880", *node, *node)


def test_one_module_per_process():
    seen = run_fresh(FAKE_SIBLINGS + """
import importlib, importlib.util
found = importlib.util.find_spec("zorv_sdk.nodered.flow")
spare = importlib.util.module_from_spec(found)
import zorv_sdk.nodered.flow as flow
before = dict(vars(flow))
again = [importlib.import_module(found.name), importlib.reload(flow), importlib.util.module_from_spec(found)]
del sys.modules[found.name]
again.append(importlib.import_module(found.name))
again.append(importlib.util.module_from_spec(importlib.util.spec_from_file_location("flow", flow.__file__)))
try:
    found.loader.exec_module(spare)
except RuntimeError as exc:
    refusal = (str(exc), spare is not flow, "FlowAPIWrapper" in vars(spare))
rebound = [k for k, v in before.items() if not k.startswith("__") and vars(flow)[k] is not v]
print(([m is flow for m in again], list(vars(flow)) == list(before), rebound, flow.logger, logger_calls, refusal))
""")
    assert seen == ([True] * 5, True, [], "the-logger", ONE_LOGGER_CALL,
                    ("Module 'flow' has already been imported. Re-initialisation is not supported.", True, False))


def test_globals_order_and_sdk_bindings():
    # Other tests rebind and restore globals, which moves them to the end: look at a fresh import.
    names = run_fresh("import zorv_sdk.nodered.flow as flow; print(list(vars(flow)))")
    usual = ["__name__", "__doc__", "__file__", "__loader__", "__package__", "__spec__", "__builtins__"]
    assert sorted(names[:len(usual)]) == sorted(usual) and names[len(usual):] == [
        "os", "time", "requests", "Optional", "Union", "Module", "NODE_ID", "NODE_TYPE", "get_logger", "logger",
        "FlowAPIWrapper"]
    assert flow.Module is constants.Module and flow.logger is zorv_sdk.logging.get_logger("FLOW")
    assert flow.__builtins__ is builtins
    kinds = [getattr(constants.Module, m).type for m in ("VideoFeed", "VFVideoFile", "VFUsbCamera", "VFIpCamera")]
    assert {type(k) for k in kinds} == {str} and len(set(kinds)) == 4


def test_missing_constant_fails_import_and_retry_runs_body_again():
    seen = run_fresh(FAKE_SIBLINGS + """
missing.add("NODE_TYPE")
try:
    import zorv_sdk.nodered.flow
except ImportError as exc:
    failure = (type(exc).__name__, str(exc), fetched[:], logger_calls[:], "zorv_sdk.nodered.flow" in sys.modules)
missing.clear()
fetched.clear()
import zorv_sdk.nodered.flow as flow
print((failure, fetched, logger_calls, flow.FlowAPIWrapper(host="h").node_type))
""")
    assert seen == (("ImportError", "cannot import name NODE_TYPE", ["Module", "NODE_ID"], [], False),
                    ["Module", "NODE_ID", "NODE_TYPE"], ONE_LOGGER_CALL, "node_type")


def test_get_logger_configures_one_stderr_handler_once():
    seen = run_fresh("""
import io, logging, sys
sys.stderr = io.StringIO()
from zorv_sdk.logging import get_logger
loggers = [get_logger(name="FLOW") for _ in range(3)] + [get_logger("OTHER")]
loggers[0].info("hello")
root = logging.getLogger("zorv_sdk")
print(([l.name for l in loggers], loggers[0].parent is root, len(root.handlers), sys.stderr.getvalue()))
""")
    assert seen[:3] == (["zorv_sdk.FLOW"] * 3 + ["zorv_sdk.OTHER"], True, 1)
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO zorv_sdk\.FLOW: hello\n", seen[3])
