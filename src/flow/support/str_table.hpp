// An insert-only hash table of exact str objects (borrowed), numbering them densely in the
// order of first insertion. Its lookups compare by pointer, then by hash and value, which runs
// no Python code for exact str: the indexes built on it may be used where nothing is allowed
// to run.
#pragma once

#include <Python.h>

#include <cstddef>

namespace flow {

class StrTable {
public:
    StrTable() noexcept = default;
    StrTable(const StrTable&) = delete;
    StrTable& operator=(const StrTable&) = delete;
    ~StrTable() { PyMem_Free(slots_); }

    /// The number of `key`, or -1 when it is not in the table.
    Py_ssize_t find(PyObject* key) const noexcept;
    /// The number of `key`, given the next free one when it was not in the table yet; -1 with
    /// MemoryError set when the table cannot grow.
    Py_ssize_t insert(PyObject* key) noexcept;
    /// Makes room for `count` keys in all, so that inserting them does not grow the table
    /// step by step; -1 with MemoryError set when it cannot.
    int reserve(size_t count) noexcept;
    size_t size() const noexcept { return count_; }

private:
    struct Slot {
        PyObject* key;  // NULL: empty
        Py_hash_t hash;
        Py_ssize_t number;
    };

    Slot* slot_for(PyObject* key, Py_hash_t hash) const noexcept;
    int grow() noexcept { return resize(slots_ ? 2 * (mask_ + 1) : 64); }
    int resize(size_t capacity) noexcept;

    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    size_t count_ = 0;
};

}  // namespace flow
