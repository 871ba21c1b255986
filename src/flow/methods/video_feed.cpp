// seek_video_feed: a depth-first walk upstream from a node to the first video-source node
// met, recording every node entered in `_visited_node_ids`.
//
// Each entered node is one level of the walk, as if seek_video_feed called itself through
// `self.seek_video_feed`. Where that attribute is this very method bound to the same instance,
// a level is pushed on a stack of our own instead of recursing on the C stack, so flows of any
// depth are walked; any other callable (an override) is called for real.
#include "fast/fast_paths.hpp"
#include "methods/indexed_walk.hpp"
#include "methods/method_table.hpp"
#include "methods/wrapper.hpp"
#include "support/calls.hpp"
#include "support/globals.hpp"
#include "support/names.hpp"
#include "support/ports.hpp"
#include "support/vector.hpp"

namespace flow {
namespace {

/// `type == Module.<member>.type` for the four video-source members in order, reading each
/// afresh and stopping at the first equal one: 1, 0, or -1 on error.
int is_video_feed_type(PyObject* type) noexcept
{
    const Names& n = names();
    for (PyObject* member : {n.VideoFeed, n.VFVideoFile, n.VFUsbCamera, n.VFIpCamera}) {
        Ref module = load_global(n.Module);
        Ref kind = module ? Ref::steal(PyObject_GetAttr(module.get(), member)) : Ref();
        Ref kind_type = kind ? Ref::steal(PyObject_GetAttr(kind.get(), n.type)) : Ref();
        Ref equal = kind_type ? Ref::steal(PyObject_RichCompare(type, kind_type.get(), Py_EQ)) : Ref();
        const int truth = equal ? PyObject_IsTrue(equal.get()) : -1;
        if (truth != 0) {
            return truth;
        }
    }
    return 0;
}

/// What one level hands to the level below it.
struct Pair {
    Ref node;
    Ref port;
};

/// One entered node: the port entries of its predecessors still to be examined, and the
/// port of the last (empty-handed) result that a deeper search handed back.
struct Level {
    Ref entries;
    Ref port;
};

enum class Step { go_on, entered, returned, error };

class VideoFeedSearch {
public:
    explicit VideoFeedSearch(PyObject* self) noexcept : self_(self) {}

    /// The pair that seek_video_feed(start) returns, as a tuple.
    Ref run(PyObject* start) noexcept
    {
        Ref entries = first_step(start);
        if (!entries) {
            return Ref();
        }
        // With nothing upstream the walk ends at once.
        if (has_no_items(entries.get())) {
            return Ref::steal(PyTuple_Pack(2, Py_None, Py_None));
        }
        Ref indexed;
        switch (indexed_video_feed_search(self_, start, entries.get(), indexed)) {
        case Indexed::done:
            return indexed;
        case Indexed::error:
            return Ref();
        case Indexed::not_applicable:
            break;
        }
        if (push_level(entries.get()) < 0) {
            return Ref();
        }
        Pair result;
        for (;;) {
            const Step step = advance(levels_.top(), result);
            if (step == Step::error) {
                return Ref();
            }
            if (step == Step::entered) {
                continue;
            }
            levels_.pop();
            // A find ends every level below it; an empty hand is noted and the level goes on.
            while (!levels_.empty() && result.node.get() != Py_None) {
                levels_.pop();
            }
            if (levels_.empty()) {
                return Ref::steal(PyTuple_Pack(2, result.node.get(), result.port.get()));
            }
            levels_.top().port = std::move(result.port);
        }
    }

private:
    /// The start of one seek_video_feed call on `cur_node`: its predecessors' entries, asked
    /// for before its visit is recorded.
    Ref first_step(PyObject* cur_node) noexcept
    {
        Ref entries = call_method(self_, names().seek_prev_nodes, cur_node);
        const Py_ssize_t visits = entries ? record_visit(cur_node) : -1;
        return visits == -1 || check_depth(visits) < 0 ? Ref() : std::move(entries);
    }

    int push_level(PyObject* entries) noexcept
    {
        Ref walk = Ref::steal(PyObject_GetIter(entries));
        return walk ? levels_.push(Level{std::move(walk), Ref::borrow(Py_None)}) : -1;
    }

    /// Entering a node met on the way, as the call seek_video_feed(cur_node) would.
    int enter(PyObject* cur_node) noexcept
    {
        Ref entries = first_step(cur_node);
        return entries ? push_level(entries.get()) : -1;
    }

    /// A walk that records every node it enters enters each at most once, so it is no deeper
    /// than its visits, nor than the nodes of the table. One deeper than that and than the
    /// recursion limit re-enters nodes: only a record of visits that forgets them makes that
    /// happen, and then the walk would not end. It gets the RecursionError that the recursion it
    /// stands for would meet. Visits kept in anything but a list cannot be counted without
    /// running its code: there the nodes of an exact dict of a table are counted instead, once,
    /// and only past the recursion limit, where the recursion would have failed already.
    int check_depth(Py_ssize_t visits) noexcept
    {
        const Py_ssize_t depth = static_cast<Py_ssize_t>(levels_.size()) + 1;
        if (depth <= Py_GetRecursionLimit() || depth <= visits) {
            return 0;
        }
        if (visits < 0 && nodes_in_table_ < 0) {
            Ref table = get_attribute(self_, names().nodes);
            if (!table) {
                return -1;
            }
            nodes_in_table_ = fast::is_exact_dict(table.get()) ? PyDict_GET_SIZE(table.get()) : 0;
        }
        if (depth <= nodes_in_table_) {
            return 0;
        }
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return -1;
    }

    /// `self._visited_node_ids.append(cur_node["id"])`: the number of recorded visits after it
    /// when they are a list, else -2 (not known); -1 on error.
    Py_ssize_t record_visit(PyObject* cur_node) noexcept
    {
        Ref visited = get_attribute(self_, names().visited_node_ids);
        if (!visited) {
            return -1;
        }
        if (fast::is_exact_list(visited.get())) {
            Ref id = item_of(cur_node, names().id);
            return id && PyList_Append(visited.get(), id.get()) == 0 ? PyList_GET_SIZE(visited.get()) : -1;
        }
        Ref append = Ref::steal(PyObject_GetAttr(visited.get(), names().append));
        Ref id = append ? item_of(cur_node, names().id) : Ref();
        return id && Ref::steal(PyObject_CallOneArg(append.get(), id.get())) ? -2 : -1;
    }

    /// Runs the loop of `level` until it enters a predecessor or returns `result`.
    Step advance(Level& level, Pair& result) noexcept
    {
        while (Ref entry = Ref::steal(PyIter_Next(level.entries.get()))) {
            Ref node = item_of(entry.get(), names().node);
            Ref port = node ? item_of(entry.get(), names().port) : Ref();
            Ref type = port ? item_of(node.get(), names().type) : Ref();
            const int is_feed = type ? is_video_feed_type(type.get()) : -1;
            if (is_feed < 0) {
                return Step::error;
            }
            if (is_feed) {
                result = Pair{std::move(node), std::move(port)};
                return Step::returned;
            }
            const int worth = worth_entering(node.get());
            if (worth < 0) {
                return Step::error;
            }
            const Step step = worth ? search_from(level, node.get(), result) : Step::go_on;
            if (step != Step::go_on) {
                return step;
            }
        }
        if (PyErr_Occurred()) {
            return Step::error;
        }
        result = Pair{Ref::borrow(Py_None), std::move(level.port)};
        return Step::returned;
    }

    /// A predecessor is entered when it has predecessors of its own and was not entered
    /// before: 1, 0, or -1 on error.
    int worth_entering(PyObject* node) noexcept
    {
        Ref its_entries = call_method(self_, names().seek_prev_nodes, node);
        const Py_ssize_t count = its_entries ? PyObject_Length(its_entries.get()) : -1;
        if (count <= 0) {
            return count < 0 ? -1 : 0;
        }
        Ref id = item_of(node, names().id);
        Ref visited = id ? get_attribute(self_, names().visited_node_ids) : Ref();
        const int seen = visited ? PySequence_Contains(visited.get(), id.get()) : -1;
        return seen < 0 ? -1 : !seen;
    }

    /// `vid_feed_node, vid_feed_port_id = self.seek_video_feed(node)`, and the test of it.
    Step search_from(Level& level, PyObject* node, Pair& result) noexcept
    {
        bool unbound = false;
        Ref search = lookup_method(self_, names().seek_video_feed, unbound);
        if (!search) {
            return Step::error;
        }
        if (fast::is_own_search(search.get(), unbound, seek_video_feed_signature)) {
            PyObject* bound[] = {self_, node};
            if (check_argument_types(seek_video_feed_signature, bound) < 0 || enter(node) < 0) {
                return Step::error;
            }
            return Step::entered;
        }
        Ref returned = call_looked_up(search.get(), unbound, self_, node);
        Pair found;
        if (!returned || unpack_pair(returned.get(), found.node, found.port) < 0) {
            return Step::error;
        }
        if (found.node.get() != Py_None) {
            result = std::move(found);
            return Step::returned;
        }
        level.port = std::move(found.port);
        return Step::go_on;
    }

    PyObject* self_;
    Vector<Level> levels_;
    Py_ssize_t nodes_in_table_ = -1;  // counted by check_depth() where it must
};

}  // namespace

PyObject* wrapper_seek_video_feed(PyObject* const* args) noexcept
{
    return VideoFeedSearch(args[0]).run(args[1]).release();
}

}  // namespace flow
