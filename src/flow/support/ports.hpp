// Port entries and the walks over a record's wires that both neighbour searches share.
#pragma once

#include <Python.h>

#include "support/exact_types.hpp"
#include "support/names.hpp"
#include "support/ref.hpp"

namespace flow {

/// Appends the port entry {"node": record, "port": port} to `list`.
int append_port_entry(PyObject* list, PyObject* record, Py_ssize_t port) noexcept;

/// `record[key]`, held: what uses it may run code that takes it out of the record.
inline Ref item_of(PyObject* record, PyObject* key) noexcept
{
    if (!fast::is_exact_dict(record)) {
        return Ref::steal(PyObject_GetItem(record, key));
    }
    PyObject* value = PyDict_GetItemWithError(record, key);  // borrowed
    if (!value && !PyErr_Occurred()) {
        // As the dict raises it: the key alone as the error's argument, a tuple too.
        Ref argument = Ref::steal(PyTuple_Pack(1, key));
        if (argument) {
            PyErr_SetObject(PyExc_KeyError, argument.get());
        }
    }
    return Ref::borrow(value);
}

/// `record.get("wires", [])`, called.
Ref wires_by_get(PyObject* record) noexcept;

/// `record.get("wires", [])`. An exact dict without "wires" gives an empty tuple instead of a
/// new list: only ever iterated, it cannot be told apart.
inline Ref wires_of(PyObject* record) noexcept
{
    if (!fast::is_exact_dict(record)) {
        return wires_by_get(record);
    }
    PyObject* wires = PyDict_GetItemWithError(record, names().wires);  // borrowed
    if (!wires && !PyErr_Occurred()) {
        return Ref::borrow(names().no_items);
    }
    return Ref::borrow(wires);
}

/// Whether `items` is walked by index and empty.
inline bool has_no_items(PyObject* items) noexcept
{
    return fast::walks_by_index(items) && PySequence_Fast_GET_SIZE(items) == 0;
}

/// Calls `visit(item, index)` for every item of `items` in order, as a for loop over it
/// would; a list or tuple is walked by index, re-reading the length, as its own iterator
/// does.
template <typename Visit>
int for_each_item(PyObject* items, Visit visit) noexcept
{
    if (fast::walks_by_index(items)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items); i++) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items, i));
            if (visit(item.get(), i) < 0) {
                return -1;
            }
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    if (!iterator) {
        return -1;
    }
    Py_ssize_t i = 0;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (visit(item.get(), i++) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace flow
