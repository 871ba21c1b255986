"""A failed import, tried again and again in one process, leaves nothing behind: once the import
system's own caches have settled (a few hundred tries under emulation), nine hundred more failures
leave fewer references (on a debug build) or allocated blocks than a third of their number."""

import subprocess
import sys

import pytest

CHILD = """
import gc, sys, types
import zorv_sdk.constants as constants
sys.modules.update([{
    "requests": ("requests", None),
    "constant": ("zorv_sdk.constants", types.SimpleNamespace(Module=constants.Module, NODE_ID=None)),
    "logger": ("zorv_sdk.logging", types.SimpleNamespace(get_logger=lambda name: 1 / 0)),
}[sys.argv[1]]])

def fail_to_import(times):
    for _ in range(times):
        try:
            import zorv_sdk.nodered.flow
            raise SystemExit("imported")
        except (ImportError, ZeroDivisionError):
            pass
    gc.collect()
    return getattr(sys, "gettotalrefcount", sys.getallocatedblocks)()

settled = fail_to_import(300)
print(fail_to_import(900) - settled)
"""


@pytest.mark.parametrize("broken", ["requests", "constant", "logger"])
def test_failed_import_tried_again_leaks_nothing(broken):
    child = subprocess.run([sys.executable, "-c", CHILD, broken], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0 and int(child.stdout) < 300, child.stderr
