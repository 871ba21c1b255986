// Reading exact dicts without running code. A str lookup runs code only when the dict holds
// a key of another type with the same hash, which is asked for equality; in a dict whose keys
// are all exact str it runs none.
//
// From 3.11 to 3.13 a dict's keys object says itself whether all its keys are exact str, and
// keeps such entries as (key, value) pairs in insertion order; where that layout is known,
// the functions here read it in place instead of going through PyDict_Next, which gives the
// same entries in the same order.
#pragma once

#include <Python.h>

#include "exact_str.hpp"
#include "ref.hpp"

#include <cstdint>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define FLOW_KNOWS_DICT_LAYOUT 1
#endif

namespace flow {

#ifdef FLOW_KNOWS_DICT_LAYOUT
namespace dict_layout {

// The head of the keys object, as the interpreter lays it out; the hash index follows it,
// then the entries.
struct KeysHead {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0 once a key other than an exact str went in, and for good
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t entries;  // used so far, deleted ones included
};

struct StrEntry {
    PyObject* key;
    PyObject* value;  // NULL: deleted
};

inline const KeysHead* keys_of(PyObject* dict) noexcept
{
    return reinterpret_cast<const KeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

/// The entries of a dict with only exact str keys that keeps its values in them, else NULL.
inline const StrEntry* str_entries(PyObject* dict, Py_ssize_t& count) noexcept
{
    const KeysHead* keys = keys_of(dict);
    if (keys->kind == 0 || reinterpret_cast<PyDictObject*>(dict)->ma_values) {
        return nullptr;
    }
    count = keys->entries;
    const char* index = reinterpret_cast<const char*>(keys + 1);
    return reinterpret_cast<const StrEntry*>(index + (size_t{1} << keys->log2_index_bytes));
}

}  // namespace dict_layout
#endif

/// Whether every key of the exact dict `dict` is an exact str.
inline bool has_only_str_keys(PyObject* dict) noexcept
{
#ifdef FLOW_KNOWS_DICT_LAYOUT
    if (dict_layout::keys_of(dict)->kind != 0) {
        return true;
    }
#endif
    Py_ssize_t position = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

/// PyDict_Next for the values alone.
inline bool next_value(PyObject* dict, Py_ssize_t& position, PyObject*& value) noexcept
{
#ifdef FLOW_KNOWS_DICT_LAYOUT
    Py_ssize_t count;
    if (const dict_layout::StrEntry* entries = dict_layout::str_entries(dict, count)) {
        for (Py_ssize_t i = position; i < count; i++) {
            if (entries[i].value) {
                position = i + 1;
                value = entries[i].value;
                return true;
            }
        }
        return false;
    }
#endif
    PyObject* key;  // borrowed
    return PyDict_Next(dict, &position, &key, &value);
}

/// `dict.get(name)` (borrowed) for a run of exact dicts that usually hold `name` last, as
/// the records of a Node-RED flow hold "wires". Where the layout is known and the keys are all
/// str, the last entry is looked at first, and its key remembered, so that the next dict's is
/// matched by identity; that runs no code. Otherwise the dict is asked, as `get` asks it.
class LastEntryLookup {
public:
    explicit LastEntryLookup(PyObject* name) noexcept : name_(name) {}

    /// The value, or NULL with or without an exception set.
    PyObject* get(PyObject* dict) noexcept
    {
#ifdef FLOW_KNOWS_DICT_LAYOUT
        Py_ssize_t count;
        const dict_layout::StrEntry* entries = dict_layout::str_entries(dict, count);
        if (entries && count > 0 && entries[count - 1].value) {
            const dict_layout::StrEntry& last = entries[count - 1];
            if (last.key == key_.get() || is_name(last.key)) {
                return last.value;
            }
        }
#endif
        return PyDict_GetItemWithError(dict, name_);
    }

private:
    bool is_name(PyObject* key) noexcept
    {
        if (!same_exact_str(key, name_)) {
            return false;
        }
        key_ = Ref::borrow(key);
        return true;
    }

    PyObject* name_;
    Ref key_;  // held: a freed key's address could come back as another str
};

}  // namespace flow
