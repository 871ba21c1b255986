"""The native module against its plain-Python rendition on generated hostile cases.

Each case is built twice from its seed, once over each module, so that user code which changes
its flow changes its own copy: ids and keys whose comparison or hash counts, raises or changes
the flow, the visits or the globals; subclasses with properties, overrides and attribute hooks;
`Module`, `logger`, `time` and `requests` rebound to odd objects. Both sides must give the same
results, visits, log lines, exceptions (with their context) and calls into user code. The native
side runs in forked children, one per batch, so that a crash names its seed instead of ending
the run. FLOW_HOSTILE_CASES sets the number of cases.
"""

import collections
import os
import pickle
import random
import signal
import subprocess
import sys
import types
from pathlib import Path

import plain_flow
import pytest
from differential import unspecialised
from zorv_sdk.constants import Module, NodeModule
from reliability.conftest import in_child
from zorv_sdk.nodered import flow

CASES = int(os.environ.get("FLOW_HOSTILE_CASES", "100000"))
BATCH = 2000
COLD_RECHECKS = 1000
# The rendition whose attribute reads stay plain lookups: see differential.unspecialised.
MODEL = unspecialised(plain_flow)
SIDES = (flow, MODEL)
KINDS = ["VideoFeed", "VFVideoFile", "VFUsbCamera", "VFIpCamera"]
VIDEO_TYPES = [getattr(Module, kind).type for kind in KINDS]
TYPES = VIDEO_TYPES + ["function"] * 4
IDS = "ABCSV"
GLOBALS = ("Module", "logger", "time", "requests")
NOT_YET = float("inf")


class Draw(random.Random):
    """random.Random with quicker draws: a case makes some fifty of them, on each side."""

    def choice(self, seq):
        return seq[int(self.random() * len(seq))]

    def randint(self, a, b):
        return a + int(self.random() * (b - a + 1))

    def sample(self, population, k):
        return [item for _, item in sorted((self.random(), item) for item in population)][:k]


class Struck(Exception):
    """Raised by user code; it shows itself one way to str and another way to format."""

    def __str__(self):
        return "struck " + " ".join(map(str, self.args))

    def __format__(self, format_spec):
        return "formatted struck"


class Interrupt(KeyboardInterrupt):
    pass


class Probe:
    """Hashes like `like`; counts its hashes and comparisons in `tally`, runs `action` at the
    `fire`-th comparison and answers `answer` ("like" compares `like` with the other)."""

    def __init__(self, name, like, tally, action, answer, fire, hash_raises=False):
        self.name, self.like, self.tally, self.action = name, like, tally, action
        self.answer, self.fire, self.hash_raises, self.compared = answer, fire, hash_raises, 0

    def __hash__(self):
        self.tally["hash " + self.name] += 1
        if self.hash_raises and self.compared + 1 >= self.fire:
            raise Struck("hash", self.name)
        return hash(self.like)

    def arm(self, fire):
        self.fire, self.compared = fire, 0

    def __eq__(self, other):
        self.tally["eq " + self.name] += 1
        self.compared += 1
        if self.compared == self.fire:
            self.action()
        return self.like == other if self.answer == "like" else self.answer

    def __repr__(self):
        return f"Probe({self.name})"


def key_first(d, key, probe):
    """Puts `probe` where lookups of `key` meet it before `key` itself."""
    if key in d:
        value = d.pop(key)
        d[probe] = 0
        d[key] = value
    else:
        d[probe] = 0


def counted_wrapper(module, rng, tally):
    """The class a case instantiates: the module's own or a subclass with hooks of one kind."""
    base = module.FlowAPIWrapper
    kind = rng.choice(["plain"] * 5 + ["prev property", "prev override", "feed override", "nodes property",
                                       "getattribute", "getattr", "instance override"])
    if kind == "plain" or kind == "instance override":
        return kind, base

    def seek_prev_property(self):
        tally["get seek_prev_nodes"] += 1
        return base.seek_prev_nodes.__get__(self)

    def seek_prev_nodes(self, cur_node):
        tally["seek_prev_nodes"] += 1
        return super(cls, self).seek_prev_nodes(cur_node)

    def seek_video_feed(self, cur_node):
        tally["seek_video_feed"] += 1
        return super(cls, self).seek_video_feed(cur_node)

    def get_nodes(self):
        tally["get _nodes"] += 1
        return self.__dict__["table"]

    def set_nodes(self, value):
        tally["set _nodes"] += 1
        self.__dict__["table"] = value

    def getattribute(self, name):
        tally["attr " + name] += 1
        return object.__getattribute__(self, name)

    def getattr_(self, name):
        tally["missing " + name] += 1
        raise AttributeError(name)

    members = {"prev property": {"seek_prev_nodes": property(seek_prev_property)},
               "prev override": {"seek_prev_nodes": seek_prev_nodes},
               "feed override": {"seek_video_feed": seek_video_feed},
               "nodes property": {"_nodes": property(get_nodes, set_nodes)},
               "getattribute": {"__getattribute__": getattribute},
               "getattr": {"__getattr__": getattr_}}[kind]
    cls = type("Hooked", (base,), members)
    return kind, cls


def odd_module(rng, tally, probes):
    """A stand-in for `Module`, or the real one; with the names of the per-case member class."""
    shape = rng.choice(["real", "real", "class", "namespace", "module", "property", "keyed", "missing"])
    if shape == "real":
        return Module, None
    values = [rng.choice(VIDEO_TYPES + ["function"]) if rng.random() < 0.2 else t for t in VIDEO_TYPES]

    class Member:
        pass

    if shape == "property":
        def read(self):
            tally["type of " + self.kind] += 1
            return self.value
        Member.type = property(read)
    members = {}
    for kind, value in zip(KINDS, values):
        member = Member()
        member.kind = kind
        if shape == "property":
            member.value = value
        elif shape == "keyed":
            probe = Probe("type key of " + kind, "type", tally, probes.action(rng), rng.choice([False, False, True]),
                          NOT_YET)
            probes.append(probe)
            probes.case.fires.append(rng.choice([1, 2, 3, NOT_YET]))
            vars(member)[probe] = 0
            # setattr(), not `member.type = ...`: a store the interpreter has specialised skips
            # the probe's comparison, so the count would depend on which side was built first.
            setattr(member, "type", value)
        elif shape == "namespace":
            member = types.SimpleNamespace(type=value)
        else:
            member.type = value
        members[kind] = member
    if shape == "missing":
        del members[rng.choice(KINDS)]
    if shape == "class":
        return type("Kinds", (), members), Member
    if shape == "module":
        holder = types.ModuleType("kinds")
        vars(holder).update(members)
        return holder, Member
    return types.SimpleNamespace(**members), Member


class Probes(list):
    """The probes of one case and the faults they may do to its side of the case."""

    def __init__(self, case):
        super().__init__()
        self.case = case

    def action(self, rng):
        case, kind = self.case, rng.choice(["count"] * 4 + [
            "raise", "clear the table", "replace the table", "drop a record", "change the id sought", "cut the wires",
            "grow the wires", "forget the visits", "mark a visit", "rebind Module", "retype a member"])
        target = rng.choice(IDS)

        # The wrapper's attributes through getattr() and setattr(): see the member's "type" above.
        def act():
            case.tally["fault " + kind] += 1
            if kind == "raise":
                raise Struck(kind)
            if kind == "clear the table":
                getattr(case.w, "_nodes").clear()
            elif kind == "replace the table":
                setattr(case.w, "_nodes", {})
            elif kind == "drop a record":
                getattr(case.w, "_nodes").pop(target, None)
            elif kind == "change the id sought":
                case.start["id"] = target
            elif kind == "cut the wires":
                for record in case.records:
                    if type(record.get("wires")) is list:
                        record["wires"].clear()
            elif kind == "grow the wires":
                case.records[0].setdefault("wires", []).append([target])
            elif kind == "forget the visits":
                setattr(case.w, "_visited_node_ids", [])
            elif kind == "mark a visit":
                getattr(case.w, "_visited_node_ids").append(target)
            elif kind == "rebind Module":
                case.module.Module = types.SimpleNamespace(**{k: NodeModule(t) for k, t in zip(KINDS, VIDEO_TYPES)})
            elif case.member_class is not None:
                case.member_class.type = property(lambda self: "something-else")
        return act


class Case:
    """One case over one module: build it with the seed, then `run()` gives its outcome."""

    def __init__(self, seed, module):
        rng, self.module = Draw(seed), module
        self.tally, self.lines, self.probes, self.fires = collections.Counter(), [], Probes(self), []
        self.member_class = None
        ids = rng.sample(IDS, rng.randint(1, 5))
        self.records = []
        for node_id in ids + [rng.choice(ids)] * (rng.random() < 0.1):
            record = {"id": node_id, "type": rng.choice(TYPES)}
            if rng.random() < 0.9:
                record["wires"] = [[rng.choice(ids + ["ghost"]) for _ in range(rng.randint(0, 2))]
                                   for _ in range(rng.randint(0, 3))]
            self.records.append(record)
        self.start = rng.choice(self.records) if rng.random() < 0.85 else {"id": rng.choice(ids)}
        self.kind, cls = counted_wrapper(module, rng, self.tally)
        self.w = cls("h", 1, rng.choice(ids + ["ghost"]), rng.choice(["function", VIDEO_TYPES[0]]))
        self.w._nodes = {record["id"]: record for record in self.records}
        if self.kind == "instance override":
            bound = self.w.seek_prev_nodes
            self.w.seek_prev_nodes = lambda cur_node: (self.tally.update(["instance seek_prev_nodes"]), bound(cur_node))[1]
        self.globals = dict(Module=Module, logger=self.logger(rng), time=self.clock(rng), requests=self.server(rng))
        self.globals["Module"], self.member_class = odd_module(rng, self.tally, self.probes)
        for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
            self.place_probe(rng)
        self.calls = [self.call(rng) for _ in range(rng.randint(1, 3))]

    def place_probe(self, rng):
        spot = rng.choice(["wired id", "id sought", "record id", "record type", "record key", "instance key",
                           "namespace key"])
        like = {"record key": rng.choice(["id", "wires", "type"]),
                "instance key": rng.choice(["_nodes", "_visited_node_ids", "seek_prev_nodes", "url"]),
                "namespace key": rng.choice(GLOBALS)}.get(spot, rng.choice(IDS + "".join(VIDEO_TYPES[:1])))
        if spot == "record type":
            like = rng.choice(TYPES)
        # Namespaces of the two modules differ in size: a probe there only counts or raises at once.
        action = self.probes.action(rng) if spot != "namespace key" else (
            lambda: (_ for _ in ()).throw(Struck("namespace")))
        fire = rng.choice([1, 2, 3, NOT_YET]) if spot != "namespace key" else rng.choice([1, NOT_YET, NOT_YET])
        probe = Probe(f"{spot} {len(self.probes)}", like, self.tally, action, rng.choice([False, True, "like"]), NOT_YET,
                      hash_raises=rng.random() < 0.1 and spot != "namespace key")
        self.probes.append(probe)
        self.fires.append(fire)
        record = rng.choice(self.records)
        if spot == "wired id":
            record.setdefault("wires", []).append([probe] + [rng.choice(IDS)] * rng.randint(0, 1))
        elif spot == "id sought":
            self.start["id"] = probe
        elif spot == "record id":
            record["id"] = probe
        elif spot == "record type":
            record["type"] = probe
        elif spot == "record key":
            key_first(record, like, probe)
        elif spot == "instance key":
            key_first(self.w.__dict__, like, probe)
        else:
            self.namespace_probe = probe

    def logger(self, rng):
        fail_at, tally, lines = rng.choice([NOT_YET] * 6 + [1, 2, 3, 5]), self.tally, self.lines

        def log(level):
            def write(message):
                tally["log"] += 1
                lines.append((level, message))
                if tally["log"] >= fail_at:
                    raise Struck("logger")
            return write
        return types.SimpleNamespace(info=log("info"), error=log("error"))

    def clock(self, rng):
        tally, state = self.tally, {"now": 1000.0}
        time_fails, sleep_fails = rng.choice([NOT_YET] * 6 + [1, 2, 3]), rng.choice([NOT_YET] * 6 + [1, 2])
        interrupt = rng.random() < 0.5

        def now():
            tally["time"] += 1
            if tally["time"] >= time_fails:
                raise Struck("time")
            return state["now"]

        def sleep(seconds):
            tally["sleep"] += 1
            state["now"] += seconds * 40  # so that a five-minute limit runs out within a few attempts
            if tally["sleep"] >= sleep_fails:
                raise Interrupt("sleep") if interrupt else Struck("sleep")
        return types.SimpleNamespace(time=now, sleep=sleep)

    def server(self, rng):
        tally, lines, case = self.tally, self.lines, self
        answers = [rng.choice(["ok", "ok", "refuse", "bad json", "array", "no flows"]) for _ in range(4)]

        def get(url, **options):
            tally["get"] += 1
            lines.append(("get", url, repr(options)))
            answer = answers[min(tally["get"], len(answers)) - 1]
            if answer == "refuse":
                raise Struck("refused")
            return types.SimpleNamespace(json=lambda: {
                "ok": {"flows": case.records}, "no flows": {}, "array": [case.records]}.get(answer) or int("x"))
        return types.SimpleNamespace(get=get)

    def call(self, rng):
        name = rng.choice(["seek_prev_nodes", "seek_next_nodes", "seek_video_feed", "seek_video_feed",
                           "parse_flow", "_load_flow"])
        args = (rng.choice([0, 1, 2, 300]),) if name == "_load_flow" else () if name == "parse_flow" else None
        between = rng.choice([None] * 6 + ["retype a member", "reclass a member", "reset the visits", "retype a record"])
        return name, args, between

    def call_after(self, change, name, args):
        """Changes the case as `change` says (which may meet a probe), then makes the call."""
        self.between(change)
        return getattr(self.w, name)(*(args if args is not None else (self.start,)))

    def between(self, change):
        if change is None:
            return
        if change == "reset the visits":
            setattr(self.w, "_visited_node_ids", [])
        elif change == "retype a record":
            self.records[0]["type"] = VIDEO_TYPES[0]
        elif self.member_class is not None:
            if change == "retype a member":
                self.member_class.type = property(lambda self: "something-else")
            else:
                other = type("Other", (), {"type": "something-else"})
                for member in vars(self.globals["Module"]).values():
                    if isinstance(member, self.member_class):
                        member.__class__ = other
                        break

    def run(self):
        namespace = vars(self.module)
        saved = dict(namespace)
        namespace.update(self.globals)
        if hasattr(self, "namespace_probe"):
            probe = self.namespace_probe
            key_first(namespace, probe.like, probe)
            before = self.tally["eq " + probe.name]
            namespace.get(probe.like)
            per_lookup = self.tally["eq " + probe.name] - before
            self.tally["eq " + probe.name] = before
        # Probes do their faults only from here on: building the case must not set them off.
        for probe, fire in zip(self.probes, self.fires):
            probe.arm(fire)
        results = []
        try:
            for name, args, change in self.calls:
                results.append(outcome(lambda: self.call_after(change, name, args)))
                if results[-1][0] == "RecursionError":
                    return "RecursionError"
        finally:
            for probe in self.probes:
                probe.arm(NOT_YET)
            namespace.clear()
            namespace.update(saved)
        tally = dict(self.tally)
        if hasattr(self, "namespace_probe"):
            name = "eq " + self.namespace_probe.name
            tally[name] = tally.get(name, 0) / max(per_lookup, 1)
        where = {id(record): i for i, record in enumerate(self.records)}
        state = self.w.__dict__
        return {"results": [shape(result, where) for result in results], "calls into user code": tally,
                "lines": self.lines, "visited": shape(state.get("_visited_node_ids"), where),
                "table": shape(state.get("_nodes", state.get("table")), where)}


def outcome(call):
    try:
        return "returned", call()
    except RecursionError:
        return "RecursionError", None
    except BaseException as error:
        context = error.__context__
        return ("raised", type(error).__name__, str(error),
                context is not None and (type(context).__name__, str(context)))


def shape(value, where):
    """Plain data for what a call gave: records by their place in the case, user objects by name."""
    if id(value) in where:
        return "record", where[id(value)]
    kind = type(value)
    if kind in (str, int, float, bool, type(None)):
        return value
    if kind is dict:
        return "dict", [(shape(k, where), shape(v, where)) for k, v in value.items()]
    if kind in (list, tuple):
        return kind.__name__, [shape(v, where) for v in value]
    if kind is Probe:
        return "probe", value.name
    return "object", kind.__name__


def built(seed, module):
    """The case, or the name of what building it raised (a probe may go off while it is built)."""
    try:
        return Case(seed, module)
    except Exception as error:
        return type(error).__name__


def compare(seed):
    """The difference between the two sides of one case, or None."""
    cases = built(seed, flow), built(seed, MODEL)
    if any(isinstance(case, str) for case in cases):
        return None if cases[0] == cases[1] else f"seed {seed}: building it gave native {cases[0]}, model {cases[1]}"
    found, expected = (case.run() for case in cases)
    if found == expected:
        return None
    if "RecursionError" in (found, expected):
        return f"seed {seed}: native {found!r:.300}, model {expected!r:.300}"
    parts = [f"seed {seed}:"]
    for part in expected:
        if found[part] != expected[part]:
            if part == "calls into user code":
                keys = sorted(set(found[part]) | set(expected[part]))
                found[part], expected[part] = ({k: d.get(k) for k in keys if found[part].get(k) != expected[part].get(k)}
                                               for d in (found[part], expected[part]))
            parts.append(f"  {part}: native {found[part]!r:.600}\n  {'':{len(part)}}  model  {expected[part]!r:.600}")
    return "\n".join(parts)


def in_children(seeds):
    """compare() over `seeds` in forked children, a batch in each: the differences, and a line
    for each seed that ended its child, found by halving the batch that died."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        code = 1
        try:
            sys.setrecursionlimit(len(frames()) + 150)
            differences = []
            for seed in seeds:
                signal.alarm(5)
                differences.append(compare(seed))
            os.write(write, pickle.dumps([d for d in differences if d]))
            code = 0
        finally:
            os._exit(code)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        payload = pipe.read()
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    if status == 0 and payload:
        return pickle.loads(payload)
    if len(seeds) == 1:
        return [f"seed {seeds[0]}: the child ended with status {status}"]
    half = len(seeds) // 2
    return in_children(seeds[:half]) + in_children(seeds[half:])


def frames():
    frame, found = sys._getframe(), []
    while frame:
        found.append(frame)
        frame = frame.f_back
    return found


def seed_of(difference):
    return int(difference.split(":")[0].split()[1])


def in_cold_interpreter(seed):
    """compare(seed) in an interpreter of its own, where no code of the harness is warm yet, with
    a hash seed of its own."""
    code = f"import reliability.test_hostile as h; print(h.compare({seed}) or '', end='')"
    paths = os.pathsep.join(str(Path(__file__).parents[i]) for i in (1, 2))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "PYTHONPATH": paths, "PYTHONHASHSEED": "random"})
    return done.stdout or (f"seed {seed}: the cold run ended with status {done.returncode}: {done.stderr[-300:]}"
                           if done.returncode else None)


def differs_cold_twice(seed):
    """The case's difference when it shows in two cold interpreters, else None. About once in
    10^5 cases a namespace probe's count comes out as no whole number of lookups on the
    plain-Python side too (1.5), cold as well, and not again under other hash seeds: that points
    at the namespace's layout under one hash seed, not at the module. Every fault of the module
    found so far showed under any hash seed."""
    return in_cold_interpreter(seed) and in_cold_interpreter(seed)


def test_hostile_cases_do_what_python_does():
    differences = []
    for first in range(0, CASES, BATCH):
        differences += in_children(list(range(first, min(first + BATCH, CASES))))
    print(f"{len(differences)} of {CASES} cases differ in the run")
    # The harness's own attribute stores and reads, specialised by the cases run before, can
    # skip a probe's comparison on one side only; a difference that the case shows again when
    # run cold is the module's. A warm run has been seen to give some hundreds of those; more
    # than COLD_RECHECKS is taken for a fault of the module without rerunning each.
    if len(differences) <= COLD_RECHECKS:
        differences = [d for d in map(differs_cold_twice, map(seed_of, differences)) if d]
    print(f"{len(differences)} of them again when run cold, twice")
    assert not differences, "\n".join(differences[:20])


# Named cases, each over both modules; `run(module)` builds its own inputs and gives what it saw.
def side_by_side(run):
    found, expected = (run(module) for module in SIDES)
    assert found == expected
    return expected


def chain(module, *names):
    """A wrapper over records wired in a row, the first a video source; the records by name."""
    records = {name: {"id": name, "type": VIDEO_TYPES[0] if i == 0 else "function",
                      "wires": [[names[i + 1]]] if i + 1 < len(names) else []} for i, name in enumerate(names)}
    w = module.FlowAPIWrapper("h", 1, "S", "function")
    w._nodes = dict(records)
    return w, records


def leak_counts(name):
    """The calls into user code of one case of the three, on each module."""
    counts = []
    for module in SIDES:
        tally = collections.Counter()
        if name == "seek_prev_nodes property":
            base = module.FlowAPIWrapper
            cls = type("Hooked", (base,), {"seek_prev_nodes": property(
                lambda self: (tally.update(["get"]), base.seek_prev_nodes.__get__(self))[1])})
            w = cls("h", 1, "S", "function")
            w._nodes = {"S": {"id": "S", "type": "function", "wires": []}}
            result = w.seek_video_feed(w._nodes["S"])
        else:
            w, records = chain(module, "V", "A", "S")
            like = "_nodes" if name == "instance key like _nodes" else "Module"
            probe = Probe(like, like, tally, None, False, NOT_YET)
            namespace = w.__dict__ if like == "_nodes" else vars(module)
            saved = dict(namespace)
            key_first(namespace, like, probe)
            tally.clear()
            namespace.get(like)
            per_lookup, tally["eq " + like] = tally["eq " + like], 0  # what one lookup of the key compares
            try:
                result = w.seek_video_feed(records["S"])
            finally:
                namespace.clear()
                namespace.update(saved)
            if namespace is not w.__dict__:  # the two namespaces differ in size, and so may their probes
                tally["eq " + like] /= max(per_lookup, 1)
            tally.pop("hash " + like, None)
        counts.append((dict(tally), shape(result, {}) if result[0] is None else result[1]))
    return counts


@pytest.mark.parametrize("name", ["seek_prev_nodes property", "instance key like _nodes", "namespace key like Module"])
def test_user_code_called_as_often_as_python_calls_it(name):
    tests = Path(__file__).parents[1]
    child = subprocess.run(
        [sys.executable, "-c", "import sys; from reliability.test_hostile import leak_counts; print(leak_counts(sys.argv[1]))",
         name], capture_output=True, text=True, timeout=300, cwd=tests,
        env=dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=f"{tests}{os.pathsep}{tests.parent / 'scripts'}"))
    assert child.returncode == 0, child.stderr
    native, model = eval(child.stdout)  # a repr of counts and ports
    assert native == model
    assert leak_counts(name)[0] == leak_counts(name)[1]  # under this run's own hash seed as well


def deep_search(module, depth):
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    try:
        return deep_search_unlimited(module, depth)
    finally:
        sys.setrecursionlimit(limit)


def deep_search_unlimited(module, depth):

    class Passing(module.FlowAPIWrapper):
        def seek_video_feed(self, node):
            return super().seek_video_feed(node)

    w = Passing("h", 1, "S", "function")
    w._nodes = {f"n{i}": {"id": f"n{i}", "type": "function", "wires": [[f"n{i + 1}"]] if i + 1 < depth else []}
                for i in range(depth)}
    try:
        found, port = w.seek_video_feed(w._nodes[f"n{depth - 1}"])
    except RecursionError:
        return "RecursionError"
    return found, port, w._visited_node_ids


def test_overridden_walk_at_ordinary_depth_gives_the_answer():
    assert in_child(lambda: deep_search(flow, 500), seconds=300) == deep_search(plain_flow, 500)


@pytest.mark.parametrize("depth", [8_000, 12_000])
def test_overridden_walk_too_deep_for_the_stack_raises_at_worst(depth):
    # Python takes a quarter of an hour at this depth: the scan of the table is quadratic. The
    # answer of a chain without a source is known: nothing, after entering all but the first node.
    found = in_child(lambda: deep_search(flow, depth), seconds=300)
    assert found == "RecursionError" or found == (None, None, [f"n{i}" for i in range(depth - 1, 0, -1)])


class Member:
    def __init__(self, value):
        self.type = value


def members(**extra):
    return type("Kinds", (), {kind: Member(t) for kind, t in zip(KINDS, VIDEO_TYPES)} | extra)


@pytest.mark.parametrize("change", ["type property on the member class", "member class reassigned"])
def test_member_changed_between_searches_is_read_again(monkeypatch, change):
    def run(module):
        kinds = Module if change.startswith("type") else members()
        monkeypatch.setattr(module, "Module", kinds)
        w, records = chain(module, "V", "S")
        first = w.seek_video_feed(records["S"])
        with pytest.MonkeyPatch.context() as patch:
            if change.startswith("type"):
                patch.setattr(NodeModule, "type", property(lambda self: "something-else"), raising=False)
            else:
                patch.setattr(kinds.VideoFeed, "__class__", type("Other", (), {"type": property(lambda s: "other")}))
            w._visited_node_ids = []
            second = w.seek_video_feed(records["S"])
        return shape([first, second], {id(records["V"]): "V"})
    assert side_by_side(run) == ("list", [("tuple", [("record", "V"), 0]), ("tuple", [None, None])])


class OtherKind(tuple):
    """A member class that a NodeModule may be reassigned to: the same layout, another type."""
    __slots__ = ()
    type = property(lambda self: "other")


def owner_of_video_feed(module):
    return next(cls for cls in module.Module.__mro__ if "VideoFeed" in vars(cls))


class KindsBase:
    VideoFeed = NodeModule(VIDEO_TYPES[0])


class DerivedKinds(KindsBase):
    VFVideoFile, VFUsbCamera, VFIpCamera = (NodeModule(t) for t in VIDEO_TYPES[1:])


SEARCH_CHANGES = {
    "member replaced": lambda module, patch: patch.setattr(module.Module, "VideoFeed", NodeModule("other")),
    "member deleted": lambda module, patch: patch.delattr(owner_of_video_feed(module), "VideoFeed"),
    "member of a base replaced": lambda module, patch: patch.setattr(KindsBase, "VideoFeed", NodeModule("other")),
    "Module rebound": lambda module, patch: patch.setattr(
        module, "Module", type("Kinds", (), {k: NodeModule("other") for k in KINDS})),
    "another global rebound": lambda module, patch: patch.setattr(module, "time", types.SimpleNamespace()),
    "type made a property": lambda module, patch: patch.setattr(NodeModule, "type", property(lambda s: "other")),
    "member class reassigned": lambda module, patch: patch.setattr(module.Module.VideoFeed, "__class__", OtherKind),
}


@pytest.mark.parametrize("kinds", [Module, DerivedKinds], ids=["Module", "derived class"])
@pytest.mark.parametrize("change", SEARCH_CHANGES)
def test_video_source_kinds_changed_between_searches_are_read_again(monkeypatch, kinds, change):
    def run(module):
        monkeypatch.setattr(module, "Module", kinds)
        w, records = chain(module, "V", "S")
        outcomes = [w.seek_video_feed(records["S"])]
        with pytest.MonkeyPatch.context() as patch:
            SEARCH_CHANGES[change](module, patch)
            w._visited_node_ids = []
            try:
                outcomes.append(w.seek_video_feed(records["S"]))
            except AttributeError as error:
                outcomes.append(str(error))
            w._visited_node_ids = []
        outcomes.append(w.seek_video_feed(records["S"]))
        return shape(outcomes, {id(records["V"]): "V"})
    first, second, third = side_by_side(run)[1]
    assert first == third == ("tuple", [("record", "V"), 0])
    irrelevant = change == "another global rebound" or (change == "member of a base replaced" and kinds is Module)
    assert (second == first) == irrelevant


def test_member_types_not_read_for_a_node_without_predecessors(monkeypatch):
    def run(module):
        tally = collections.Counter()
        w = module.FlowAPIWrapper("h", 1, "S", "function")
        w._nodes = {"S": {"id": "S", "type": "function", "wires": []}}
        kinds, probes = members(), [Probe(kind, "type", tally, lambda: setattr(w, "_visited_node_ids", []), False,
                                          NOT_YET) for kind in KINDS]
        for kind, probe in zip(KINDS, probes):
            key_first(vars(getattr(kinds, kind)), "type", probe)
            probe.arm(1)
        tally.clear()
        monkeypatch.setattr(module, "Module", kinds)
        return w.seek_video_feed(w._nodes["S"]), w._visited_node_ids, dict(tally)
    assert side_by_side(run)[0] == (None, None)


def failing_download(module, monkeypatch, fault):
    """_load_flow(0 or 5) against a server that refuses every attempt, with `fault` in the wait."""
    lines, now = [], [0.0]

    def error(message):
        lines.append(message)
        if fault == "logger" and message.startswith("Failed to download"):
            raise Struck("logger")

    def clock():
        if fault == "time" and now[0] > 0:
            raise Struck("time")
        now[0] += 0.5
        return now[0]

    def sleep(seconds):
        if fault == "sleep":
            raise Interrupt("sleep")
        now[0] += seconds

    def get(url, **options):
        raise Struck("refused")
    monkeypatch.setattr(module, "logger", types.SimpleNamespace(info=lines.append, error=error))
    monkeypatch.setattr(module, "time", types.SimpleNamespace(time=clock, sleep=sleep))
    monkeypatch.setattr(module, "requests", types.SimpleNamespace(get=get))
    return outcome(lambda: module.FlowAPIWrapper("h", 1)._load_flow(0 if fault == "logger" else 5)), lines


def test_retry_line_shows_the_error_as_str_shows_it(monkeypatch):
    found = side_by_side(lambda module: failing_download(module, monkeypatch, None))
    assert "Failed to parse flow - struck refused" in found[1]


@pytest.mark.parametrize("fault", ["sleep", "time", "logger"])
def test_fault_in_the_wait_carries_the_failed_attempt_as_context(monkeypatch, fault):
    found = side_by_side(lambda module: failing_download(module, monkeypatch, fault))
    assert found[0][3] == ("Struck", "struck refused")
