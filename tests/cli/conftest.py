"""zorv-flow run as a user runs it: a child process, its options, files and standard input."""

import json
import os
import subprocess
import sys

import pytest

from local_nodered import REPO_ROOT
from zorv_sdk.nodered import admin

# Variables the command reads that the machine running the tests may have set.
READ_VARIABLES = ("NODE_RED_HOST", admin.TOKEN_VARIABLE, admin.USER_VARIABLE, admin.PASSWORD_VARIABLE)


def run_command(*args, stdin=None, cwd=REPO_ROOT, command=(sys.executable, "-m", "zorv_sdk.nodered")):
    env = {name: value for name, value in os.environ.items() if name not in READ_VARIABLES}
    return subprocess.run([*command, *map(str, args)], input=stdin, capture_output=True, text=True,
                          cwd=cwd, env=env, timeout=60)


@pytest.fixture
def zorv_flow():
    """Runs the command with those arguments, as `python -m zorv_sdk.nodered`."""
    return run_command


@pytest.fixture
def write_flow(tmp_path):
    """Writes a flow (or any JSON document, or text, or bytes) to a file and gives its path."""
    def write(document, name="flows.json"):
        path = tmp_path / name
        if isinstance(document, bytes):
            path.write_bytes(document)
        else:
            path.write_text(document if isinstance(document, str) else json.dumps(document), encoding="utf-8")
        return path
    return write
