// Where the methods may skip or reorder work that the Python code does, because no caller
// could tell: every such decision is made here, per call, by exact-type checks or by identity
// with objects the module made, and nowhere else. Nothing here is kept between calls. Built
// with fast_paths off, every question here is answered "no" and only the plain paths remain,
// so that the test suite can show that both builds behave alike.
#pragma once

#include <Python.h>

#include "binding/signature.hpp"

#ifndef FLOW_FAST_PATHS
#define FLOW_FAST_PATHS 1
#endif

namespace flow {
namespace fast {

constexpr bool enabled = FLOW_FAST_PATHS != 0;

/// Whether `obj` is exactly a dict, to be read through the dict functions rather than through
/// its methods: they are the same functions, and nothing can override them.
inline bool is_exact_dict(PyObject* obj) noexcept { return enabled && PyDict_CheckExact(obj); }

/// Whether `obj` is exactly a list or tuple, to be read by index: its iterator and `in` read
/// it the same way.
inline bool walks_by_index(PyObject* obj) noexcept
{
    return enabled && (PyList_CheckExact(obj) || PyTuple_CheckExact(obj));
}

/// Whether `a` and `b` are both exactly str, so that comparing them runs no code and needs no
/// call: equal texts have equal lengths, kinds and bytes.
inline bool are_exact_str(PyObject* a, PyObject* b) noexcept
{
    return enabled && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b);
}

/// Whether `format(value, "")` is `str(value)`: so for an exact dict or list, whose type takes
/// its __format__ from object, which gives str() for an empty format.
inline bool formats_as_str(PyObject* value) noexcept
{
    return enabled && (PyDict_CheckExact(value) || PyList_CheckExact(value));
}

/// Whether a call that passes every parameter by position, and nothing else, needs no binding.
inline bool is_bound_already(const Signature& sig, Py_ssize_t n_args, PyObject* kwnames) noexcept
{
    return enabled && n_args == sig.n_params && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0);
}

/// Whether `search`, what `self.seek_video_feed` gave, is that very method bound to `self`
/// (`unbound`: lookup_method() took the method out of the bound one), so that calling it may be
/// one more level of the caller's own walk instead of a call on the C stack.
bool is_own_search(PyObject* search, bool unbound) noexcept;

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
int plan_indexed_walk(PyObject* self, PyObject* start, WalkPlan& plan) noexcept;

/// Whether no lookup in the exact dict `dict` runs code: every key is an exact str, so no
/// key's `__eq__` is asked. Linear in its size.
bool has_only_str_keys(PyObject* dict) noexcept;

}  // namespace fast
}  // namespace flow
