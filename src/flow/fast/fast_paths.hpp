// The shortcuts that rest on identity with the module's own objects: whether a walk's next
// level may stay on the caller's stack, and whether the whole walk may take the index. Each is
// proven per call from what the call would read, with the exact-type questions of
// support/exact_types.hpp, and nothing here is kept between calls. Built with fast_paths off,
// every question is answered "no".
#pragma once

#include <Python.h>

#include "binding/signature.hpp"
#include "support/exact_types.hpp"

namespace flow {
namespace fast {

/// Whether `search`, what `self.seek_video_feed` gave, is that very method bound to `self`
/// (`unbound`: lookup_method() took the method out of the bound one), so that calling it may be
/// one more level of the caller's own walk instead of a call on the C stack.
bool is_own_search(PyObject* search, bool unbound, const Signature& walk) noexcept;

/// What an indexed walk of seek_video_feed reads, proven at its start to stay the same through
/// the walk: while the walk runs no Python code, every lookup that the step-by-step walk would
/// repeat gives what it gave here. Borrowed, for the same reason.
struct WalkPlan {
    PyObject* table;     // self._nodes: an exact dict
    PyObject* visited;   // self._visited_node_ids: an exact list of exact str
    PyObject* types[4];  // Module.<member>.type in the order compared, exact str
};

/// Fills `plan` when the walk on from `start` may take the index: `self` an instance of a
/// plain class that holds the module's own searches, `Module` the plain class of named tuples
/// that the SDK defines, `start` an exact dict of exact str keys. 1 when it may, 0 (no error
/// set) when not, -1 on error. The table's records are checked by the index, as it reads them.
int plan_indexed_walk(PyObject* self, PyObject* start, const Signature& prev, const Signature& walk,
                      WalkPlan& plan) noexcept;

}  // namespace fast
}  // namespace flow
