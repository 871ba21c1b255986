"""A program standing for one node of a Node-RED flow: it asks where its node stands.

    python examples/node_program.py --node-id detect --node-type function

The node id and type default to the NODE_ID and NODE_TYPE environment variables, the host to
NODE_RED_HOST (else 127.0.0.1) and the port to 1880. It prints the node, the nodes that feed it
and that it feeds, with the output ports that carry each wire, and the video source upstream.
"""
import argparse
import sys
from typing import Optional

from zorv_sdk.nodered.flow import FlowAPIWrapper


class PatientFlowAPIWrapper(FlowAPIWrapper):
    """Waits `wait` seconds for Node-RED instead of the library's five minutes."""

    def __init__(self, wait: int, **kwargs):
        super().__init__(**kwargs)
        self.wait = wait

    def _load_flow(self, timeout: int = 300) -> bool:
        return super()._load_flow(self.wait)


def describe(node: Optional[dict]) -> str:
    if node is None:
        return "none"
    name = node.get("name")
    label = f'{node["type"]} "{name}"' if name else node["type"]
    return f"{node['id']} ({label})"


def neighbour_lines(title: str, entries: list, port_owner: str) -> list:
    if not entries:
        return [f"{title:<14}none"]
    lines = []
    for index, entry in enumerate(entries):
        head = title if index == 0 else ""
        lines.append(f"{head:<14}{describe(entry['node'])} via {port_owner} output {entry['port']}")
    return lines


def report(result: dict) -> str:
    feed = result["vid_fed"]
    source = describe(feed["flow"])
    if feed["flow"] is not None:
        source += f" via its output {feed['port']}"
    lines = [f"{'node':<14}{describe(result['cur_node'])}"]
    lines += neighbour_lines("fed by", result["prev_nodes"], "its")
    lines += neighbour_lines("feeds", result["next_nodes"], "my")
    lines.append(f"{'video source':<14}{source}")
    return "\n".join(lines)


def parse_arguments(argv: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", help="Node-RED host (default: NODE_RED_HOST, else 127.0.0.1)")
    parser.add_argument("--port", type=int, default=1880, help="Node-RED port (default: 1880)")
    parser.add_argument("--node-id", default="", help="this node's id (default: NODE_ID)")
    parser.add_argument("--node-type", default="", help="this node's type (default: NODE_TYPE)")
    parser.add_argument("--wait", type=int, default=300, help="seconds to wait for Node-RED")
    return parser.parse_args(argv)


def main(argv: list) -> int:
    args = parse_arguments(argv)
    where = {"host": args.host} if args.host else {}
    wrapper = PatientFlowAPIWrapper(
        args.wait, port=args.port, node_id=args.node_id, node_type=args.node_type, **where
    )
    try:
        result = wrapper.parse_flow()
    except KeyError as missing:
        if missing.args != (wrapper.node_id,):
            raise
        print(f"node {wrapper.node_id!r} is not in the deployed flow", file=sys.stderr)
        return 1
    if result is None:
        print("no answer: see the log above", file=sys.stderr)
        return 1
    print(report(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
