"""The video source of every node of a flow, from one index of predecessors.

Each answer is what ``seek_video_feed(node)`` gives with a fresh ``_visited_node_ids``: the
depth-first walk upstream that returns the first video-source predecessor it meets. Asked node
by node, every walk builds its index anew, which makes a whole flow quadratic; here one index
serves all nodes, and the answers of the nodes that lie on no cycle are shared.

Why sharing is exact. Call a predecessor *enterable* when it is no video source and has
predecessors of its own: the walk enters only those, and the edges from a node to its
enterable predecessors make a graph. Inside one walk, a node that finished without a find
stands for "nothing upstream" when it is met again, unless the first node of its cycle that
the walk entered is still being walked; that one is then an ancestor of the node meeting it,
which so lies on the same cycle. Hence for a node on no cycle, neither an ancestor nor a
finished node can change what the walk finds upstream of it: its answer is the first, in
predecessor order, of "this predecessor is a video source" and "the answer of this enterable
predecessor", whoever asks. A node on a cycle, where the visited list does matter, is asked of
the module's own search. A node with no video source anywhere upstream (known for all nodes at
once, part by part of the graph) answers nothing and is not searched at all: only a cycle with a
video source upstream costs one search of the table per node on it.
"""
from typing import Callable, Dict, Iterator, List, Optional, Tuple

from zorv_sdk.nodered import flow

__all__ = ["video_sources"]

Link = Tuple[dict, int]
NOTHING: Tuple[None, None] = (None, None)


def video_sources(wrapper: flow.FlowAPIWrapper, nodes: List[dict]) -> List[tuple]:
    """(node, video source record or None, its port or None) for each of `nodes`, records of
    `wrapper._nodes`, as ``seek_video_feed`` answers each with a fresh visited list."""
    table = wrapper._nodes
    if not is_plain_flow(table):
        return [(node, *fresh_search(wrapper, node)) for node in nodes]
    feed_types = {member.type for member in (flow.Module.VideoFeed, flow.Module.VFVideoFile,
                                             flow.Module.VFUsbCamera, flow.Module.VFIpCamera)}
    if not all(type(kind) is str for kind in feed_types):  # a subclass may answer == itself
        return [(node, *fresh_search(wrapper, node)) for node in nodes]
    answers = SharedAnswers(wrapper, feed_types)
    return [(node, *answers.of(node["id"])) for node in nodes]


def fresh_search(wrapper: flow.FlowAPIWrapper, node: dict) -> tuple:
    wrapper._visited_node_ids = []
    return wrapper.seek_video_feed(node)


def is_plain_flow(table: dict) -> bool:
    """Whether the table holds what a flow downloaded or read holds: dicts keyed by their str
    id, with a str type and wires of lists of str. Then set and dict lookups answer as the
    walk's `==` and `in` do; anything else is asked of the walk itself."""
    for key, record in table.items():
        if type(record) is not dict or record.get("id") != key or type(key) is not str:
            return False
        if type(record.get("type")) is not str or type(record.get("wires", [])) is not list:
            return False
        for port in record.get("wires", []):
            if type(port) is not list or not all(type(target) is str for target in port):
                return False
    return True


def predecessors(table: dict) -> Dict[str, List[Link]]:
    """Every id's port entries, in the order seek_prev_nodes lists them: table order, then port."""
    found: Dict[str, List[Link]] = {}
    for record in table.values():
        for port, targets in enumerate(record.get("wires", [])):
            for target in dict.fromkeys(targets):  # a port wired twice to one node is one entry
                found.setdefault(target, []).append((record, port))
    return found


class SharedAnswers:
    """The answers of one table, each found once."""

    def __init__(self, wrapper: flow.FlowAPIWrapper, feed_types: set) -> None:
        self.wrapper, table = wrapper, wrapper._nodes
        self.prevs = predecessors(table)
        self.feed_types = feed_types
        self.on_cycle: set = set()
        # The ids with a video source anywhere upstream: a walk from any other finds nothing,
        # wherever it comes from, and needs no walking.
        self.fed: set = set()
        for part in strongly_connected_parts(table, self.entered):
            self.note_part(part)
        self.answers: Dict[str, tuple] = {}

    def note_part(self, part: List[str]) -> None:
        """Notes a part whose upstream parts were all noted before it."""
        if len(part) > 1 or part[0] in self.entered(part[0]):
            self.on_cycle.update(part)
        if any(self.is_feed(record) or record["id"] in self.fed
               for member in part for record, _ in self.prevs.get(member, ())):
            self.fed.update(part)

    def is_feed(self, record: dict) -> bool:
        return record["type"] in self.feed_types

    def entered(self, node_id: str) -> Iterator[str]:
        """The ids of the predecessors that a walk at `node_id` may enter, in order."""
        for record, _ in self.prevs.get(node_id, ()):
            if not self.is_feed(record) and record["id"] in self.prevs:
                yield record["id"]

    def of(self, node_id: str) -> tuple:
        """The answer for `node_id`, finding first those it needs, without recursion: the
        answer of a node off cycles is a generator that yields the ids whose answers it needs."""
        given = self.ready(node_id)
        if given is not None:
            return given
        pending = [(node_id, self.first_upstream(node_id))]
        while pending:
            wanted_by, finder = pending[-1]
            try:
                wanted = finder.send(given)
            except StopIteration as done:
                self.answers[wanted_by] = given = done.value
                pending.pop()
                continue
            given = self.ready(wanted)
            if given is None:
                pending.append((wanted, self.first_upstream(wanted)))
        return given

    def ready(self, node_id: str) -> Optional[tuple]:
        """The answer when it needs no other first: nothing upstream, one found before, or that
        of a node on a cycle, where the visited list matters, from the module's own search."""
        if node_id not in self.fed:
            return NOTHING
        if node_id not in self.answers and node_id in self.on_cycle:
            self.answers[node_id] = fresh_search(self.wrapper, self.wrapper._nodes[node_id])
        return self.answers.get(node_id)

    def first_upstream(self, node_id: str) -> Iterator:
        for record, port in self.prevs[node_id]:
            if self.is_feed(record):
                return record, port
            if record["id"] in self.fed:
                found = yield record["id"]
                if found[0] is not None:
                    return found
        return NOTHING


def strongly_connected_parts(table: dict, edges: Callable[[str], Iterator[str]]) -> Iterator[List[str]]:
    """The strongly connected parts of the graph of `edges` over the ids of `table`, each after
    every part it has an edge to (Tarjan's algorithm, without recursion)."""
    index: Dict[str, int] = {}
    low: Dict[str, int] = {}
    stack: List[str] = []
    on_stack: set = set()
    for root in table:
        if root in index:
            continue
        work = [(root, edges(root))]
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        while work:
            node, successors = work[-1]
            for successor in successors:
                if successor not in index:
                    index[successor] = low[successor] = len(index)
                    stack.append(successor)
                    on_stack.add(successor)
                    work.append((successor, edges(successor)))
                    break
                if successor in on_stack:
                    low[node] = min(low[node], index[successor])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[node])
                if low[node] == index[node]:
                    part = []
                    while part[-1:] != [node]:
                        member = stack.pop()
                        on_stack.discard(member)
                        part.append(member)
                    yield part
