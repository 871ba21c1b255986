"""Counts with callgrind what parse_flow does on top of its download, against a real Node-RED.

    .venv/bin/python bench/parse_instructions.py [--parses N] [--nodes N [N ...]]

Run by another interpreter's venv (build-versions/<version>/venv/bin/python, as
scripts/passes/test_versions.sh makes it), it counts on that interpreter and its build of the
module: the child is run by the same interpreter.

The wall-clock ratio of parse_flow to the bare download moves with the machine, and even the
instruction count of one download moves with how the server's answer arrives (in how many
reads). So both are counted in the same calls: callgrind counts every instruction of
parse_flow, and the part spent in the download itself, `requests.get(...)`, `.json()` and
`.get("flows")` and the freeing of what they made, is found among the callees of _load_flow.
The rest is what parse_flow adds: the node table, the searches and the log lines. The ratio
printed, all / download, is how much slower parse_flow is than the bare download would be.
Needs valgrind.
"""
import argparse
import logging
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

from bench_flow import PARSE_FLOW_SIZE, parse_flows  # noqa: E402

# The callees of _load_flow that are the download: the call of requests.get, the method calls
# .json() and .get("flows"), and the freeing of the response and of the table replaced (a bare
# download frees its result too).
DOWNLOAD_CALLEES = ("PyObject_Vectorcall", "PyObject_VectorcallMethod", "_Py_Dealloc", "PyObject_SetAttr")


def measured_flows(sizes):
    """(name, flow, start record): the example flow, then a random flow of each size."""
    flows = parse_flows(sizes[0], random.Random(1880))
    return flows + [parse_flows(n, random.Random(1880))[1] for n in sizes[1:]]


def run_parses(flow_index, sizes, parses):
    """In the process that callgrind watches: parse_flow on one of the measured flows, `parses` times."""
    from local_nodered import NodeRedServer
    from zorv_sdk.nodered.flow import FlowAPIWrapper

    logging.getLogger("zorv_sdk").setLevel(logging.WARNING)
    _, flow, start = measured_flows(sizes)[flow_index]
    with NodeRedServer(flow) as server:
        wrapper = FlowAPIWrapper(host=server.host, port=server.port, node_id=start["id"], node_type=start["type"])
        for _ in range(parses):
            assert wrapper.parse_flow() is not None


def count(flow_index, sizes, parses):
    """(instructions in parse_flow, of them in the download), per parse."""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--toggle-collect=*wrapper_parse_flow*", sys.executable, __file__,
                        "--child", str(flow_index), "--parses", str(parses),
                        "--nodes", *map(str, sizes)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        tree = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--tree=calling", str(out)],
                              check=True, capture_output=True, text=True).stdout
    return tuple(total / parses for total in (parse_total(tree), download_total(tree)))


def parse_total(tree):
    match = re.search(r"^\s*([\d,]+) \([^)]*\)\s+\*\s+\S*wrapper_parse_flow", tree, re.M)
    return int(match.group(1).replace(",", ""))


def download_total(tree):
    block = re.search(r"^\s*[\d,]+ \([^)]*\)\s+\*\s+\S*wrapper_load_flow.*\n((?:.*>.*\n)*)", tree, re.M).group(1)
    names = "|".join(DOWNLOAD_CALLEES)
    callees = re.findall(rf"^\s*([\d,]+) \([^)]*\)\s+>\s+\S*?:({names})(?:'\d+)? \(", block, re.M)
    return sum(int(n.replace(",", "")) for n, _ in callees)


def main(argv):
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--parses", type=int, default=8)
    options.add_argument("--nodes", type=int, nargs="+", default=[PARSE_FLOW_SIZE],
                         help=f"sizes of the random flows (default {PARSE_FLOW_SIZE})")
    options.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = options.parse_args(argv)
    if args.child is not None:
        return run_parses(args.child, args.nodes, args.parses)
    if not shutil.which("valgrind"):
        sys.exit("parse_instructions.py needs valgrind (apt-get install valgrind)")
    print(f"Python {sys.version.split()[0]} ({sys.executable}); instructions per parse_flow, callgrind")
    print(f"{'flow':<16}{'parse_flow':>14}{'download':>14}{'added':>12}{'ratio':>9}")
    added = {}
    for flow_index, (flow_name, flow, _) in enumerate(measured_flows(args.nodes)):
        total, download = count(flow_index, args.nodes, args.parses)
        added[len(flow)] = (total - download, download)
        print(f"{flow_name:<16}{total:>14,.0f}{download:>14,.0f}{total - download:>12,.0f}{total / download:>9.3f}")
    # What one more node costs, from the difference of two random flows: the fixed part of a
    # parse (the request, the log lines) drops out.
    sizes = sorted(args.nodes)
    for small, large in zip(sizes, sizes[1:]):
        (a_small, d_small), (a_large, d_large) = added[small], added[large]
        nodes = large - small
        print(f"per node, {small} to {large}: added {(a_large - a_small) / nodes:,.0f}"
              f" on a download of {(d_large - d_small) / nodes:,.0f}"
              f" ({(a_large - a_small) / (d_large - d_small):.3f})")


if __name__ == "__main__":
    main(sys.argv[1:])
