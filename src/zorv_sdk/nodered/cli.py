"""Which video source a node of a Node-RED flow gets its frames from, and through which port.

    zorv-flow detect                        # one node, from the Node-RED on 127.0.0.1:1880
    zorv-flow --all --file flows.json       # every node of an exported flow
    zorv-flow --missing --type function --file flows.json   # for CI: exits 1 if any lacks a source
    python -m zorv_sdk.nodered ...          # the same command

The flow comes from a live Node-RED (``--host``, ``--port``, ``--wait`` and the options of
:func:`zorv_sdk.nodered.admin.connect`) or from a file (``--file``: the node list that the
editor exports, or the ``{"flows": [...], "rev": ...}`` body of the Admin API; ``-`` reads
standard input). One table is loaded per run and every answer comes from the flow module's own
searches on it, so it is exactly what a node program of that node would get.

With ``--json`` the answers are JSON objects of these shapes, where a *node* is
``{"id": str, "type": str, "name": str or null, "tab": str or null}`` (``tab``: the label of
the tab record whose id is the node's ``z``) and a *link* is ``{"node": node, "port": int}``:

- one node: ``{"node": node, "fed_by": [link], "feeds": [link], "video_source": link or null}``;
  the port of ``fed_by`` and ``video_source`` is the other node's output, that of ``feeds`` the
  node's own output;
- ``--all`` and ``--missing``: ``{"nodes": [{"node": node, "video_source": link or null}]}``, the
  nodes that have wires (not tabs or config nodes) in the order of their tabs in the flow, then
  by position (y, then x).

Exit codes: 0 answered; 1 ``--missing`` found nodes without a video source; 2 a usage or input
error (bad option, unreadable or malformed file, no such node, an ambiguous name); 3 no flow
from Node-RED within ``--wait`` seconds (unreachable, or it refused the request or the login).
"""
import argparse
import difflib
import json
import logging
import sys
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, Optional

from zorv_sdk.logging import get_logger
from zorv_sdk.nodered import admin
from zorv_sdk.nodered.flow import FlowAPIWrapper

__all__ = ["main", "report"]

PROGRAM = "zorv-flow"
OK, MISSING, BAD_INPUT, NO_FLOW = 0, 1, 2, 3
# What the flow module puts before the error of each failed download attempt.
FAILED_ATTEMPT = "Failed to parse flow - "
# Options that reach a live Node-RED, meaningless with --file.
SERVER_OPTIONS = ("host", "port", "wait", "user", "password_file", "token", "ca", "https", "admin_root")


class InputError(Exception):
    """What was asked for or read cannot be answered: exit code 2."""


class NoFlow(Exception):
    """Node-RED gave no flow in time: exit code 3."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description=__doc__.splitlines()[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="exit codes: 0 answered, 1 --missing found some, 2 usage or input error, 3 no flow from Node-RED")
    parser.add_argument("node", nargs="?", help="a node's id, or its name when no other node has it")
    parser.add_argument("--all", action="store_true", help="one line per node, with its video source")
    parser.add_argument("--missing", action="store_true",
                        help="only the nodes of the --type types without a video source; exit 1 if there are any")
    parser.add_argument("--type", action="append", dest="types", metavar="TYPE",
                        help="with --all or --missing: only nodes of this type (repeatable)")
    parser.add_argument("--json", action="store_true", help="answer in JSON (shapes: pydoc zorv_sdk.nodered.cli)")
    parser.add_argument("--file", metavar="PATH", help="read the flow from this file (- for standard input)")
    server = parser.add_argument_group("a live Node-RED")
    server.add_argument("--host", help="Node-RED host (default: NODE_RED_HOST, else 127.0.0.1)")
    server.add_argument("--port", type=int, default=1880, help="Node-RED port (default: 1880)")
    server.add_argument("--wait", type=seconds, default=10, metavar="SECONDS",
                        help="give up when Node-RED has not answered for this long (default: 10)")
    server.add_argument("--user", help="log in as this user (default: NODE_RED_USER)")
    server.add_argument("--password-file", metavar="PATH",
                        help="the user's password, on the first line (default: NODE_RED_PASSWORD)")
    server.add_argument("--token", help="an access token instead of a login (default: NODE_RED_TOKEN)")
    server.add_argument("--ca", metavar="PATH", help="CA bundle to trust instead of the system's; implies --https")
    server.add_argument("--https", action="store_true", help="talk https")
    server.add_argument("--admin-root", default="", metavar="PATH", help="Node-RED's httpAdminRoot, like /admin")
    return parser


def seconds(text: str) -> int:
    # Whole seconds: the download's time limit is an int.
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


def parse_arguments(argv: list) -> argparse.Namespace:
    parser = build_parser()
    args = parser.parse_args(argv)
    if (args.node is not None) + args.all + args.missing != 1:
        parser.error("give one of: a node id or name, --all, --missing")
    if args.missing and not args.types:
        parser.error("--missing needs the types to check, like --type function")
    if args.types and not (args.all or args.missing):
        parser.error("--type goes with --all or --missing")
    given = [name for name in SERVER_OPTIONS if getattr(args, name) != parser.get_default(name)]
    if args.file is not None and given:
        parser.error(f"--file reads the flow from a file: leave out --{given[0].replace('_', '-')}")
    return args


def read_flow_file(path: str) -> list:
    """The node list of a flow file, or of standard input for '-'."""
    where = "standard input" if path == "-" else path
    try:
        data = sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()
        document = json.loads(data)
    except OSError as unreadable:
        raise InputError(f"cannot read {where}: {unreadable.strerror}") from None
    except json.JSONDecodeError as bad:
        raise InputError(f"{where} is not JSON: {bad.msg} at line {bad.lineno} column {bad.colno}") from None
    except UnicodeDecodeError:
        raise InputError(f"{where} is not JSON: it is not UTF-8 text") from None
    return nodes_of(document, where)


def nodes_of(document: object, where: str) -> list:
    """The records of a flow document, checked to be nodes the searches can read."""
    nodes = document.get("flows") if isinstance(document, dict) else document
    if not isinstance(nodes, list):
        raise InputError(f'{where} is not a flow: expected a list of nodes or an object with "flows"')
    for index, node in enumerate(nodes):
        if not isinstance(node, dict):
            raise InputError(f"{where} is not a flow: item {index} is a {type(node).__name__}, not a node object")
        for key in ("id", "type"):
            if not isinstance(node.get(key), str):
                raise InputError(f'{where} is not a flow: item {index} has no "{key}" string')
        if not isinstance(node.get("wires", []), list):
            raise InputError(f'{where} is not a flow: the "wires" of node {node["id"]!r} are not a list')
    return nodes


def loaded_wrapper(args: argparse.Namespace) -> FlowAPIWrapper:
    """A wrapper whose node table holds the flow of the file or of the live Node-RED."""
    if args.file is not None:
        wrapper = FlowAPIWrapper()
        wrapper._nodes = {node["id"]: node for node in read_flow_file(args.file)}
        return wrapper
    wrapper = FlowAPIWrapper(**({"host": args.host} if args.host else {}), port=args.port)
    try:
        session = admin.connect(wrapper, user=args.user, password_file=args.password_file, token=args.token,
                                ca=args.ca, https=args.https, admin_root=args.admin_root,
                                timeout=min(admin.DEFAULT_TIMEOUT, max(args.wait, 1)))
    except (TypeError, ValueError) as bad:
        raise InputError(str(bad)) from None
    # The table is all the answers need of the server: its connection is closed once it is in.
    with session:
        download(wrapper, args.wait)
    return wrapper


def download(wrapper: FlowAPIWrapper, wait: int) -> None:
    with kept_log_lines() as lines:
        if wrapper._load_flow(wait):
            return
    failures = [line[len(FAILED_ATTEMPT):] for line in lines if line.startswith(FAILED_ATTEMPT)]
    raise NoFlow(f"no flow from {wrapper.url} within {wait} s: {failures[-1] if failures else lines[-1]}")


class KeptLines(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.messages: list = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())


@contextmanager
def kept_log_lines() -> Iterator[list]:
    """The FLOW logger's lines, kept instead of written: the download logs every failed attempt,
    which a command summarises in one line."""
    logger, handler = get_logger("FLOW"), KeptLines()
    propagates, logger.propagate = logger.propagate, False
    logger.addHandler(handler)
    try:
        yield handler.messages
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagates


def find_node(table: dict, wanted: str) -> dict:
    """The record of the id `wanted`, else of the one node named so."""
    if wanted in table:
        return table[wanted]
    named = [node for node in table.values() if node.get("name") == wanted]
    if len(named) == 1:
        return named[0]
    if named:
        raise InputError(f"{len(named)} nodes are named {wanted!r}; give the id of one:\n"
                         + "\n".join(f"  {describe(node)}" for node in named))
    raise InputError(f"no node has the id or name {wanted!r}{close_matches(table, wanted)}")


def close_matches(table: dict, wanted: str) -> str:
    by_word = {}
    for node in table.values():
        for word in (node["id"], node.get("name")):
            if isinstance(word, str) and word:
                by_word.setdefault(word, node)
    words = difflib.get_close_matches(wanted, list(by_word), n=5)
    found = list({by_word[word]["id"]: by_word[word] for word in words}.values())
    return "; did you mean:\n" + "\n".join(f"  {describe(node)}" for node in found) if found else ""


def video_source(wrapper: FlowAPIWrapper, node: dict) -> tuple:
    wrapper._visited_node_ids = []
    return wrapper.seek_video_feed(node)


def where_it_stands(wrapper: FlowAPIWrapper, node: dict) -> dict:
    """What parse_flow() returns for that node, from the same three searches."""
    source, port = video_source(wrapper, node)
    return {"cur_node": node, "prev_nodes": wrapper.seek_prev_nodes(node), "next_nodes": wrapper.seek_next_nodes(node),
            "vid_fed": {"flow": source, "port": port}}


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
    """The text of a parse_flow() result: the node, who feeds it, whom it feeds, its video source."""
    feed = result["vid_fed"]
    source = describe(feed["flow"])
    if feed["flow"] is not None:
        source += f" via its output {feed['port']}"
    lines = [f"{'node':<14}{describe(result['cur_node'])}"]
    lines += neighbour_lines("fed by", result["prev_nodes"], "its")
    lines += neighbour_lines("feeds", result["next_nodes"], "my")
    lines.append(f"{'video source':<14}{source}")
    return "\n".join(lines)


def tab_labels(table: dict) -> dict:
    return {node["id"]: node.get("label") for node in table.values() if node["type"] == "tab"}


def node_json(node: dict, tabs: dict) -> dict:
    return {"id": node["id"], "type": node["type"], "name": node.get("name"), "tab": tabs.get(node.get("z"))}


def link_json(node: Optional[dict], port: Optional[int], tabs: dict) -> Optional[dict]:
    return None if node is None else {"node": node_json(node, tabs), "port": port}


def report_json(result: dict, tabs: dict) -> dict:
    feed = result["vid_fed"]
    return {"node": node_json(result["cur_node"], tabs),
            "fed_by": [link_json(entry["node"], entry["port"], tabs) for entry in result["prev_nodes"]],
            "feeds": [link_json(entry["node"], entry["port"], tabs) for entry in result["next_nodes"]],
            "video_source": link_json(feed["flow"], feed["port"], tabs)}


def sources_of_all(wrapper: FlowAPIWrapper, types: Optional[list]) -> list:
    """(node, video source, port) of each wired node of those types (all without types), in
    the order of their tabs, then by position."""
    table = wrapper._nodes
    tab_order = {tab_id: rank for rank, tab_id in enumerate(tab_labels(table))}
    nodes = [node for node in table.values() if "wires" in node and (not types or node["type"] in types)]
    nodes.sort(key=lambda node: (tab_order.get(node.get("z"), len(tab_order)),
                                 coordinate(node, "y"), coordinate(node, "x"), node["id"]))
    return [(node, *video_source(wrapper, node)) for node in nodes]


def coordinate(node: dict, axis: str) -> float:
    value = node.get(axis)
    return value if isinstance(value, (int, float)) else 0


def table_text(rows: list, tabs: dict) -> str:
    lines = [("ID", "TYPE", "NAME", "TAB", "VIDEO SOURCE")]
    for node, source, port in rows:
        lines.append((node["id"], node["type"], node.get("name") or "", tabs.get(node.get("z")) or "",
                      "none" if source is None else f"{source['id']} via output {port}"))
    widths = [max(len(line[column]) for line in lines) for column in range(4)]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(line, widths)) + "  " + line[4]
                     for line in lines)


def answer_one(wrapper: FlowAPIWrapper, args: argparse.Namespace) -> int:
    result = where_it_stands(wrapper, find_node(wrapper._nodes, args.node))
    print(dumped(report_json(result, tab_labels(wrapper._nodes))) if args.json else report(result))
    return OK


def answer_all(wrapper: FlowAPIWrapper, args: argparse.Namespace) -> int:
    rows = sources_of_all(wrapper, args.types)
    if args.missing:
        rows = [row for row in rows if row[1] is None]
    tabs = tab_labels(wrapper._nodes)
    if args.json:
        print(dumped({"nodes": [{"node": node_json(node, tabs), "video_source": link_json(source, port, tabs)}
                                for node, source, port in rows]}))
    elif rows or not args.missing:
        print(table_text(rows, tabs))
    if args.missing and rows:
        print(f"{PROGRAM}: {len(rows)} node(s) of type {', '.join(args.types)} have no video source upstream",
              file=sys.stderr)
        return MISSING
    return OK


def dumped(answer: dict) -> str:
    return json.dumps(answer, indent=2, ensure_ascii=False)


def main(argv: Optional[list] = None) -> int:
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        wrapper = loaded_wrapper(args)
        return answer_one(wrapper, args) if args.node is not None else answer_all(wrapper, args)
    except InputError as bad:
        print(f"{PROGRAM}: {bad}", file=sys.stderr)
        return BAD_INPUT
    except NoFlow as none:
        print(f"{PROGRAM}: {none}", file=sys.stderr)
        return NO_FLOW
