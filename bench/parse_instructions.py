"""Counts with callgrind what parse_flow does on top of its download, against a real Node-RED.

    .venv/bin/python bench/parse_instructions.py [--parses N]

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


def run_parses(flow_index, parses):
    """In the process that callgrind watches: parse_flow on one of the measured flows, `parses` times."""
    from local_nodered import NodeRedServer
    from zorv_sdk.nodered.flow import FlowAPIWrapper

    logging.getLogger("zorv_sdk").setLevel(logging.WARNING)
    _, flow, start = parse_flows(PARSE_FLOW_SIZE, random.Random(1880))[flow_index]
    with NodeRedServer(flow) as server:
        wrapper = FlowAPIWrapper(host=server.host, port=server.port, node_id=start["id"], node_type=start["type"])
        for _ in range(parses):
            assert wrapper.parse_flow() is not None


def count(flow_index, parses):
    """(instructions in parse_flow, of them in the download), per parse."""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--toggle-collect=*wrapper_parse_flow*", sys.executable, __file__,
                        "--child", str(flow_index), "--parses", str(parses)],
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
    options.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = options.parse_args(argv)
    if args.child is not None:
        return run_parses(args.child, args.parses)
    if not shutil.which("valgrind"):
        sys.exit("parse_instructions.py needs valgrind (apt-get install valgrind)")
    print(f"Python {sys.version.split()[0]}; instructions per parse_flow, callgrind")
    print(f"{'flow':<16}{'parse_flow':>14}{'download':>14}{'added':>12}{'ratio':>9}")
    for flow_index, (flow_name, _, _) in enumerate(parse_flows(PARSE_FLOW_SIZE, random.Random(1880))):
        total, download = count(flow_index, args.parses)
        print(f"{flow_name:<16}{total:>14,.0f}{download:>14,.0f}{total - download:>12,.0f}{total / download:>9.3f}")


if __name__ == "__main__":
    main(sys.argv[1:])
