// Where the methods may skip or reorder work that the Python code does, because no caller
// could tell: every such decision is made here, from guarantees that the public C API gives
// (exact built-in types, what their lookups do), and nowhere else. Built with fast_paths off,
// every question here is answered "no" and only the plain paths remain, so that the test
// suite can show that both builds behave alike.
#pragma once

#include <Python.h>

#include "ref.hpp"
#include "signature.hpp"
#include "vector.hpp"

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

/// Makes the module ready to watch dicts and classes where the interpreter can (3.12 on), once
/// per process, and notes `cls`, the class the module made, whose instances' attributes
/// own_attribute() may then read while the class stays as it is; it is held until another
/// class made by the module takes its place.
void watch_own_class(PyObject* cls) noexcept;

/// `self.name`, for an instance of the module's own class, read from its instance dict alone:
/// while nothing named `name` is in the class or its bases, nothing the generic lookup would
/// do besides can run code or answer otherwise. A new reference; empty, with no error set,
/// where that is not known or the name is not there: then the generic lookup is to be asked.
Ref own_attribute(PyObject* self, PyObject* name) noexcept;

/// Moves at every change of any dict watched here (where dicts are watched; else it stays),
/// so that a state found while it stood still is known to be the same state.
extern unsigned long long watched_changes;

/// A record of a table whose records are plain, with what a scan reads of it.
struct PlainRecord {
    PyObject* record;          // borrowed from the table
    PyObject* wires;           // its "wires" (borrowed from it), or NULL where it has none
    Py_ssize_t next_position;  // where PyDict_Next goes on after it
};

/// The records of the exact dict `table` in table order, when every one is an exact dict
/// holding only exact str keys; NULL (no error set) when not. Found without looking at them
/// again while nothing watched has changed, and good for as long.
const Vector<PlainRecord>* plain_records(PyObject* table) noexcept;

/// What a scan of a node table may take for granted while `holds()`: that the table and its
/// records, and the current node, are exact dicts holding only exact str keys and unchanged
/// since the scan began, so that no lookup in them runs code or answers otherwise. It never
/// holds where the interpreter cannot watch dicts. Watching a dict costs its owner nothing
/// but a call of ours at each of its changes.
class PlainScan {
public:
    PlainScan(PyObject* table, PyObject* cur_node) noexcept;
    bool holds() const noexcept { return records_ && mark_ == watched_changes; }
    /// The table's records as plain_records() noted them; only while holds().
    const Vector<PlainRecord>& records() const noexcept { return *records_; }

private:
    const Vector<PlainRecord>* records_;
    unsigned long long mark_;
};


/// `obj.name`, when reading it provably runs no Python code (a new reference); empty, with no
/// error set, when it might run some or would raise.
Ref plain_attribute(PyObject* obj, PyObject* name) noexcept;

/// Whether `self.<name>` is, found without running code, the method made for `sig`.
bool is_own_method(PyObject* self, PyObject* name, const Signature& sig) noexcept;

/// The four video-source types, `Module.<member>.type` in the order they are compared, when
/// reading them provably runs no code and each is an exact str; false (no error set) if not.
/// From 3.12 on, it lets go of types it kept before, whose freeing may run code: to be asked
/// before anything else is read.
bool plain_feed_types(Ref (&types)[4]) noexcept;

/// `format(value, "")` of an exact dict or list that holds only exact dicts, lists, str of
/// ASCII text, int, float, True, False and None, none of its containers twice on one path:
/// the text str() gives, written without running code. Empty, with no error set, for any
/// other value, or where str() would instead raise (a nesting deeper than the thread has room
/// for, an int too long to write).
Ref format_plain_container(PyObject* value) noexcept;

}  // namespace fast
}  // namespace flow
