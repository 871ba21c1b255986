// The video-feed walk over an index of predecessors built once per search. It gives the
// answer, the visits and the errors of the walk that asks seek_prev_nodes at every step, and
// is used only where no code of the caller's could tell the two apart.
#pragma once

#include "support/ref.hpp"

namespace flow {

enum class Indexed { done, not_applicable, error };

/// The walk on from `start` once its first step is taken: `first_entries` is what
/// seek_prev_nodes gave for it, and its id is among the visited ones. `done` with the search's
/// pair in `result`; `not_applicable` (nothing done, no error set) when the flow, the instance
/// or `Module` could run Python code during the walk or are not of the plain types it reads;
/// `error` with the exception the walk raises.
Indexed indexed_video_feed_search(PyObject* self, PyObject* start, PyObject* first_entries, Ref& result) noexcept;

}  // namespace flow
