"""Very long chains and cycles (searched in child interpreters, so that a crash fails one test only), and a walk that could not end."""

import os
import subprocess
import sys

import pytest
from zorv_sdk.nodered import flow

LENGTH = 100_000

# Searched as is, from a subclass that overrides other methods (both take the index: stepwise,
# a chain this long would take hours), and with the searches overridden, where the walk takes
# the step-by-step path, one level of it a node, on a stack of its own.
# There the child indexes predecessors and keeps visited ids in a set as well: the plain table
# scan and list lookup are quadratic, and what is under test is the depth of the walk.
CHILD = """
import sys
from zorv_sdk.constants import Module
from zorv_sdk.nodered import flow

class Visited:
    def __init__(self):
        self.order, self.seen = [], set()
    def append(self, node_id):
        self.order.append(node_id)
        self.seen.add(node_id)
    def __contains__(self, node_id):
        return node_id in self.seen

class NodeProgram(flow.FlowAPIWrapper):
    # What a node's program overrides; the searches stay the module's own.
    def _load_flow(self, timeout=300):
        return True

    def seek_next_nodes(self, cur_node):
        return super().seek_next_nodes(cur_node)

n, cycle, overridden = int(sys.argv[1]), sys.argv[2] == "cycle", sys.argv[3] == "overridden"
nodes = {f"n{i}": {"id": f"n{i}", "type": "function", "wires": [[f"n{(i + 1) % n}"]]} for i in range(n)}
if not cycle:
    nodes["n0"].update(type=Module.VFIpCamera.type, wires=[[], ["n1"]])
    nodes[f"n{n - 1}"]["wires"] = []
# Every node of these flows has exactly one predecessor.
prevs = {t: [{"node": rec, "port": p}] for rec in nodes.values() for p, targets in enumerate(rec["wires"]) for t in targets}
w = (NodeProgram if sys.argv[3] == "subclassed" else flow.FlowAPIWrapper)("127.0.0.1", 1880, "S", "function")
w._nodes = nodes
if overridden:
    w._visited_node_ids = Visited()
    w.seek_prev_nodes = lambda rec: prevs.get(rec["id"], [])
found, port = w.seek_video_feed(nodes[f"n{n - 1}"])
visited = w._visited_node_ids.order if overridden else w._visited_node_ids
print(found and found["id"], port, len(visited), visited[-1])
deep = lambda k: k and deep(k - 1) + 1
print(deep(500))
"""


@pytest.mark.parametrize("mode", ["as is", "subclassed", "overridden"])
@pytest.mark.parametrize("shape, expected", [("chain", f"n0 1 {LENGTH - 1} n1"), ("cycle", f"None None {LENGTH} n0")])
def test_long_flow_searched_to_the_end(shape, expected, mode):
    if os.environ.get("FLOW_FAST_PATHS") == "false":
        pytest.skip("without the fast paths the walk recurses on the C stack, as the Python code does")
    command = [sys.executable, "-c", CHILD, str(LENGTH), shape, mode.replace(" ", "-")]
    child = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert (child.returncode, child.stdout.splitlines(), child.stderr) == (0, [expected, "500"], "")


def test_walk_that_forgets_its_visits_meets_recursion_error():
    class Forgetful(flow.FlowAPIWrapper):
        def seek_prev_nodes(self, cur_node):
            self._visited_node_ids = []
            return super().seek_prev_nodes(cur_node)

    w = Forgetful()
    w._nodes = {"S": {"id": "S", "type": "function", "wires": [["A"]]}, "A": {"id": "A", "type": "function", "wires": [["S"]]}}
    with pytest.raises(RecursionError):
        w.seek_video_feed(w._nodes["S"])
    assert w.seek_video_feed({"id": "X"}) == (None, None)
