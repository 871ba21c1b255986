"""Serves examples/flow.json from a real Node-RED and runs the example node program on it: 14 s here through scripts/run_example.sh.

scripts/run_example.sh runs it: Node-RED starts on a free loopback port, the example node program
runs for one node of that flow, and Node-RED stops again."""
import json
import subprocess
import sys
from pathlib import Path

# The Node-RED harness lives with the tests.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests"))

from local_nodered import REPO_ROOT, NodeRedServer  # noqa: E402

EXAMPLE_FLOW = REPO_ROOT / "examples" / "flow.json"
NODE_PROGRAM = REPO_ROOT / "examples" / "node_program.py"


def main(argv: list) -> int:
    node_id, node_type = argv if argv else ("detect", "function")
    flow = json.loads(EXAMPLE_FLOW.read_text(encoding="utf-8"))
    with NodeRedServer(flow) as server:
        print(f"Node-RED {server.url} serves {EXAMPLE_FLOW.relative_to(REPO_ROOT)}", flush=True)
        command = [sys.executable, str(NODE_PROGRAM), "--host", server.host,
                   "--port", str(server.port), "--node-id", node_id, "--node-type", node_type]
        return subprocess.run(command, check=False).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
