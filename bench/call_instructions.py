"""Instructions per call of the trivial calls, counted by callgrind, against `dict.get`.

    valgrind is run by this script itself: .venv/bin/python bench/call_instructions.py

Run by another interpreter's venv (build-versions/<version>/venv/bin/python, as
scripts/passes/test_versions.sh makes it), it counts on that interpreter and its build of the
module: the children are run by the same interpreter.

Each statement runs in a child interpreter under callgrind twice, N and 2N times; the
difference of the two totals, divided by N, is what one turn of the loop costs, without the
interpreter's start and the setup. The cost of an empty turn (`pass`) is taken off; each call is made through a
lambda, as the timeit rows of bench_flow.py make it. Instruction counts are steady where wall time on a
shared machine is not.
"""
import os
import re
import subprocess
import sys
import tempfile

N = 20_000
# Each call is made through a lambda, as bench_flow.py's timeit rows make it.
SETUP = """
from zorv_sdk.nodered.flow import FlowAPIWrapper
import plain_flow
native, baseline = FlowAPIWrapper(), plain_flow.FlowAPIWrapper()
node, data = {"id": "a"}, {"id": "a"}
calls = {
    "dict.get": lambda: data.get("id"),
    "native.seek_prev_nodes": lambda: native.seek_prev_nodes(node),
    "baseline.seek_prev_nodes": lambda: baseline.seek_prev_nodes(node),
    "native.seek_next_nodes": lambda: native.seek_next_nodes(node),
    "baseline.seek_next_nodes": lambda: baseline.seek_next_nodes(node),
    "native.seek_video_feed": lambda: native.seek_video_feed(node),
    "baseline.seek_video_feed": lambda: baseline.seek_video_feed(node),
    "native.__init__": lambda: FlowAPIWrapper(),
    "baseline.__init__": lambda: plain_flow.FlowAPIWrapper(),
}
"""
STATEMENTS = [
    ("dict.get", "dict.get"),
    ("seek_prev_nodes(trivial node)", "native.seek_prev_nodes"),
    ("  plain Python", "baseline.seek_prev_nodes"),
    ("seek_next_nodes(trivial node)", "native.seek_next_nodes"),
    ("  plain Python", "baseline.seek_next_nodes"),
    ("seek_video_feed(trivial node)", "native.seek_video_feed"),
    ("  plain Python", "baseline.seek_video_feed"),
    ("__init__()", "native.__init__"),
    ("  plain Python", "baseline.__init__"),
]
TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")


def total_instructions(name, number):
    program = SETUP + f"call = calls[{name!r}]\n" if name else SETUP
    program += f"for _ in range({number}):\n    {'call()' if name else 'pass'}\n"
    with tempfile.TemporaryDirectory() as out:
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/cg.out", sys.executable,
                   "-c", program]
        env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=TESTS)
        result = subprocess.run(command, capture_output=True, text=True, env=env, check=True)
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def per_call(name):
    return (total_instructions(name, 2 * N) - total_instructions(name, N)) / N


def main():
    print(f"Python {sys.version.split()[0]} ({sys.executable}): instructions per call (callgrind)")
    loop, get = per_call(None), None
    for label, name in STATEMENTS:
        count = per_call(name) - loop
        get = get or count
        print(f"{label:<34}{count:>10.0f}{count / get:>8.2f} x dict.get")


if __name__ == "__main__":
    main()
