#include "support/str_table.hpp"

#include "support/exact_str.hpp"

namespace flow {
namespace {

bool same_text(PyObject* a, Py_hash_t a_hash, PyObject* b, Py_hash_t b_hash) noexcept
{
    return a == b || (a_hash == b_hash && same_exact_str(a, b));
}

}  // namespace

StrTable::Slot* StrTable::slot_for(PyObject* key, Py_hash_t hash) const noexcept
{
    // Linear probing; the table is never more than half full, so an empty slot ends it.
    for (size_t i = static_cast<size_t>(hash) & mask_;; i = (i + 1) & mask_) {
        Slot* slot = slots_ + i;
        if (!slot->key || same_text(slot->key, slot->hash, key, hash)) {
            return slot;
        }
    }
}

Py_ssize_t StrTable::find(PyObject* key) const noexcept
{
    if (!slots_) {
        return -1;
    }
    // A str caches its hash, and computing it cannot fail.
    const Slot* slot = slot_for(key, PyObject_Hash(key));
    return slot->key ? slot->number : -1;
}

Py_ssize_t StrTable::insert(PyObject* key) noexcept
{
    if (2 * (count_ + 1) > mask_ + 1 && grow() < 0) {
        return -1;
    }
    const Py_hash_t hash = PyObject_Hash(key);
    Slot* slot = slot_for(key, hash);
    if (!slot->key) {
        *slot = Slot{key, hash, static_cast<Py_ssize_t>(count_++)};
    }
    return slot->number;
}

int StrTable::reserve(size_t count) noexcept
{
    size_t capacity = slots_ ? mask_ + 1 : 64;
    while (capacity < 2 * count) {
        capacity *= 2;
    }
    return slots_ && capacity == mask_ + 1 ? 0 : resize(capacity);
}

int StrTable::resize(size_t capacity) noexcept
{
    Slot* old = slots_;
    const size_t old_capacity = old ? mask_ + 1 : 0;
    slots_ = static_cast<Slot*>(PyMem_Calloc(capacity, sizeof(Slot)));
    if (!slots_) {
        slots_ = old;
        PyErr_NoMemory();
        return -1;
    }
    mask_ = capacity - 1;
    for (size_t i = 0; i < old_capacity; i++) {
        if (old[i].key) {
            *slot_for(old[i].key, old[i].hash) = old[i];
        }
    }
    PyMem_Free(old);
    return 0;
}

}  // namespace flow
