"""Faults of the native module, each held by a case of its own: what the interpreter's dict and
type watchers must not cost (a crash at exit, a member of `Module` kept alive, a stale answer
when another watcher searches, watcher ids taken), keyword binding with two keys of the same
text, a walk whose visited list forgets, and a deep walk in a thread with a small stack. The
cases that could crash, hang or eat the machine run in child processes."""

import ctypes
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
needs_watchers = pytest.mark.skipif(not hasattr(ctypes.pythonapi, "PyDict_AddWatcher"),
                                    reason="dict and type watchers exist from CPython 3.12 on")
MODULES = pytest.mark.parametrize("module", [flow, plain_flow], ids=["native", "plain"])
DICT_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
TYPE_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)


def run_child(code, seconds=60, memory=None):
    """`code` in a fresh interpreter that sees the tests' helpers, with at most `memory` bytes
    of address space (where the sanitizer allows a limit)."""
    limit = None if memory is None or ASAN else lambda: resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    return subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {TESTS!r})\n{code}"],
                          capture_output=True, text=True, timeout=seconds, preexec_fn=limit)


EXIT_AFTER_REPLACING = """
from search.search_flows import make_wrapper, node, video
from zorv_sdk.constants import Module, NodeModule
from zorv_sdk.nodered import flow
w = make_wrapper(video("V", ["A"]), node("A", ["S"]), node("S"))
assert w.seek_video_feed(w._nodes["S"]) == (w._nodes["V"], 0)
{member} = NodeModule("other")
"""


@pytest.mark.parametrize("member", ["Module.VideoFeed", "flow.Module.VideoFeed"])
def test_exit_after_a_member_of_module_is_replaced(member):
    # What the module keeps of a search must be let go while the interpreter still runs: the
    # crash it leaves otherwise comes in about half the runs, hence ten of them.
    runs = [run_child(EXIT_AFTER_REPLACING.format(member=member)) for _ in range(10)]
    assert [(run.returncode, run.stderr) for run in runs] == [(0, "")] * 10


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


def searched_while_rewired(method):
    """`method` on B from inside another dict watcher of A, just before A is wired to B, and once
    after: (what the watcher found, what the search finds after)."""
    w = make_wrapper(video("V", ["A"]), node("A", ["C"]), node("B"), node("C"))
    rec_a, rec_b = w._nodes["A"], w._nodes["B"]

    def search():
        w._visited_node_ids = []
        found = getattr(w, method)(rec_b)
        if isinstance(found, tuple):
            return found[0] and found[0]["id"], found[1]
        return [(e["node"]["id"] if e["node"] is w._nodes.get(e["node"]["id"]) else "a copy", e["port"])
                for e in found]

    seen = []
    callback = DICT_CALLBACK(lambda event, dict_, key, value: seen.append(search()) or 0)
    api = ctypes.pythonapi
    search()
    watcher = api.PyDict_AddWatcher(callback)
    api.PyDict_Watch(watcher, ctypes.py_object(rec_a))
    rec_a["wires"] = [["B"]]  # CPython tells the watchers before it makes the change
    api.PyDict_Unwatch(watcher, ctypes.py_object(rec_a))
    api.PyDict_ClearWatcher(watcher)
    return seen, search()


@needs_watchers
@pytest.mark.parametrize("method, before, after", [
    ("seek_prev_nodes", [], [("A", 0)]),
    ("seek_video_feed", (None, None), ("V", 0)),
])
def test_search_from_another_dict_watcher(method, before, after):
    # The search inside the watcher sees A as it was; what the module learnt of A then must
    # not outlive the change (the old wires list is freed by it).
    assert in_child(lambda: searched_while_rewired(method)) == ([before], after)


COUNT_WATCHERS = """
import ctypes
api = ctypes.pythonapi
dict_callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)(
    lambda *args: 0)
type_callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)(lambda cls: 0)

def free_watchers():
    counts = []
    for add, clear, callback in ((api.PyDict_AddWatcher, api.PyDict_ClearWatcher, dict_callback),
                                 (api.PyType_AddWatcher, api.PyType_ClearWatcher, type_callback)):
        ids = []
        try:
            while len(ids) < 8:
                ids.append(add(callback))
        except RuntimeError:  # no id left
            pass
        for watcher in ids:
            clear(watcher)
        counts.append(len(ids))
    return counts

before = free_watchers()
from search.search_flows import make_wrapper, node, video
from zorv_sdk.nodered import flow
class Sub(flow.FlowAPIWrapper):
    pass
for cls in (flow.FlowAPIWrapper, Sub):
    w = make_wrapper(video("V", ["A"]), node("A", ["S"]), node("S"), cls=cls)
    assert w.seek_video_feed(w._nodes["S"]) == (w._nodes["V"], 0)
    assert len(w.seek_prev_nodes(w._nodes["A"])) == len(w.seek_next_nodes(w._nodes["A"])) == 1
print(before)
print(free_watchers())
"""


@needs_watchers
def test_module_takes_no_watcher_ids():
    # An interpreter has 8 ids of each kind for every extension to share. Some interpreters
    # hold a few themselves (3.13 does), so the count is compared with the one before import.
    child = run_child(COUNT_WATCHERS)
    assert child.returncode == 0, child.stderr
    before, after = child.stdout.splitlines()
    assert after == before


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
