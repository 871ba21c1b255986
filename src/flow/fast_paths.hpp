// Where the methods may skip or reorder work that the Python code does, because no caller
// could tell: every such decision is made here, from guarantees that the public C API gives
// (exact built-in types, what their lookups do), and nowhere else. Built with fast_paths off,
// every question here is answered "no" and only the plain paths remain, so that the test
// suite can show that both builds behave alike.
#pragma once

#include <Python.h>

#include "ref.hpp"
#include "signature.hpp"

#ifndef FLOW_FAST_PATHS
#define FLOW_FAST_PATHS 1
#endif

namespace flow {
namespace fast {

constexpr bool enabled = FLOW_FAST_PATHS != 0;

/// Whether `obj` is exactly a dict, to be read through the dict functions rather than through
/// its methods: they are the same functions, and nothing can override them.
inline bool is_exact_dict(PyObject* obj) noexcept { return enabled && PyDict_CheckExact(obj); }

/// Whether `obj` is exactly a list, to be read by index: its iterator and `in` read it the same way.
inline bool is_exact_list(PyObject* obj) noexcept { return enabled && PyList_CheckExact(obj); }

/// Whether `a` and `b` are both exactly str, so that comparing them runs no code and needs no
/// call: equal texts have equal lengths, kinds and bytes.
inline bool are_exact_str(PyObject* a, PyObject* b) noexcept
{
    return enabled && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b);
}

/// Whether looking a str up in the exact dict `dict` runs no code: every key is an exact str,
/// so no key's `__eq__` is asked. Linear in the size of the dict.
bool lookups_run_no_code(PyObject* dict) noexcept;

/// `obj.name`, when reading it provably runs no Python code (a new reference); empty, with no
/// error set, when it might run some or would raise.
Ref plain_attribute(PyObject* obj, PyObject* name) noexcept;

/// Whether `self.<name>` is, found without running code, the method made for `sig`.
bool is_own_method(PyObject* self, PyObject* name, const Signature& sig) noexcept;

/// The four video-source types, `Module.<member>.type` in the order they are compared, when
/// reading them provably runs no code and each is an exact str; false (no error set) if not.
bool plain_feed_types(Ref (&types)[4]) noexcept;

}  // namespace fast
}  // namespace flow
