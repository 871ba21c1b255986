"""The indexed walk of seek_video_feed against the step-by-step one, on random and odd flows.

The native search takes the indexed walk when the instance finds the module's own searches, and
its table and Module are plain; an instance whose class overrides a search walks step by step.
Both must agree on the answer, the visited ids and the exception raised.
"""

from search_flows import VIDEO_TYPES
from hypothesis import given, settings
from hypothesis import strategies as st
from zorv_sdk.nodered import flow

IDS = ["A", "B", "C", "D"]
PLAIN = st.fixed_dictionaries(
    {"id": st.sampled_from(IDS), "type": st.sampled_from(VIDEO_TYPES[:2] + ["function"] * 3)},
    optional={"wires": st.lists(st.lists(st.sampled_from(IDS + ["ghost"]), max_size=3), max_size=3)})
ODD = st.fixed_dictionaries({}, optional={
    "id": st.sampled_from(IDS + [7, None]),
    "type": st.sampled_from(VIDEO_TYPES[:2] + ["function", 3, None]),
    "wires": st.one_of(st.lists(st.lists(st.sampled_from(IDS + [7, None]), max_size=3), max_size=3),
                       st.lists(st.tuples(st.sampled_from(IDS)), max_size=2), st.none()),
})


class StepByStep(flow.FlowAPIWrapper):
    """An override that changes nothing: the walk cannot know that it runs no code."""

    def seek_prev_nodes(self, cur_node):
        return super().seek_prev_nodes(cur_node)


def outcome(table, start, visited, cls):
    w = cls()
    w._nodes, w._visited_node_ids = table, list(visited)
    try:
        result = w.seek_video_feed(start)
    except Exception as error:  # the two walks must fail alike
        result = (type(error), str(error))
    return result, w._visited_node_ids


@st.composite
def tables(draw):
    """Mostly plain records, which the indexed walk takes; now and then an odd one, which it must not."""
    records = draw(st.lists(PLAIN, min_size=1, max_size=6))
    if draw(st.integers(0, 4)) == 0:
        records[draw(st.integers(0, len(records) - 1))] = draw(ODD)
    return {f"key{i}": record for i, record in enumerate(records)}


@settings(max_examples=400, deadline=None)
@given(tables(), st.one_of(PLAIN, ODD), st.lists(st.sampled_from(IDS + [7]), max_size=2))
def test_indexed_and_step_by_step_walks_agree(table, start, visited):
    indexed = outcome(table, start, visited, flow.FlowAPIWrapper)
    step_by_step = outcome(table, start, visited, StepByStep)
    assert indexed == step_by_step
    found = indexed[0][0]
    assert found is None or isinstance(found, type) or any(found is record for record in table.values())
