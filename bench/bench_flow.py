"""Times zorv_sdk.nodered.flow against the plain-Python baseline, side by side in one run.

    .venv/bin/python bench/bench_flow.py [--quick]

Every row times the same call on the same data with both implementations and prints both
times and the ratio (baseline / native: how many times faster the native module is). The
end-to-end rows and the memory row run against a real Node-RED on loopback; parse_flow is also
set against the bare download of the same flow (requests.get and .json()). The last row runs
the zorv-flow command on a flow file and sets it against the second it must answer within.
"""
import argparse
import gc
import json
import logging
import random
import subprocess
import sys
import tempfile
import timeit
import tracemalloc
from pathlib import Path

import requests

sys.path[:0] = [str(Path(__file__).parents[1] / "tests")]

from local_nodered import API_HEADERS, REPO_ROOT, NodeRedServer  # noqa: E402
from plain_flow import FlowAPIWrapper as PyFlowAPIWrapper  # noqa: E402
from zorv_sdk.constants import Module  # noqa: E402
from zorv_sdk.nodered.flow import FlowAPIWrapper  # noqa: E402
from zorv_sdk.nodered.sources import video_sources  # noqa: E402

FEED = Module.VFUsbCamera.type
PARSE_FLOW_SIZE = 1000  # nodes of the random flow that parse_flow is measured on
COMMAND_FLOW_SIZE = 1500  # nodes of the flow file that `zorv-flow --all` must answer for within a second


def record(node_id, wires, node_type="function"):
    return {"id": node_id, "type": node_type, "name": node_id, "x": 100, "y": 100, "z": "tab",
            "wires": wires}


def neighbourhood_flow(n, rng):
    """n nodes with two output ports each, wired to random nodes."""
    ids = [f"{rng.getrandbits(64):016x}" for _ in range(n)]
    return [record(i, [[rng.choice(ids)], [rng.choice(ids), rng.choice(ids)]]) for i in ids]


def chain_flow(n):
    """A video source, then n nodes in a row; the search starts at the last."""
    nodes = [record("feed", [["n0"]], FEED)]
    nodes += [record(f"n{i}", [[f"n{i + 1}"]] if i + 1 < n else []) for i in range(n)]
    return nodes, nodes[-1]


def fan_in_flow(n):
    """n predecessors of the start node, each fed by one more node; the source feeds the last."""
    nodes = [record("start", [])]
    for i in range(n):
        nodes.append(record(f"p{i}", [["start"]]))
        nodes.append(record(f"q{i}", [[f"p{i}"]]))
    nodes.append(record("feed", [[f"q{n - 1}"]], FEED))
    return nodes, nodes[0]


def dag_flow(n, rng):
    """n nodes wired forward at random, a few sources at the front; starts at the last node."""
    ids = [f"d{i}" for i in range(n)]
    nodes = []
    for i, node_id in enumerate(ids):
        later = ids[i + 1:] or [node_id]
        wires = [[rng.choice(later) for _ in range(rng.randint(1, 2))] for _ in range(rng.randint(1, 2))]
        nodes.append(record(node_id, wires, FEED if i < 3 else "function"))
    return nodes, nodes[-1]


def calls_per_run(call, budget):
    """How many calls of `call` take about `budget` seconds."""
    number = 1
    while True:
        elapsed = timeit.timeit(call, number=number)
        if elapsed >= budget / 4 or number >= 1 << 22:
            break
        number *= 4
    return max(1, int(number * budget / max(elapsed, 1e-9) / 4) or 1)


def best_times(*calls, budget=0.4, repeat=5):
    """Seconds per call of each: the best of `repeat` runs, each about `budget` seconds long.
    The runs of the calls take turns, so that a slow spell of the machine falls on all alike."""
    numbers = [calls_per_run(call, budget) for call in calls]
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for i, (call, number) in enumerate(zip(calls, numbers)):
            best[i] = min(best[i], timeit.timeit(call, number=number) / number)
    return best


def best_time(call, **options):
    return best_times(call, **options)[0]


def node_program(cls):
    """A node program's class, as examples/node_program.py makes one: `_load_flow` overridden."""
    class NodeProgram(cls):
        def _load_flow(self, timeout=300):
            return super()._load_flow(timeout)
    return NodeProgram


def wrappers(flow, classes=(FlowAPIWrapper, PyFlowAPIWrapper)):
    pair = tuple(cls() for cls in classes)
    for wrapper in pair:
        wrapper._nodes = {node["id"]: node for node in flow}
    return pair


def time_pair(native_call, baseline_call, **options):
    return tuple(best_times(native_call, baseline_call, **options))


def search_call(wrapper, method, cur_node):
    """A call written as users write it, `wrapper.method(cur_node)`: the method is looked up on
    the instance at each call, as dict.get is in the rows it is compared with."""
    if method == "seek_prev_nodes":
        return lambda: wrapper.seek_prev_nodes(cur_node)
    if method == "seek_next_nodes":
        return lambda: wrapper.seek_next_nodes(cur_node)

    def fresh_search():
        wrapper._visited_node_ids = []
        return wrapper.seek_video_feed(cur_node)
    return fresh_search


def overhead_rows():
    """Per call on trivial input, with two built-in methods for scale; each native call is also
    set against dict.get (the last column of its second line)."""
    data, empty = {"id": "a"}, []
    get = best_time(lambda: data.get("id"))
    yield "dict.get (built-in, for scale)", get, None
    yield "list.copy (built-in, allocates)", best_time(lambda: empty.copy()), None
    native, baseline = wrappers([])
    for method in ("seek_prev_nodes", "seek_next_nodes", "seek_video_feed"):
        native_call, baseline_call = (search_call(w, method, {"id": "a"}) for w in (native, baseline))
        times = time_pair(native_call, baseline_call)
        yield f"{method}(trivial node)", *times
        yield "  native / dict.get", times[0] / get
    times = time_pair(FlowAPIWrapper, PyFlowAPIWrapper)
    yield "__init__()", *times
    yield "  native / dict.get", times[0] / get


def neighbour_rows(sizes, rng):
    for n in sizes:
        flow = neighbourhood_flow(n, rng)
        native, baseline = wrappers(flow)
        cur_node = flow[n // 2]
        for method in ("seek_prev_nodes", "seek_next_nodes"):
            calls = [search_call(w, method, cur_node) for w in (native, baseline)]
            yield f"{method}, {n} nodes", *time_pair(*calls)


def video_feed_rows(quick, rng):
    classes = FlowAPIWrapper, PyFlowAPIWrapper
    chain = chain_flow(1000 if quick else 2000)
    cases = [("chain", chain, classes),
             ("fan-in", fan_in_flow(300 if quick else 1000), classes),
             ("random DAG", dag_flow(1000 if quick else 2000, rng), classes),
             ("chain, from a node program's subclass,", chain, tuple(map(node_program, classes)))]
    for name, (flow, start), pair in cases:
        native, baseline = wrappers(flow, pair)
        native_call, baseline_call = (search_call(w, "seek_video_feed", start) for w in (native, baseline))
        assert native_call() == baseline_call(), name
        yield (f"seek_video_feed, {name} of {len(flow)} nodes",
               best_time(native_call, budget=0.2, repeat=3), best_time(baseline_call, budget=0, repeat=1))


def parse_flows(n, rng):
    """(name, flow, start record) of each flow that parse_flow is measured on: the example flow
    of the README, then a random one of `n` nodes."""
    example = json.loads((REPO_ROOT / "examples" / "flow.json").read_text(encoding="utf-8"))
    large = neighbourhood_flow(n, rng)
    return [("example flow", example, example[6]), (f"{n} nodes", large, large[n // 2])]


def parse_rows(n, rng):
    """parse_flow on the example flow of the README and on a large random one."""
    flows = parse_flows(n, rng)
    for name, flow, start in flows:
        with NodeRedServer(flow) as server:
            def made(classes):
                return [cls(host=server.host, port=server.port, node_id=start["id"], node_type=start["type"])
                        for cls in classes]
            pair = made((FlowAPIWrapper, PyFlowAPIWrapper))
            assert pair[0].parse_flow() == pair[1].parse_flow()
            native, baseline, bare = best_times(*(w.parse_flow for w in pair), bare_download(pair[0].url),
                                                budget=0.5, repeat=10)
            yield f"parse_flow end to end, {name}", native, baseline
            yield "  native / bare download", native / bare
            if flow is flows[-1][1]:
                programs = made(map(node_program, (FlowAPIWrapper, PyFlowAPIWrapper)))
                yield f"  the same from a node program's subclass", *best_times(*(w.parse_flow for w in programs))
                yield "peak memory of one parse (bytes)", *(peak_memory(w.parse_flow) for w in pair)


def bare_download(url):
    """The download that parse_flow starts with, and nothing else: the floor of its time."""
    def download():
        return requests.get(f"{url}/flows", headers=API_HEADERS).json()
    return download


def peak_memory(call):
    gc.collect()
    tracemalloc.start()
    call()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def command_rows(n, rng):
    """`zorv-flow --all` on files of random flows without a video source and of chains with one
    at the front, each a whole run, interpreter start included, against the second the 1,500
    node one must take less than; then the answers of one chain from one index, against one
    search per node."""
    flows = [(f"random, {n} nodes", neighbourhood_flow(n, rng))]
    flows += [(f"chain, {size} nodes", chain_flow(size - 1)[0]) for size in (n, 5000, 20000)]
    for name, flow in flows:
        with tempfile.NamedTemporaryFile("w", suffix=".json") as file:
            json.dump(flow, file)
            file.flush()
            command = [sys.executable, "-m", "zorv_sdk.nodered", "--all", "--file", file.name]

            def run():
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            yield f"zorv-flow --all, {name}, against 1 s", best_time(run, budget=0, repeat=3), 1.0
    wrapper = wrappers(chain_flow(n - 1)[0])[0]
    nodes = list(wrapper._nodes.values())

    def one_by_one():
        return [search_call(wrapper, "seek_video_feed", node)() for node in nodes]
    yield (f"video sources of a {n} node chain, one index", best_time(lambda: video_sources(wrapper, nodes)),
           best_time(one_by_one, budget=0, repeat=1))


def show(name, native, baseline=False):
    if baseline is False:
        print(f"{name:<48}{'':>12}   {'':>12}   {native:>8.2f}")
    elif baseline is None:
        print(f"{name:<48}{native * 1e9:>12.0f} ns")
    elif isinstance(native, int):
        print(f"{name:<48}{native:>12,}   {baseline:>12,}   {baseline / native:>8.2f}")
    else:
        print(f"{name:<48}{format_seconds(native):>12}   {format_seconds(baseline):>12}   {baseline / native:>8.1f}x")


def format_seconds(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.0f} ns"


def main(argv):
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--quick", action="store_true", help="smaller flows, for a smoke run")
    quick = options.parse_args(argv).quick
    logging.getLogger("zorv_sdk").setLevel(logging.WARNING)
    sys.setrecursionlimit(100_000)  # the baseline recurses once per node of a chain
    rng = random.Random(1880)
    print(f"Python {sys.version.split()[0]}, {sys.platform}; ratio = baseline / native")
    print(f"{'':<48}{'native':>12}   {'baseline':>12}   {'ratio':>8}")
    sizes = (100, 1000) if quick else (100, 1000, 10000)
    for rows in (overhead_rows(), neighbour_rows(sizes, rng), video_feed_rows(quick, rng),
                 parse_rows(PARSE_FLOW_SIZE, rng), command_rows(COMMAND_FLOW_SIZE, rng)):
        for row in rows:
            show(*row)


if __name__ == "__main__":
    main(sys.argv[1:])
