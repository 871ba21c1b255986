// seek_prev_nodes and seek_next_nodes: the nodes wired into and out of a node record, as
// port entries {"node": record, "port": upstream output port}.
#include "calls.hpp"
#include "compat.hpp"
#include "exact_str.hpp"
#include "names.hpp"
#include "wrapper.hpp"

namespace flow {
namespace {

Ref port_entry(PyObject* record, Py_ssize_t port) noexcept
{
    Ref number = Ref::steal(PyLong_FromSsize_t(port));
    Ref entry = number ? Ref::steal(PyDict_New()) : Ref();
    if (!entry || PyDict_SetItem(entry.get(), names().node, record) < 0 ||
        PyDict_SetItem(entry.get(), names().port, number.get()) < 0) {
        return Ref();
    }
    return entry;
}

int append_port_entry(PyObject* list, PyObject* record, Py_ssize_t port) noexcept
{
    Ref entry = port_entry(record, port);
    return entry ? PyList_Append(list, entry.get()) : -1;
}

/// `record.get("wires", [])`. A plain dict without "wires" gives an empty tuple instead of
/// a new list: only ever iterated, it cannot be told apart.
Ref wires_of(PyObject* record) noexcept
{
    if (PyDict_CheckExact(record)) {
        PyObject* wires = PyDict_GetItemWithError(record, names().wires);  // borrowed
        if (!wires && !PyErr_Occurred()) {
            return Ref::steal(PyTuple_New(0));
        }
        return Ref::borrow(wires);
    }
    Ref fallback = Ref::steal(PyList_New(0));
    return fallback ? call_method(record, names().get, names().wires, fallback.get()) : Ref();
}

/// Calls `visit(item, index)` for every item of `items` in order, as a for loop over it
/// would; a list or tuple is walked by index, re-reading the length, as its own iterator
/// does.
template <typename Visit>
int for_each_item(PyObject* items, Visit visit) noexcept
{
    if (PyList_CheckExact(items) || PyTuple_CheckExact(items)) {
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

/// `cur_node.get("id")`, asked at every port of one seek_prev_nodes call. The lookup is made
/// again only when it could answer otherwise: when the dict changed since the last one (its
/// version tag moved), or when one of its keys is not a str, for then the lookup compares it
/// and may run code.
class CurrentId {
public:
    explicit CurrentId(PyObject* cur_node) noexcept : cur_node_(cur_node) {}

    /// The id (borrowed from this object), or NULL with an exception set.
    PyObject* get() noexcept
    {
        if (id_ && reusable_ && dict_version(cur_node_) == version_) {
            return id_.get();
        }
        reusable_ = has_only_str_keys(cur_node_);
        version_ = dict_version(cur_node_);
        PyObject* id = PyDict_GetItemWithError(cur_node_, names().id);  // borrowed
        if (!id && PyErr_Occurred()) {
            return nullptr;
        }
        // Held: the comparisons that use it may run code that changes the dict.
        id_ = Ref::borrow(id ? id : Py_None);
        is_str_ = PyUnicode_CheckExact(id_.get());
        needle_ = is_str_ ? StrNeedle(id_.get()) : StrNeedle();
        return id_.get();
    }

    /// `id in target_ids` for an exact list, as the list itself answers it, comparing exact
    /// str without a call.
    int held_by(PyObject* target_ids) const noexcept
    {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(target_ids); i++) {
            PyObject* item = PyList_GET_ITEM(target_ids, i);
            if (is_str_ && PyUnicode_CheckExact(item)) {
                if (needle_.matches(item)) {
                    return 1;
                }
                continue;
            }
            Ref held = Ref::borrow(item);
            const int equal = PyObject_RichCompareBool(held.get(), id_.get(), Py_EQ);
            if (equal != 0) {
                return equal;
            }
        }
        return 0;
    }

private:
    PyObject* cur_node_;
    Ref id_;
    uint64_t version_ = 0;
    bool reusable_ = false;
    bool is_str_ = false;
    StrNeedle needle_;
};

/// Appends an entry for every output port of `record` whose target ids hold the id of the
/// current node, asked anew for every port as the loop it stands for does.
int collect_ports_feeding(PyObject* record, CurrentId& id, PyObject* result) noexcept
{
    Ref wires = wires_of(record);
    if (!wires) {
        return -1;
    }
    return for_each_item(wires.get(), [&](PyObject* target_ids, Py_ssize_t port) {
        PyObject* cur_id = id.get();
        if (!cur_id) {
            return -1;
        }
        const int wired = PyList_CheckExact(target_ids) ? id.held_by(target_ids)
                                                        : PySequence_Contains(target_ids, cur_id);
        return wired > 0 ? append_port_entry(result, record, port) : wired;
    });
}

/// Appends an entry for every target id of one output port, in order.
int collect_targets(PyObject* self, PyObject* target_ids, Py_ssize_t port, PyObject* result) noexcept
{
    return for_each_item(target_ids, [&](PyObject* id, Py_ssize_t) {
        Ref table = Ref::steal(PyObject_GetAttr(self, names().nodes));
        Ref record = table ? Ref::steal(PyObject_GetItem(table.get(), id)) : Ref();
        return record ? append_port_entry(result, record.get(), port) : -1;
    });
}

/// `for node in table.values()` over an exact dict, without making the view and its
/// iterator, and raising what that iterator raises when the dict changes under it.
int scan_plain_table(PyObject* table, PyObject* cur_node, PyObject* result) noexcept
{
    CurrentId id(cur_node);
    const Py_ssize_t size = PyDict_GET_SIZE(table);
    Py_ssize_t left = size;
    Py_ssize_t position = 0;
    PyObject *key, *value;  // borrowed
    for (;;) {
        if (PyDict_GET_SIZE(table) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(table, &position, &key, &value)) {
            return 0;
        }
        if (left-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        Ref record = Ref::borrow(value);
        if (collect_ports_feeding(record.get(), id, result) < 0) {
            return -1;
        }
    }
}

/// `for node in table.values()` over anything else; its iterator may run code.
int scan_any_table(PyObject* table, PyObject* cur_node, PyObject* result) noexcept
{
    Ref records = call_method(table, names().values);
    if (!records) {
        return -1;
    }
    CurrentId id(cur_node);
    return for_each_item(records.get(), [&](PyObject* record, Py_ssize_t) {
        return collect_ports_feeding(record, id, result);
    });
}

}  // namespace

PyObject* wrapper_seek_prev_nodes(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* cur_node = args[1];
    Ref result = Ref::steal(PyList_New(0));
    Ref table = result ? Ref::steal(PyObject_GetAttr(self, names().nodes)) : Ref();
    if (!table) {
        return nullptr;
    }
    const int scanned = PyDict_CheckExact(table.get())
                            ? scan_plain_table(table.get(), cur_node, result.get())
                            : scan_any_table(table.get(), cur_node, result.get());
    return scanned < 0 ? nullptr : result.release();
}

PyObject* wrapper_seek_next_nodes(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* cur_node = args[1];
    Ref result = Ref::steal(PyList_New(0));
    Ref wires = result ? wires_of(cur_node) : Ref();
    if (!wires) {
        return nullptr;
    }
    auto collect = [&](PyObject* target_ids, Py_ssize_t port) {
        return collect_targets(self, target_ids, port, result.get());
    };
    return for_each_item(wires.get(), collect) < 0 ? nullptr : result.release();
}

}  // namespace flow
