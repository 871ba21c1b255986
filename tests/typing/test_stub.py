"""The type stub of zorv_sdk.nodered.flow: true to the built module, usable, and strict enough to catch misuse."""

import ast
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from local_nodered import REPO_ROOT
from zorv_sdk.nodered import flow

INSTALLED_STUB = Path(flow.__file__).with_name("flow.pyi")
MYPY = shutil.which("mypy")
needs_mypy = pytest.mark.skipif(MYPY is None, reason="mypy is not installed (Debian package mypy)")

# Each line marked "# E: <codes>" must draw exactly those errors from mypy, and no other line any.
EXAMPLE = """
from typing import Optional, Union
from zorv_sdk.nodered import flow
from zorv_sdk.nodered.flow import FlowAPIWrapper
wrapper = FlowAPIWrapper("127.0.0.1", None, node_id="n1", node_type=None)
loaded: bool = wrapper._load_flow(timeout=5)
result: Union[dict, None] = wrapper.parse_flow()
entries: list = wrapper.seek_prev_nodes({"id": "n1"}) + wrapper.seek_next_nodes(cur_node={})
feed: tuple = wrapper.seek_video_feed({})
node: Optional[str] = wrapper.node_id or flow.NODE_TYPE or wrapper.url + flow.os.sep
FlowAPIWrapper(port="1880"), wrapper._load_flow(None), wrapper.seek_next_nodes([])  # E: arg-type arg-type arg-type
FlowAPIWrapper(hots="h"), wrapper.parse_flow(1), wrapper.seek_video_feed()  # E: call-arg call-arg call-arg
wrong: str = wrapper._load_flow()  # E: assignment
wrong = wrapper.parse_flow()  # E: assignment
wrong = wrapper.seek_prev_nodes({})  # E: assignment
wrong = wrapper.seek_video_feed({})  # E: assignment
"""


def stub_body() -> list:
    return ast.parse(INSTALLED_STUB.read_text(encoding="utf-8")).body


@pytest.mark.parametrize("name", [name for name in vars(flow.FlowAPIWrapper) if not name.startswith("__") or name == "__init__"])
def test_stub_method_says_what_the_module_says(name):
    wrapper = next(node for node in stub_body() if isinstance(node, ast.ClassDef))
    stub = next(node for node in wrapper.body if isinstance(node, ast.FunctionDef) and node.name == name)
    method = vars(flow.FlowAPIWrapper)[name]
    annotations = [(arg.arg, ast.unparse(arg.annotation)) for arg in stub.args.args[1:]]
    assert annotations + [("return", ast.unparse(stub.returns))] == list(method.__annotations__.items())
    # "..." stands for a default fixed at import (the host's).
    defaults, runtime = tuple(ast.literal_eval(default) for default in stub.args.defaults), method.__defaults__ or ()
    assert defaults == tuple(... if s is ... else r for s, r in zip(defaults, runtime)) and len(defaults) == len(runtime)


def test_stub_declares_every_module_global():
    body = stub_body()
    declared = {node.name for node in body if isinstance(node, ast.ClassDef)}
    declared |= {node.target.id for node in body if isinstance(node, ast.AnnAssign)}
    # A stub re-exports what it imports under the same name ("import os as os").
    declared |= {alias.name for node in body if isinstance(node, (ast.Import, ast.ImportFrom)) for alias in node.names if alias.asname == alias.name}
    assert declared == {name for name in vars(flow) if not name.startswith("__")}


@needs_mypy
def test_mypy_accepts_the_stub_and_its_good_use_and_flags_each_misuse(tmp_path):
    if not (REPO_ROOT / "src/zorv_sdk/nodered/flow.pyi").is_file():
        pytest.skip("checks the source tree's stub (these tests run from a copy of tests/)")
    example = tmp_path / "example.py"
    example.write_text(EXAMPLE, encoding="utf-8")
    command = [MYPY, "--strict", "--allow-any-generics", "--show-error-codes", "--no-error-summary", "--cache-dir",
               str(tmp_path / "cache"), "--python-version", "%d.%d" % sys.version_info[:2], str(example), "src/zorv_sdk/nodered/flow.pyi"]
    checked = subprocess.run(command, cwd=REPO_ROOT, capture_output=True, text=True)
    found = re.findall(r"^(.*?):(\d+): error: .*\[([a-z-]+)\]$", checked.stdout, re.MULTILINE)
    marked = [(str(example), str(n), code) for n, line in enumerate(EXAMPLE.splitlines(), 1) for code in line.partition("# E: ")[2].split()]
    assert (sorted(found), checked.stderr) == (sorted(marked), ""), checked.stdout


@needs_mypy
def test_stubtest_finds_the_installed_stub_true_to_the_built_module(tmp_path):
    try:
        import mypy.stubtest  # noqa: F401
    except Exception as error:  # an ImportError, or a TypeError on 3.12 and later
        pytest.skip(f"Debian's mypy does not run on Python {sys.version.split()[0]}: {error}")
    command = [sys.executable, "-m", "mypy.stubtest", "--concise", "zorv_sdk.nodered.flow"]
    checked = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr
