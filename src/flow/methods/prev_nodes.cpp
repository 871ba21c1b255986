// seek_prev_nodes: the nodes wired into a node record, as port entries
// {"node": record, "port": upstream output port}.
#include "methods/wrapper.hpp"
#include "support/calls.hpp"
#include "support/exact_str.hpp"
#include "support/exact_types.hpp"
#include "support/names.hpp"
#include "support/ports.hpp"

namespace flow {
namespace {

/// `cur_node.get("id")`, asked anew at every port as the loop asks it, and the membership test
/// of what it gave.
class CurrentId {
public:
    explicit CurrentId(PyObject* cur_node) noexcept : cur_node_(cur_node) {}

    /// `id in target_ids` with the id asked for now: 1, 0, or -1 on error.
    int held_by(PyObject* target_ids) noexcept
    {
        if (read() < 0) {
            return -1;
        }
        return fast::walks_by_index(target_ids) ? held_by_items(target_ids)
                                                : PySequence_Contains(target_ids, id_.get());
    }

private:
    int read() noexcept
    {
        if (!fast::is_exact_dict(cur_node_)) {
            id_ = call_method(cur_node_, names().get, names().id);
            return id_ ? 0 : -1;
        }
        PyObject* id = PyDict_GetItemWithError(cur_node_, names().id);  // borrowed
        if (!id && PyErr_Occurred()) {
            return -1;
        }
        id = id ? id : Py_None;
        if (id != id_.get()) {
            // Held: the comparisons that use it may run code that changes the dict.
            id_ = Ref::borrow(id);
            needle_ = PyUnicode_CheckExact(id) ? StrNeedle(id) : StrNeedle();
        }
        return 0;
    }

    /// `id in target_ids` for an exact list or tuple, as it answers itself: item by item, the
    /// length read anew each time, exact str compared without a call.
    int held_by_items(PyObject* target_ids) const noexcept
    {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(target_ids); i++) {
            PyObject* item = PySequence_Fast_GET_ITEM(target_ids, i);
            if (fast::are_exact_str(item, id_.get())) {
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

    PyObject* cur_node_;
    Ref id_;
    StrNeedle needle_;  // of id_, where it is an exact str
};

/// Appends an entry for every output port of `record`, its wires taken with
/// `get("wires", [])`, whose target ids hold the id of the current node.
int collect_ports_feeding(PyObject* record, CurrentId& id, PyObject* result) noexcept
{
    Ref wires = wires_of(record);
    if (!wires) {
        return -1;
    }
    return for_each_item(wires.get(), [&](PyObject* target_ids, Py_ssize_t port) {
        const int wired = id.held_by(target_ids);
        return wired > 0 ? append_port_entry(result, record, port) : wired;
    });
}

/// `for node in table.values()` over an exact dict, without making the view and its
/// iterator, and raising what that iterator raises when the dict changes under it.
int scan_exact_table(PyObject* table, CurrentId& id, PyObject* result) noexcept
{
    const Py_ssize_t size = PyDict_GET_SIZE(table);
    if (size == 0) {
        return 0;  // nothing to set up a walk for
    }
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
        // Held: what the walk over its wires runs may take it out of the table.
        Ref record = Ref::borrow(value);
        if (collect_ports_feeding(record.get(), id, result) < 0) {
            return -1;
        }
    }
}

/// `for node in table.values()` over anything else; its iterator may run code.
int scan_any_table(PyObject* table, CurrentId& id, PyObject* result) noexcept
{
    Ref records = call_method(table, names().values);
    if (!records) {
        return -1;
    }
    return for_each_item(records.get(),
                         [&](PyObject* record, Py_ssize_t) { return collect_ports_feeding(record, id, result); });
}

}  // namespace

PyObject* wrapper_seek_prev_nodes(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    CurrentId id(args[1]);
    Ref result = Ref::steal(PyList_New(0));
    Ref table = result ? get_attribute(self, names().nodes) : Ref();
    if (!table) {
        return nullptr;
    }
    const int scanned = fast::is_exact_dict(table.get()) ? scan_exact_table(table.get(), id, result.get())
                                                         : scan_any_table(table.get(), id, result.get());
    return scanned < 0 ? nullptr : result.release();
}

}  // namespace flow
