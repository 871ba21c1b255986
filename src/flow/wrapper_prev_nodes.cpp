// seek_prev_nodes: the nodes wired into a node record, as port entries
// {"node": record, "port": upstream output port}.
#include "calls.hpp"
#include "compat.hpp"
#include "exact_str.hpp"
#include "names.hpp"
#include "plain_dict.hpp"
#include "ports.hpp"
#include "wrapper.hpp"

namespace flow {
namespace {

/// `cur_node.get("id")`, asked at every port of one seek_prev_nodes call. The lookup is made
/// again only when it could answer otherwise: when the dict changed since the last one (its
/// version tag moved), or when one of its keys is not a str, for then the lookup compares it
/// and may run code.
class CurrentId {
public:
    explicit CurrentId(PyObject* cur_node) noexcept : cur_node_(cur_node) {}

    /// The id (borrowed from this object), or NULL with an exception set.
    PyObject* get() noexcept { return reads_without_code() ? id_.get() : read(); }

    /// Whether get() gives the id already read, without a lookup.
    bool reads_without_code() const noexcept
    {
        return id_ && reusable_ && dict_version(cur_node_) == version_;
    }

    /// Looks the id up, as get() does when it cannot give the one already read.
    PyObject* read() noexcept
    {
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

    /// Whether the id is an exact str, compared through needle().
    bool is_str() const noexcept { return is_str_; }
    const StrNeedle& needle() const noexcept { return needle_; }

private:
    PyObject* cur_node_;
    Ref id_;
    uint64_t version_ = 0;
    bool reusable_ = false;
    bool is_str_ = false;
    StrNeedle needle_;
};

/// The body of the loop over one record's ports: the current id, asked anew, and an entry
/// when `target_ids` holds it.
int collect_port(PyObject* record, PyObject* target_ids, Py_ssize_t port, CurrentId& id, PyObject* result) noexcept
{
    PyObject* cur_id = id.get();
    if (!cur_id) {
        return -1;
    }
    const int wired = PyList_CheckExact(target_ids) ? id.held_by(target_ids) : PySequence_Contains(target_ids, cur_id);
    return wired > 0 ? append_port_entry(result, record, port) : wired;
}

/// Appends an entry for every output port in `wires`, the wire list of `record`, whose
/// target ids hold the id of the current node.
int collect_wired_ports(PyObject* record, PyObject* wires, CurrentId& id, PyObject* result) noexcept
{
    return for_each_item(wires, [&](PyObject* target_ids, Py_ssize_t port) {
        return collect_port(record, target_ids, port, id, result);
    });
}

/// collect_wired_ports for any record, its wires taken with `get`.
int collect_ports_feeding(PyObject* record, CurrentId& id, PyObject* result) noexcept
{
    Ref wires = wires_of(record);
    return wires ? collect_wired_ports(record, wires.get(), id, result) : -1;
}

/// The first port from `port` on that needs more than comparing exact str to be passed
/// over: one whose target ids hold the id, or are not an exact list of exact str. The number
/// of ports if there is none. Runs no code.
template <bool long_ascii_id>
Py_ssize_t next_port_to_look_at(PyObject* wires, Py_ssize_t port, const StrNeedle& id) noexcept
{
    // As nothing here runs code, the lists keep their sizes and items meanwhile.
    PyObject* const* ports = reinterpret_cast<PyListObject*>(wires)->ob_item;
    const Py_ssize_t n_ports = PyList_GET_SIZE(wires);
    for (; port < n_ports; port++) {
        PyObject* target_ids = ports[port];
        if (!PyList_CheckExact(target_ids)) {
            return port;
        }
        PyObject* const* items = reinterpret_cast<PyListObject*>(target_ids)->ob_item;
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

/// collect_ports_feeding for a record that is an exact dict, walking the usual exact list of
/// wires without the general layers: the ports that comparing exact str shows not to be
/// wired are passed over at once, as no code can run meanwhile. The wires are held from the
/// first step that may run some: a comparison of other objects, or an entry made (the
/// allocation may start the garbage collector). The caller holds the record.
int collect_ports_of_plain_record(PyObject* record, LastEntryLookup& wires_of_plain, CurrentId& id,
                                  PyObject* result) noexcept
{
    PyObject* wires = wires_of_plain.get(record);  // borrowed
    if (!wires) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref held_wires;
    if (!PyList_CheckExact(wires)) {
        held_wires = Ref::borrow(wires);
        return collect_wired_ports(record, wires, id, result);
    }
    for (Py_ssize_t port = 0; port < PyList_GET_SIZE(wires); port++) {
        // The ports passed over would each have read the id again: only when that runs no
        // code can they be.
        if (id.is_str() && id.reads_without_code()) {
            port = next_port_to_look_at(wires, port, id.needle());
            if (port == PyList_GET_SIZE(wires)) {
                return 0;
            }
        }
        if (!held_wires) {
            held_wires = Ref::borrow(wires);
        }
        // Taken before the id is read, as the loop's iterator takes it before its body runs.
        Ref target_ids = Ref::borrow(PyList_GET_ITEM(wires, port));
        if (collect_port(record, target_ids.get(), port, id, result) < 0) {
            return -1;
        }
    }
    return 0;
}

/// `for node in table.values()` over an exact dict, without making the view and its
/// iterator, and raising what that iterator raises when the dict changes under it.
int scan_plain_table(PyObject* table, PyObject* cur_node, PyObject* result) noexcept
{
    if (PyDict_GET_SIZE(table) == 0) {
        return 0;  // nothing to set up the scan for
    }
    CurrentId id(cur_node);
    LastEntryLookup wires_of_plain(names().wires);
    const Py_ssize_t size = PyDict_GET_SIZE(table);
    Py_ssize_t left = size;
    Py_ssize_t position = 0;
    PyObject* value;  // borrowed
    for (;;) {
        if (PyDict_GET_SIZE(table) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!next_value(table, position, value)) {
            return 0;
        }
        if (left-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        // Held: looking "wires" up in a dict with keys other than str may run code.
        Ref record = Ref::borrow(value);
        const int collected = PyDict_CheckExact(value)
                                  ? collect_ports_of_plain_record(value, wires_of_plain, id, result)
                                  : collect_ports_feeding(value, id, result);
        if (collected < 0) {
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
    Ref table = result ? get_attribute(self, names().nodes) : Ref();
    if (!table) {
        return nullptr;
    }
    const int scanned = PyDict_CheckExact(table.get())
                            ? scan_plain_table(table.get(), cur_node, result.get())
                            : scan_any_table(table.get(), cur_node, result.get());
    return scanned < 0 ? nullptr : result.release();
}

}  // namespace flow
