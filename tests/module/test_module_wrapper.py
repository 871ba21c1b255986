"""FlowAPIWrapper: its surface, how its methods bind arguments, and what construction sets."""

import builtins
import collections
import ctypes
import os
import types

import pytest

import zorv_sdk.nodered.flow as flow

W = flow.FlowAPIWrapper
METHODS = ("__init__", "_load_flow", "parse_flow", "seek_prev_nodes", "seek_next_nodes", "seek_video_feed")
SEEKS = METHODS[3:]
CLASS_DOC = ("Represents a Zorv flow related API instance\n\n    Args:\n"
             "        host(str): Host of the Node-RED server.  Normally 127.0.0.1\n"
             "        port(int): Port of the Node-RED server.  Default value is 1880\n"
             "        node_id(str): ID of the node.           Use NODE_ID env var if not set.\n"
             "        node_type(str): Type of the node.       Use NODE_TYPE env var if not set.\n    ")
LOAD_FLOW_DOC = ("\n        Pull flow from Node-RED server and compose a dict\n\n        Args:\n"
                 "            timeout(int): Timeout value in seconds. Default is 5 minutes.\n        ")
PARSE_FLOW_DOC = ("Parse node-RED flow to find current/previous/next/vid-fed nodes\n\n        Returns:\n"
                  "            dict: The result of the current, previous, next, and video-feed node.\n\n"
                  "                .. code-block:: python\n\n                    {\n"
                  '                        "cur_node": current node(dict)\n'
                  '                        "prev_nodes": list of previous nodes\n'
                  '                        "next_nodes": list of next nodes\n'
                  '                        "vid_fed": {"flow": video feed node, "port": video port id}\n'
                  "                    }\n        ")
SEEK_DOC_TAIL = "\n\n        Args:\n            cur_node(dict): Target node info\n        "
INIT_ANNOTATIONS = {"host": "str", "port": "Optional[int]", "node_id": "Optional[str]",
                    "node_type": "Optional[str]", "return": "None"}


@pytest.mark.parametrize("name, doc, length, defaults, annotations", [
    ("__init__", None, 0, (os.environ.get("NODE_RED_HOST", "127.0.0.1"), 1880, "", ""), INIT_ANNOTATIONS),
    ("_load_flow", LOAD_FLOW_DOC, 156, (300,), {"timeout": "int", "return": "bool"}),
    ("parse_flow", PARSE_FLOW_DOC, 514, None, {"return": "Union[dict, None]"}),
    *[(name, first + SEEK_DOC_TAIL, length, None, {"cur_node": "dict", "return": kind})
      for name, first, length, kind in [
        ("seek_prev_nodes", "Seek previous nodes that have the target node as a child.", 126, "list"),
        ("seek_next_nodes", "Seek next nodes that have the target node as a parent.", 123, "list"),
        ("seek_video_feed", "Seek VidFed node that has the target node as a child.", 122, "tuple")]],
], ids=METHODS)
def test_method_introspection(name, doc, length, defaults, annotations):
    method = vars(W)[name]
    assert (method.__name__, method.__qualname__, method.__module__) == (
        name, "FlowAPIWrapper." + name, "zorv_sdk.nodered.flow")
    assert (method.__doc__, len(method.__doc__ or "")) == (doc, length)
    assert method.__defaults__ == defaults and method.__kwdefaults__ is None
    assert [type(d) for d in method.__defaults__ or ()] == [type(d) for d in defaults or ()]
    assert list(method.__annotations__.items()) == list(annotations.items())
    assert {type(v) for v in method.__annotations__.values()} == {str}


def test_module_and_class():
    assert (flow.__doc__, len(flow.__doc__)) == (
        "\nWrapper for the Flow API. This module is normally used to parse flow information from the Node-RED.\n", 101)
    assert (W.__doc__, len(W.__doc__)) == (CLASS_DOC, 360)
    assert type(W) is type and W.__bases__ == (object,)
    assert (W.__name__, W.__qualname__, W.__module__) == ("FlowAPIWrapper", "FlowAPIWrapper", "zorv_sdk.nodered.flow")
    assert list(vars(W)) == ["__module__", "__doc__", *METHODS, "__dict__", "__weakref__"]
    wrapper = W(host="h")
    for bound, method in ((getattr(wrapper, name), vars(W)[name]) for name in METHODS):
        assert type(bound) is types.MethodType and bound.__self__ is wrapper and bound.__func__ is method
        assert getattr(W, method.__name__) is method


@pytest.fixture
def wrapper(monkeypatch):
    # A body run by mistake fails at its first use of the network, the clock or the log.
    for name in ("requests", "time", "logger"):
        monkeypatch.setattr(flow, name, None)
    return W("h", 1, "i", "t")


def vectorcall(func, positional, kwnames, kwvalues):
    """Call func's vectorcall entry itself: the only way to hand over keyword names that are not str.

    PyObject_Vectorcall is exported only from 3.11 on, so the pointer is read where every version
    keeps it: at tp_vectorcall_offset, which follows seven pointer-sized fields of the type object.
    """
    word = ctypes.sizeof(ctypes.c_void_p)
    offset = ctypes.c_ssize_t.from_address(id(type(func)) + 7 * word).value
    entry = ctypes.c_void_p.from_address(id(func) + offset).value
    call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                             ctypes.c_size_t, ctypes.py_object)(entry)
    stack = (ctypes.py_object * (len(positional) + len(kwvalues)))(*positional, *kwvalues)
    return call(func, stack, len(positional), kwnames)


def takes(name, bound, count, given):
    return f"{name}() takes {bound} {count} positional argument{'s' * (count != 1)} ({given} given)"


def wrong(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


Text, Number = type("Text", (str,), {}), type("Number", (int,), {})
BAD_CALLS = [
    (lambda w: W("h", 1, "i", "t", "x"), takes("__init__", "at most", 5, 6)),
    (lambda w: W.__init__(), takes("__init__", "at least", 1, 0)),
    (lambda w: W.__init__(port=1, host="h"), takes("__init__", "at least", 1, 0)),
    (lambda w: w._load_flow(1, 2), takes("_load_flow", "at most", 2, 3)),
    (lambda w: W._load_flow(timeout=1), takes("_load_flow", "at least", 1, 0)),
    (lambda w: w.parse_flow(1), takes("parse_flow", "exactly", 1, 2)),
    (lambda w: w.seek_next_nodes(), takes("seek_next_nodes", "exactly", 2, 1)),
    (lambda w: W.seek_video_feed(self=w), takes("seek_video_feed", "exactly", 2, 1)),
    (lambda w: W.seek_prev_nodes(cur_node={}), takes("seek_prev_nodes", "exactly", 2, 0)),
    (lambda w: W(hosts="h"), "__init__() got an unexpected keyword argument 'hosts'"),
    (lambda w: w.__init__(port=1, bogus=2), "__init__() got an unexpected keyword argument 'bogus'"),
    (lambda w: w.parse_flow(x=1), "parse_flow() got an unexpected keyword argument 'x'"),
    (lambda w: W("h", host="h"), "__init__() got multiple values for keyword argument 'host'"),
    (lambda w: w._load_flow(5, timeout=5), "_load_flow() got multiple values for keyword argument 'timeout'"),
    (lambda w: W.seek_next_nodes(w, {}, self=w), "seek_next_nodes() got multiple values for keyword argument 'self'"),
    (lambda w: vectorcall(W.__init__, (w,), (b"host",), ("h",)), "__init__() keywords must be strings"),
    (lambda w: vectorcall(W.seek_next_nodes, (w, {}), (None,), (2,)), "seek_next_nodes() keywords must be strings"),
    (lambda w: w.__init__(Text("h")), wrong("host", "str", "Text")),
    (lambda w: w.__init__(None), wrong("host", "str", "NoneType")),
    (lambda w: w.__init__("h", True), wrong("port", "int", "bool")),
    (lambda w: w.__init__(port=Number(1)), wrong("port", "int", "Number")),
    (lambda w: w.__init__("h", 1, 7), wrong("node_id", "str", "int")),
    (lambda w: w.__init__(node_type=Text("t")), wrong("node_type", "str", "Text")),
    (lambda w: w.__init__(node_type=1, port="1"), wrong("port", "int", "str")),
    (lambda w: w._load_flow(True), wrong("timeout", "int", "bool")),
    (lambda w: w._load_flow(1.5), wrong("timeout", "int", "float")),
    (lambda w: w._load_flow(timeout=None), wrong("timeout", "int", "NoneType")),
    # A C type is named in full, as the interpreter's own argument checks name it.
    *[(lambda w, s=s, v=v: getattr(w, s)(cur_node=v), wrong("cur_node", "dict", got)) for s in SEEKS
      for v, got in [(collections.OrderedDict(), "collections.OrderedDict"), (None, "NoneType"), ([], "list")]],
]


@pytest.mark.parametrize("call, message", BAD_CALLS)
def test_bad_call_is_refused_before_the_body_runs(wrapper, call, message):
    before = dict(vars(wrapper))
    with pytest.raises(TypeError) as caught:
        call(wrapper)
    assert str(caught.value) == message
    assert list(vars(wrapper)) == list(before) and all(vars(wrapper)[k] is v for k, v in before.items())


ATTRIBUTES = ["url", "_nodes", "_visited_node_ids", "node_id", "node_type"]


@pytest.mark.parametrize("args, kwargs, url", [
    (("nodered", 8080), {}, "http://nodered:8080"), ((), {"host": "h", "port": 0}, "http://h:0"),
    (("h", -1), {}, "http://h:-1"), (("h", None), {}, "http://h:None"), (("h", 10**20), {}, f"http://h:{10**20}"),
    (("",), {}, "http://:1880"), ((), {"node_id": "", "host": "a b/c"}, "http://a b/c:1880"),
    ((), {"".join(["ho", "st"]): "joined"}, "http://joined:1880"),  # a keyword name that is not interned
])
def test_url_joins_host_and_port(args, kwargs, url):
    wrapper = W(*args, **kwargs)
    assert list(vars(wrapper)) == ATTRIBUTES
    assert (wrapper.url, type(wrapper.url), wrapper._nodes, wrapper._visited_node_ids) == (url, str, {}, [])


@pytest.mark.parametrize("node_id, node_type, global_id, expected", [
    ("n", "t", "gid", ("n", "t")), ("0", "0", "gid", ("0", "0")), ("", "", "gid", ("gid", "gtype")),
    (None, None, "gid", ("gid", "gtype")), ("n", "", "gid", ("n", "gtype")), (None, "t", None, (None, "t")),
])
def test_empty_node_falls_back_to_global_read_at_call_time(monkeypatch, node_id, node_type, global_id, expected):
    monkeypatch.setattr(flow, "NODE_ID", global_id)
    monkeypatch.setattr(flow, "NODE_TYPE", "gtype")
    wrapper = W("h", node_id=node_id, node_type=node_type)
    assert (wrapper.node_id, wrapper.node_type) == expected


def test_each_construction_makes_new_containers():
    first, second = W("a"), W("a")
    assert first._nodes is not second._nodes and first._visited_node_ids is not second._visited_node_ids
    nodes, visited = first._nodes, first._visited_node_ids
    nodes["n"], visited[:] = {"id": "n"}, ["n"]
    assert first.__init__("b", 2, "i", "t") is None
    assert vars(first) == {"url": "http://b:2", "_nodes": {}, "_visited_node_ids": [], "node_id": "i", "node_type": "t"}
    assert (nodes, visited) == ({"n": {"id": "n"}}, ["n"])


@pytest.mark.parametrize("name, kept", [("NODE_ID", 3), ("NODE_TYPE", 4)])
def test_fallback_global_is_looked_up_only_when_needed(monkeypatch, name, kept):
    monkeypatch.delattr(flow, name)
    wrapper = W.__new__(W)
    with pytest.raises(NameError) as caught:
        wrapper.__init__("h")
    assert (str(caught.value), list(vars(wrapper))) == (f"name '{name}' is not defined", ATTRIBUTES[:kept])
    given = W("h", node_id="i", node_type="t")
    assert (given.node_id, given.node_type) == ("i", "t")
    monkeypatch.setattr(builtins, name, "from builtins", raising=False)
    assert getattr(W("h"), name.lower()) == "from builtins"
