"""Reference-leak hunting in the manner of CPython's own `regrtest -R`.

Enabled with `-p refleak_plugin` on a debug build of the interpreter (one that has
`sys.gettotalrefcount`). Before its ordinary run, each test is run unlogged, setup to teardown,
WARMUPS + COUNTED times, keeping fixtures of wider scope; after each run the garbage is
collected and the interpreter's total reference count taken. A test whose count grew in every
counted run fails with the growth of each run.

Not repeated: hypothesis tests (every run draws other examples), and tests whose call phase
starts a process (a child interpreter, or the real Node-RED stopped and started again); a
first run finds those out.
"""

import collections
import functools
import gc
import linecache
import re
import sys
import urllib.parse

import pytest
from _pytest.runner import runtestprotocol

WARMUPS, COUNTED = 3, 3
SPAWN_EVENTS = {"subprocess.Popen", "os.fork", "os.forkpty", "os.posix_spawn", "os.exec", "os.system"}


class SpawnWatch:
    """Notes whether the call phase of a test starts a process."""

    def __init__(self):
        self.watching = self.spawned = False

    def __call__(self, event, args):
        if self.watching and event in SPAWN_EVENTS:
            self.spawned = True


watch = SpawnWatch()
tally = collections.Counter()
leaks = pytest.StashKey[list]()


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("refleak_plugin needs a debug build of Python (sys.gettotalrefcount)")
    sys.addaudithook(watch)


def pytest_collection_finish(session):
    # What lives as long as the session need not be searched by every count's collection.
    gc.collect()
    gc.freeze()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    watch.watching = True
    try:
        yield
    finally:
        watch.watching = False


def total_references():
    # The caches that regrtest also empties, where each run of a test adds its own entries
    # (a loopback server's new port makes a new URL each run).
    urllib.parse.clear_cache()
    re.purge()
    linecache.clearcache()
    sys._clear_type_cache()
    gc.collect()
    return sys.gettotalrefcount()


class Neighbour:
    """A next test beside `item`, for whose sake the teardown keeps the fixtures of wider scope."""

    def __init__(self, item):
        self.chain = item.listchain()[:-1]

    def listchain(self):
        return self.chain


def fixture_finished_by(finalizer):
    """The fixture definition that `finalizer` finishes, when it is one of pytest's own."""
    if isinstance(finalizer, functools.partial):
        return getattr(finalizer.func, "__self__", None)
    code, cells = getattr(finalizer, "__code__", None), getattr(finalizer, "__closure__", None) or ()
    cell = dict(zip(code.co_freevars, cells)).get("fixturedef") if code else None
    return cell.cell_contents if cell else None


def finalizer_lists(item):
    """The teardown lists of the wider scopes and their fixtures, with their lengths now.

    Each use of a fixture notes its finish on the wider fixtures it uses and on the node of its
    own scope, where it stays until that scope ends: on a repeated test these lists would grow
    with every run.
    """
    lists = [fins for node, (fins, _) in item.session._setupstate.stack.items() if node is not item]
    lists += [d._finalizers for defs in item._fixtureinfo.name2fixturedefs.values() for d in defs]
    return [(fins, len(fins)) for fins in lists]


def drop_repeated_finishes(noted):
    """Drops what a run added to `noted` lists that finishes a fixture torn down already, or
    one whose finish was noted before the run."""
    for fins, length in noted:
        earlier = {fixture_finished_by(fin) for fin in fins[:length]}
        fins[length:] = [fin for fin in fins[length:] if not (
            (fixture := fixture_finished_by(fin)) and (fixture.scope == "function" or fixture in earlier))]


def run_unlogged(item):
    """One run, setup to teardown, leaving fixtures of wider scope set up; True if it passed."""
    watch.spawned = False
    noted = finalizer_lists(item)
    reports = runtestprotocol(item, nextitem=Neighbour(item), log=False)
    drop_repeated_finishes(noted)
    del item._report_sections[:]  # captured output, kept per run for the report
    return all(report.passed for report in reports) and not watch.spawned


def growth_per_run(item):
    """The reference count growth of each counted run, or None when the test is not repeated."""
    if getattr(item.obj, "is_hypothesis_test", False):
        tally["hypothesis, run once"] += 1
        return None
    # Filled in place, so that every count is taken with the same objects alive.
    totals = [0] * (COUNTED + 1)
    for run in range(WARMUPS + COUNTED):
        if not run_unlogged(item):
            tally["starting a process, run once" if watch.spawned else "failing when repeated"] += 1
            return None
        if run >= WARMUPS - 1:
            totals[run - WARMUPS + 1] = total_references()
    tally["repeated"] += 1
    return [after - before for before, after in zip(totals, totals[1:])]


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    deltas = growth_per_run(item)
    if deltas and all(delta > 0 for delta in deltas):
        item.stash[leaks] = deltas
    # The ordinary protocol runs next and reports.


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if call.when == "call" and report.passed and leaks in item.stash:
        report.outcome = "failed"
        report.longrepr = f"leaked references: {item.stash[leaks]} in {COUNTED} runs after {WARMUPS} warm-ups"


def pytest_terminal_summary(terminalreporter):
    counts = ", ".join(f"{count} {what}" for what, count in sorted(tally.items()))
    terminalreporter.write_line(f"reference leaks: {counts}")
