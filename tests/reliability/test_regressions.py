"""Faults of the native module, each held by a case of its own: a member of `Module` kept alive
after a search, keyword binding with two keys of the same text, a walk whose visited list
forgets, and a deep walk in a thread with a small stack. The cases that could crash, hang or eat
the machine run in child processes."""

import os
import resource
import subprocess
import sys
import threading
from pathlib import Path

import plain_flow
import pytest
from reliability.conftest import in_child
from search.search_flows import make_wrapper, node, video
from zorv_sdk.constants import Module, NodeModule
from zorv_sdk.nodered import flow

TESTS = str(Path(__file__).resolve().parents[1])
# ASan's runtime reserves terabytes of address space up front: an RLIMIT_AS would stop it
# starting, so under it a child gets a time limit only.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
MODULES = pytest.mark.parametrize("module", [flow, plain_flow], ids=["native", "plain"])


def run_child(code, seconds=60, memory=None):
    """`code` in a fresh interpreter that sees the tests' helpers, with at most `memory` bytes
    of address space (where the sanitizer allows a limit)."""
    limit = None if memory is None or ASAN else lambda: resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    return subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {TESTS!r})\n{code}"],
                          capture_output=True, text=True, timeout=seconds, preexec_fn=limit)


@MODULES
def test_replaced_member_of_module_is_freed_at_once(module, monkeypatch):
    freed = []

    # A NodeModule like the real members, as the module keeps only tuples; its instances take
    # no weak references, so __del__ tells when one goes.
    class Member(NodeModule):
        __slots__ = ()

        def __del__(self):
            freed.append(self.type)

    w = make_wrapper(node("V", ["A"], type="cam-one"), node("A", ["S"]), node("S"), cls=module.FlowAPIWrapper)
    monkeypatch.setattr(Module, "VideoFeed", Member("cam-one"))
    assert w.seek_video_feed(w._nodes["S"]) == (w._nodes["V"], 0)
    Module.VideoFeed = Member("cam-two")  # not through monkeypatch, which would keep the old one
    assert freed == ["cam-one"]
    w._visited_node_ids = []
    assert w.seek_video_feed(w._nodes["S"]) == (None, None)
    w._nodes["V"]["type"], w._visited_node_ids = "cam-two", []
    assert w.seek_video_feed(w._nodes["S"]) == (w._nodes["V"], 0)


class Name(str):
    """Hashes like its text and equals nothing: a second keyword of the same text."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


@pytest.mark.parametrize("method, keyword, value", [
    ("seek_next_nodes", "cur_node", {}),
    ("seek_video_feed", "cur_node", {}),
    ("seek_prev_nodes", "cur_node", {}),
    ("__init__", "host", "a"),
])
def test_two_keywords_of_the_same_text(method, keyword, value):
    kwargs = {Name(keyword): value, keyword: value}
    assert len(kwargs) == 2

    def call(module):
        if method == "__init__":
            return module.FlowAPIWrapper(**kwargs)
        return getattr(make_wrapper(node("S"), cls=module.FlowAPIWrapper), method)(**kwargs)

    with pytest.raises(TypeError) as native:
        call(flow)
    assert str(native.value) == f"{method}() got an unexpected keyword argument '{keyword}'"
    # Python names the method by its qualified name from 3.10 on: only the rest is compared.
    with pytest.raises(TypeError) as plain:
        call(plain_flow)
    assert str(plain.value).endswith(f"() got an unexpected keyword argument '{keyword}'")


FORGETFUL_WALK = """
from search.search_flows import make_wrapper, node
from zorv_sdk.nodered import flow
import plain_flow
class Forgetful(list):
    def __contains__(self, node_id):
        return False
w = make_wrapper(node("A", ["B", "S"]), node("B", ["A"]), node("S"), cls={module}.FlowAPIWrapper)
w._visited_node_ids = Forgetful()
try:
    w.seek_video_feed(w._nodes["S"])
except BaseException as error:
    print(type(error).__name__)
"""


@MODULES
def test_cycle_walked_without_visits_meets_recursion_error(module):
    # Round the cycle the walk only grows (by some hundred MB a second): it is held to 1 GiB,
    # or, where the sanitizer forbids that, to a shorter time, as it cannot end any other way.
    child = run_child(FORGETFUL_WALK.format(module=module.__name__.rpartition(".")[2]),
                      seconds=20 if ASAN else 60, memory=1 << 30)
    assert (child.stdout, child.returncode) == ("RecursionError\n", 0), child.stderr[-2000:]


# Each level of this walk takes about 0.9 KiB of C stack in a release build; under ASan about
# 3 KiB, which 200 levels cannot find in 256 KiB, hence 768 KiB there. From 3.14 on the
# interpreter's own guard keeps a margin of every thread's stack and a call from C into Python
# takes more of it (200 levels used 220 KiB of 256 there): 512 KiB.
STACK = (768 if ASAN else 512 if sys.version_info >= (3, 14) else 256) * 1024


def searched_in_small_thread(module):
    class Override(module.FlowAPIWrapper):
        def seek_video_feed(self, cur_node):
            return super().seek_video_feed(cur_node)

    ids = [f"n{i}" for i in range(200)]
    w = make_wrapper(video(ids[0], [ids[1]]), *(node(a, [b]) for a, b in zip(ids[1:], ids[2:])), node(ids[-1]),
                     cls=Override)
    found = []

    def search():
        try:
            feed, port = w.seek_video_feed(w._nodes[ids[-1]])
            found.append((feed and feed["id"], port))
        except Exception as error:
            found.append(type(error).__name__)

    old = threading.stack_size(STACK)
    try:
        thread = threading.Thread(target=search)
        thread.start()
    finally:
        threading.stack_size(old)
    thread.join()
    return found


@MODULES
def test_deep_override_walk_in_a_thread_with_a_small_stack(module):
    # The stack guard must leave a small stack mostly usable: 200 levels fit in 256 KiB.
    assert in_child(lambda: searched_in_small_thread(module)) == [("n0", 0)]
