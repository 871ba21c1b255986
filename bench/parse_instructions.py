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
import json
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
sys.path[:0] = [str(HERE), str(HERE.parent / "scripts")]

# The callees of _load_flow that are the download: the call of requests.get, the method calls
# .json() and .get("flows"), and the freeing of the response and of the table replaced (a bare
# download frees its result too).
DOWNLOAD_CALLEES = ("PyObject_Vectorcall", "PyObject_VectorcallMethod", "_Py_Dealloc", "PyObject_SetAttr")


def run_parses(flow_name, parses):
    """In the process that callgrind watches: parse_flow on the named flow, `parses` times."""
    from bench_flow import neighbourhood_flow
    from local_nodered import REPO_ROOT, NodeRedServer
    from zorv_sdk.nodered.flow import FlowAPIWrapper

    logging.getLogger("zorv_sdk").setLevel(logging.WARNING)
    if flow_name == "example":
        flow = json.loads((REPO_ROOT / "examples" / "flow.json").read_text(encoding="utf-8"))
        start = flow[6]
    else:
        flow = neighbourhood_flow(int(flow_name), random.Random(1880))
        start = flow[len(flow) // 2]
    with NodeRedServer(flow) as server:
        wrapper = FlowAPIWrapper(host=server.host, port=server.port, node_id=start["id"], node_type=start["type"])
        for _ in range(parses):
            assert wrapper.parse_flow() is not None


def count(flow_name, parses):
    """(instructions in parse_flow, of them in the download), per parse."""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--toggle-collect=*wrapper_parse_flow*", sys.executable, __file__,
                        "--child", flow_name, "--parses", str(parses)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=child_env())
        tree = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--tree=calling", str(out)],
                              check=True, capture_output=True, text=True).stdout
    return tuple(total / parses for total in (parse_total(tree), download_total(tree)))


def child_env():
    return dict(os.environ, PYTHONHASHSEED="0")


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
    options.add_argument("--child", help=argparse.SUPPRESS)
    args = options.parse_args(argv)
    if args.child:
        return run_parses(args.child, args.parses)
    if not shutil.which("valgrind"):
        sys.exit("parse_instructions.py needs valgrind (apt-get install valgrind)")
    print(f"Python {sys.version.split()[0]}; instructions per parse_flow, callgrind")
    print(f"{'flow':<16}{'parse_flow':>14}{'download':>14}{'added':>12}{'ratio':>9}")
    for flow_name in ("example", "1000"):
        total, download = count(flow_name, args.parses)
        print(f"{flow_name:<16}{total:>14,.0f}{download:>14,.0f}{total - download:>12,.0f}{total / download:>9.3f}")


if __name__ == "__main__":
    main(sys.argv[1:])
