// seek_prev_nodes: the nodes wired into a node record, as port entries
// {"node": record, "port": upstream output port}.
#include "calls.hpp"
#include "exact_str.hpp"
#include "fast_paths.hpp"
#include "names.hpp"
#include "ports.hpp"
#include "wrapper.hpp"

namespace flow {
namespace {

/// `cur_node.get("id")`, asked anew at every port as the loop asks it, and the membership
/// test of what it gave.
class CurrentId {
public:
    CurrentId(PyObject* cur_node, const fast::PlainScan& plain) noexcept : cur_node_(cur_node), plain_(plain) {}

    /// The id as asked for now (borrowed from this object), or NULL with an exception set.
    PyObject* get() noexcept { return read() < 0 ? nullptr : id_.get(); }
    const StrNeedle& needle() const noexcept { return needle_; }

    /// `id in target_ids` with the id asked for now: 1, 0, or -1 on error.
    int held_by(PyObject* target_ids) noexcept
    {
        if (read() < 0) {
            return -1;
        }
        return fast::is_exact_list(target_ids) ? held_by_list(target_ids) : PySequence_Contains(target_ids, id_.get());
    }

private:
    int read() noexcept
    {
        // Asking again would give the same id and run no code.
        if (id_ && plain_.holds()) {
            return 0;
        }
        if (!fast::is_exact_dict(cur_node_)) {
            id_ = call_method(cur_node_, names().get, names().id);
        } else {
            PyObject* id = PyDict_GetItemWithError(cur_node_, names().id);  // borrowed
            if (!id && PyErr_Occurred()) {
                return -1;
            }
            id = id ? id : Py_None;
            if (id == id_.get()) {
                return 0;  // the one held already, its needle made
            }
            // Held: the comparisons that use it may run code that changes the dict.
            id_ = Ref::borrow(id);
        }
        if (!id_) {
            return -1;
        }
        if (id_.get() != needle_id_) {
            needle_id_ = id_.get();
            needle_ = PyUnicode_CheckExact(needle_id_) ? StrNeedle(needle_id_) : StrNeedle();
        }
        return 0;
    }

    /// `id in target_ids` for an exact list, as the list itself answers it: item by item,
    /// the length read anew each time, exact str compared without a call.
    int held_by_list(PyObject* target_ids) const noexcept
    {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(target_ids); i++) {
            PyObject* item = PyList_GET_ITEM(target_ids, i);
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
    const fast::PlainScan& plain_;
    Ref id_;
    PyObject* needle_id_ = nullptr;  // what needle_ was made from; id_ holds it while in use
    StrNeedle needle_;
};

/// Appends an entry for every output port in `wires`, the wire list of `record`, whose
/// target ids hold the id of the current node.
int collect_wired_ports(PyObject* record, PyObject* wires, CurrentId& id, PyObject* result) noexcept
{
    return for_each_item(wires, [&](PyObject* target_ids, Py_ssize_t port) {
        const int wired = id.held_by(target_ids);
        return wired > 0 ? append_port_entry(result, record, port) : wired;
    });
}

/// collect_wired_ports for one record, its wires taken with `get("wires", [])`.
int collect_ports_feeding(PyObject* record, CurrentId& id, PyObject* result) noexcept
{
    Ref wires = wires_of(record);
    return wires ? collect_wired_ports(record, wires.get(), id, result) : -1;
}

/// The first port from `port` on whose target ids are not all exact str other than the id:
/// one that holds it, or needs more than comparing exact str. The number of ports if there is
/// none. Runs no code, so the lists keep their sizes and items meanwhile.
template <bool long_ascii_id>
Py_ssize_t next_port_to_look_at(PyObject* wires, Py_ssize_t port, const StrNeedle& id) noexcept
{
    PyObject** ports = PySequence_Fast_ITEMS(wires);
    const Py_ssize_t n_ports = PyList_GET_SIZE(wires);
    for (; port < n_ports; port++) {
        PyObject* target_ids = ports[port];
        if (!PyList_CheckExact(target_ids)) {
            return port;
        }
        PyObject** items = PySequence_Fast_ITEMS(target_ids);
        const Py_ssize_t n_items = PyList_GET_SIZE(target_ids);
        for (Py_ssize_t i = 0; i < n_items; i++) {
            if (!PyUnicode_CheckExact(items[i]) ||
                (long_ascii_id ? id.matches_long_ascii(items[i]) : id.matches(items[i]))) {
                return port;
            }
        }
    }
    return port;
}

Py_ssize_t next_port_to_look_at(PyObject* wires, Py_ssize_t port, const StrNeedle& id) noexcept
{
    return id.is_long_ascii() ? next_port_to_look_at<true>(wires, port, id)
                              : next_port_to_look_at<false>(wires, port, id);
}

/// collect_wired_ports for a record of a table that `plain` holds for, and its exact list of
/// wires: the ports that comparing exact str shows not to be wired are passed over at once,
/// the id they would each ask for being the same. Once the ports looked at have run code (a
/// comparison of other objects, or an entry made, whose allocation may collect garbage),
/// `plain` may no longer hold, and each port asks again.
int collect_plain_wires(PyObject* record, PyObject* wires, CurrentId& id, const fast::PlainScan& plain,
                        PyObject* result) noexcept
{
    Ref held_record, held_wires;
    for (Py_ssize_t port = 0; port < PyList_GET_SIZE(wires); port++) {
        if (plain.holds()) {
            PyObject* cur_id = id.get();
            if (!cur_id) {
                return -1;
            }
            if (PyUnicode_CheckExact(cur_id)) {
                port = next_port_to_look_at(wires, port, id.needle());
                if (port == PyList_GET_SIZE(wires)) {
                    return 0;
                }
            }
        }
        // Held from the first step that may run code: what it runs may take them out of the table.
        if (!held_record) {
            held_record = Ref::borrow(record);
            held_wires = Ref::borrow(wires);
        }
        Ref target_ids = Ref::borrow(PyList_GET_ITEM(wires, port));
        const int wired = id.held_by(target_ids.get());
        if (wired != 0 && (wired < 0 || append_port_entry(result, record, port) < 0)) {
            return -1;
        }
    }
    return 0;
}

int collect_noted_wires(const fast::PlainRecord& noted, CurrentId& id, const fast::PlainScan& plain,
                        PyObject* result) noexcept
{
    if (PyList_CheckExact(noted.wires)) {
        return collect_plain_wires(noted.record, noted.wires, id, plain, result);
    }
    // Held: iterating them may run code that takes them out of the table.
    Ref record = Ref::borrow(noted.record);
    Ref wires = Ref::borrow(noted.wires);
    return collect_wired_ports(record.get(), wires.get(), id, result);
}

/// The records of a table that `plain` holds for, as noted when it was found plain, from
/// the first on, for as long as it holds: their wires need no lookup. `position` and `left`
/// come back where the step-by-step scan goes on.
int scan_noted_records(const fast::PlainScan& plain, CurrentId& id, Py_ssize_t& position, Py_ssize_t& left,
                       PyObject* result) noexcept
{
    const Vector<fast::PlainRecord>& records = plain.records();
    for (size_t i = 0; i < records.size() && plain.holds(); i++) {
        const fast::PlainRecord noted = records[i];
        if (noted.wires && collect_noted_wires(noted, id, plain, result) < 0) {
            return -1;
        }
        position = noted.next_position;
        left--;
    }
    return 0;
}

/// `for node in table.values()` over an exact dict, without making the view and its
/// iterator, and raising what that iterator raises when the dict changes under it.
int scan_plain_table(PyObject* table, PyObject* cur_node, PyObject* result) noexcept
{
    if (PyDict_GET_SIZE(table) == 0) {
        return 0;  // nothing to make ready for
    }
    const fast::PlainScan plain(table, cur_node);
    CurrentId id(cur_node, plain);
    const Py_ssize_t size = PyDict_GET_SIZE(table);
    Py_ssize_t left = size;
    Py_ssize_t position = 0;
    if (plain.holds() && scan_noted_records(plain, id, position, left, result) < 0) {
        return -1;
    }
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
        if (collect_ports_feeding(value, id, result) < 0) {
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
    const fast::PlainScan plain(table, cur_node);
    CurrentId id(cur_node, plain);
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
    Ref table = result ? get_attribute(self, names().nodes) : Ref();
    if (!table) {
        return nullptr;
    }
    const int scanned = fast::is_exact_dict(table.get()) ? scan_plain_table(table.get(), cur_node, result.get())
                                                         : scan_any_table(table.get(), cur_node, result.get());
    return scanned < 0 ? nullptr : result.release();
}

}  // namespace flow
