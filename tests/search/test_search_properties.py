"""The three searches on random flows, against the plain-Python rendition of the same walks."""

import pytest
from search_flows import VIDEO_TYPES, make_wrapper, pairs
from differential import plain_twin
from hypothesis import given, settings
from hypothesis import strategies as st

FEW = settings(max_examples=150, deadline=None)


@st.composite
def flows(draw):
    """A table of unique ids whose ports name known ids, repeats, the node itself or an unknown "ghost"."""
    ids = draw(st.lists(st.sampled_from("ABCDEF"), min_size=1, unique=True))
    fields = st.fixed_dictionaries({"type": st.sampled_from(VIDEO_TYPES + ["function", "debug"])}, optional={
        "wires": st.lists(st.lists(st.sampled_from(ids + ["ghost"]), max_size=3), max_size=3)})
    return make_wrapper(*({"id": i, **draw(fields)} for i in ids)), draw(st.sampled_from(ids))


@FEW
@given(flows())
def test_prev_nodes_list_each_wired_port_once_in_table_then_port_order(flow):
    w, _ = flow
    for target in [*w._nodes.values(), {"id": "ghost"}]:
        found = w.seek_prev_nodes(target)
        assert all(target["id"] in e["node"]["wires"][e["port"]] for e in found)
        assert pairs(w, found) == pairs(w, plain_twin(w).seek_prev_nodes(target))


@FEW
@given(flows())
def test_next_nodes_follow_the_listed_ids(flow):
    w, start = flow
    listed = [(t, port) for port, targets in enumerate(w._nodes[start].get("wires", [])) for t in targets]
    if "ghost" in dict(listed):
        with pytest.raises(KeyError, match="ghost"):
            w.seek_next_nodes(w._nodes[start])
    else:
        assert pairs(w, w.seek_next_nodes(w._nodes[start])) == listed


@FEW
@given(flows())
def test_video_feed_matches_model(flow):
    w, start = flow
    found, port = w.seek_video_feed(w._nodes[start])
    model = plain_twin(w)
    expected = model.seek_video_feed(w._nodes[start])
    # The source feeds the start node or a node entered on the way up from it.
    assert (found, port) == (None, None) or (found is w._nodes[found["id"]] and found["type"] in VIDEO_TYPES
                                             and any(t in w._visited_node_ids for t in found["wires"][port]))
    assert (found, port) == expected and found is expected[0]
    assert w._visited_node_ids == model._visited_node_ids
