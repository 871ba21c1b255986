"""Which video source a node of a Node-RED flow gets its frames from, and through which port.

    zorv-flow detect                        # one node, from the Node-RED on 127.0.0.1:1880
    zorv-flow --all --file flows.json       # every node of an exported flow
    zorv-flow --missing --type function --file flows.json   # for CI: exits 1 if any lacks a source
    python -m zorv_sdk.nodered ...          # the same command

The flow comes from a live Node-RED (``--host``, ``--port``, ``--wait`` and the options of
:func:`zorv_sdk.nodered.admin.connect`) or from a file (``--file``: the node list that the
editor exports, or the ``{"flows": [...], "rev": ...}`` body of the Admin API; ``-`` reads
standard input). One table is loaded per run and every answer is the flow module's own searches
on it, so it is exactly what a node program of that node would get; ``--all`` and ``--missing``
find the same answers for all nodes from one index (:mod:`zorv_sdk.nodered.sources`).

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
error (bad option, unreadable or malformed file, no such node or type, an ambiguous name); 3 no
flow from Node-RED within ``--wait`` seconds (unreachable, or it refused the request or the
login); 130 interrupted (Ctrl-C). When the reader of the output goes away (``| head``) the
command stops quietly, as killed by SIGPIPE (141).
"""
import argparse
import difflib
import json
from importlib import metadata
import os
import re
import signal
import ssl
import sys
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, Optional

import requests

from zorv_sdk.logging import get_logger
from zorv_sdk.nodered import admin, flow
from zorv_sdk.nodered.flow import FlowAPIWrapper
from zorv_sdk.nodered.sources import video_sources

__all__ = ["main", "report"]

PROGRAM, DISTRIBUTION = "zorv-flow", "zorv-sdk-nodered-flow"
OK, MISSING, BAD_INPUT, NO_FLOW = 0, 1, 2, 3
INTERRUPTED, PIPE_CLOSED = 128 + signal.SIGINT, 128 + signal.SIGPIPE
# Options that reach a live Node-RED, meaningless with --file.
SERVER_OPTIONS = ("host", "port", "wait", "user", "password_file", "token", "token_file", "ca", "https", "admin_root")


class InputError(Exception):
    """What was asked for or read cannot be answered: exit code 2."""


class NoFlow(Exception):
    """Node-RED gave no flow in time: exit code 3."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description=__doc__.splitlines()[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="exit codes: 0 answered, 1 --missing found some, 2 usage or input error, 3 no flow from Node-RED")
    parser.add_argument("--version", action="version", version=f"%(prog)s {metadata.version(DISTRIBUTION)}")
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
    server.add_argument("--port", type=port, default=1880, help="Node-RED port (default: 1880)")
    server.add_argument("--wait", type=seconds, default=10, metavar="SECONDS",
                        help="give up when Node-RED has not answered for this long (default: 10)")
    server.add_argument("--user", help="log in as this user (default: NODE_RED_USER)")
    server.add_argument("--password-file", metavar="PATH",
                        help="the user's password, on the first line (default: NODE_RED_PASSWORD)")
    server.add_argument("--token", help="an access token instead of a login (default: NODE_RED_TOKEN)")
    server.add_argument("--token-file", metavar="PATH", help="the access token, on the first line of this file")
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


def port(text: str) -> int:
    value = int(text)
    if not 1 <= value <= 65535:
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
    if args.token is not None and args.token_file is not None:
        parser.error("give one of --token and --token-file")
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
    checked_ids(nodes, where)
    return nodes


def checked_ids(nodes: list, where: str) -> None:
    """Each id names one node, and each wire one of them: the searches look every wire up."""
    ids: set = set()
    for node in nodes:
        if node["id"] in ids:
            raise InputError(f"{where} has two nodes with the id {node['id']!r}: a flow's ids are unique")
        ids.add(node["id"])
    for node in nodes:
        for port in node.get("wires", []):
            for target in port if isinstance(port, list) else [port]:
                if target not in ids:
                    raise InputError(f"{where} is not a whole flow: node {node['id']!r} is wired to {target!r},"
                                     " which is not in it; export the whole flow")


def loaded_wrapper(args: argparse.Namespace) -> FlowAPIWrapper:
    """A wrapper whose node table holds the flow of the file or of the live Node-RED."""
    if args.file is not None:
        wrapper = FlowAPIWrapper()
        wrapper._nodes = {node["id"]: node for node in read_flow_file(args.file)}
        return wrapper
    wrapper = FlowAPIWrapper(**({"host": args.host} if args.host else {}), port=args.port)
    checked_ca(args.ca)
    try:
        session = admin.connect(wrapper, user=args.user, password_file=args.password_file, ca=args.ca,
                                token=args.token if args.token_file is None else token_of(args.token_file),
                                https=args.https, admin_root=args.admin_root,
                                timeout=min(admin.DEFAULT_TIMEOUT, max(args.wait, 1)))
    except (TypeError, ValueError) as bad:
        raise InputError(str(bad)) from None
    # The table is all the answers need of the server: its connection is closed once it is in.
    flow.requests = keeper = FailureKeeper(session)
    with session, quiet_flow_log():
        download(wrapper, keeper, args.wait)
    return wrapper


def checked_ca(path: Optional[str]) -> None:
    """A --ca that is no CA bundle fails now, not as each download attempt's TLS error."""
    if path is None or not os.path.isfile(path):
        return
    try:
        ssl.create_default_context(cafile=path)
    except ssl.SSLError:
        raise InputError(f"--ca {path} holds no PEM certificate: give the CA that signed Node-RED's certificate") from None


def token_of(path: str) -> str:
    try:
        return admin.first_line(path)
    except OSError as unreadable:
        raise InputError(f"cannot read --token-file {path}: {unreadable.strerror}") from None


class FailureKeeper:
    """The flow module's requests, through the session, keeping why the last attempt failed."""

    def __init__(self, session: admin.AdminSession) -> None:
        self.session, self.failure, self.final = session, "", False

    def get(self, url: str, **kwargs: object) -> object:
        try:
            answer = self.session.get(url, **kwargs)
        except requests.RequestException as failed:
            self.failure, self.final = advice(failed, self.session.url)
            raise
        self.failure, self.final = answer_advice(answer, url), False
        return answer


# What to do about each refusal of admin.AccessRefused, in this command's options.
REFUSAL_ADVICE = {
    "refused the login": "check --user and --password-file, and that the user may read",
    "asks for a login": "give --user and --password-file, or --token",
    "": "it expired or was revoked; give a new --token or --token-file, or --user and --password-file",
}


def advice(failed: requests.RequestException, url: str) -> tuple:
    """(one line of what went wrong and what to do, whether trying again cannot mend it)."""
    text = str(failed)
    if isinstance(failed, admin.AccessRefused):
        # The refusal up to its status, like "Node-RED asks for a login (401)", then this command's advice.
        refusal = text.split("): ", 1)[0].rstrip(")") + ")"
        return f"{refusal}: {REFUSAL_ADVICE[next(key for key in REFUSAL_ADVICE if key in text)]}", True
    if isinstance(failed, requests.exceptions.SSLError):
        if "CERTIFICATE_VERIFY_FAILED" in text:
            return f"the certificate of {url} is not signed by a CA this command trusts: give its CA with --ca", True
        return f"{url} does not talk TLS: leave out --https and --ca", True
    if failed.response is not None:
        return answer_advice(failed.response, failed.response.url), False
    if isinstance(failed, requests.exceptions.Timeout):
        return f"{url} did not answer in time: check --host and --port, or give a longer --wait", False
    if isinstance(failed, requests.ConnectionError):
        if url.startswith("http:") and ("RemoteDisconnected" in text or "reset" in text):
            return f"{url} closed the connection without an answer: if it talks https, add --https (and --ca)", False
        return f"nothing answers at {url} ({reason(text)}): check --host and --port, and that Node-RED is up", False
    return text, False


def reason(text: str) -> str:
    """The last clause of a urllib3 error, like "Connection refused"."""
    return re.sub(r"^\[Errno \d+\] ", "", text.rstrip(")'\"]").rpartition(": ")[2]) or text


def answer_advice(answer: requests.Response, url: str) -> str:
    if answer.status_code == 404:
        return f"Node-RED answered 404 at {url}: check --admin-root (its httpAdminRoot, like /admin)"
    if answer.status_code != 200:
        return f"Node-RED answered {answer.status_code} at {url}"
    return f"the answer of {url} is not a flow (no JSON object with \"flows\")"


def download(wrapper: FlowAPIWrapper, keeper: FailureKeeper, wait: int) -> None:
    """One attempt a second until the flow is in, `wait` seconds have passed, or a failure that
    another attempt would only repeat."""
    started = time.monotonic()
    while not wrapper._load_flow(0):
        if keeper.final or time.monotonic() - started >= wait:
            raise NoFlow(f"no flow from {wrapper.url} within {wait} s: {keeper.failure}")
        time.sleep(1)


@contextmanager
def quiet_flow_log() -> Iterator[None]:
    """The FLOW logger silenced: the download logs every failed attempt, which the command
    sums up in one line of its own."""
    logger = get_logger("FLOW")
    disabled, logger.disabled = logger.disabled, True
    try:
        yield
    finally:
        logger.disabled = disabled


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
    return printable(f"{node['id']} ({label})")


def printable(text: str) -> str:
    """The text with its control characters escaped (\\n, \\x1b): a name cannot move the cursor,
    colour the terminal or start a line of its own."""
    return "".join(char if char.isprintable() else ascii(char)[1:-1] for char in text)


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
    return video_sources(wrapper, nodes)


def coordinate(node: dict, axis: str) -> float:
    value = node.get(axis)
    return value if isinstance(value, (int, float)) else 0


def table_text(rows: list, tabs: dict) -> str:
    lines = [("ID", "TYPE", "NAME", "TAB", "VIDEO SOURCE")]
    for node, source, port in rows:
        cells = (node["id"], node["type"], node.get("name") or "", tabs.get(node.get("z")) or "",
                 "none" if source is None else f"{source['id']} via output {port}")
        lines.append(tuple(map(printable, cells)))
    widths = [max(len(line[column]) for line in lines) for column in range(4)]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(line, widths)) + "  " + line[4]
                     for line in lines)


def answer_one(wrapper: FlowAPIWrapper, args: argparse.Namespace) -> int:
    result = where_it_stands(wrapper, find_node(wrapper._nodes, args.node))
    print(dumped(report_json(result, tab_labels(wrapper._nodes))) if args.json else report(result))
    return OK


def answer_all(wrapper: FlowAPIWrapper, args: argparse.Namespace) -> int:
    unknown = sorted(set(args.types or ()) - {node["type"] for node in wrapper._nodes.values()})
    if unknown:
        raise InputError(f"no node has the type {unknown[0]!r}: check --type")
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
    try:
        return answered(parse_arguments(sys.argv[1:] if argv is None else argv))
    except KeyboardInterrupt:
        return INTERRUPTED
    except BrokenPipeError:
        # What is still buffered for the closed pipe would fail again when Python exits.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return PIPE_CLOSED


def answered(args: argparse.Namespace) -> int:
    try:
        wrapper = loaded_wrapper(args)
        return answer_one(wrapper, args) if args.node is not None else answer_all(wrapper, args)
    except InputError as bad:
        print(f"{PROGRAM}: {bad}", file=sys.stderr)
        return BAD_INPUT
    except NoFlow as none:
        print(f"{PROGRAM}: {none}", file=sys.stderr)
        return NO_FLOW
