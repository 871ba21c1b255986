// seek_prev_nodes and seek_next_nodes: the nodes wired into and out of a node record, as
// port entries {"node": record, "port": upstream output port}.
#include "calls.hpp"
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

/// `cur_node.get("id")` of a plain dict, as a reference of its own: the membership tests
/// that use it may run code that changes the dict.
Ref id_of(PyObject* cur_node) noexcept
{
    PyObject* id = PyDict_GetItemWithError(cur_node, names().id);  // borrowed
    if (!id && !PyErr_Occurred()) {
        id = Py_None;
    }
    return Ref::borrow(id);
}

/// Appends an entry for every output port of `record` whose target ids hold the id of
/// `cur_node`; the id is read anew for every port.
int collect_ports_feeding(PyObject* record, PyObject* cur_node, PyObject* result) noexcept
{
    Ref wires = wires_of(record);
    Ref ports = wires ? Ref::steal(PyObject_GetIter(wires.get())) : Ref();
    if (!ports) {
        return -1;
    }
    Py_ssize_t port = 0;
    while (Ref target_ids = Ref::steal(PyIter_Next(ports.get()))) {
        Ref id = id_of(cur_node);
        const int wired = id ? PySequence_Contains(target_ids.get(), id.get()) : -1;
        if (wired < 0 || (wired && append_port_entry(result, record, port) < 0)) {
            return -1;
        }
        port++;
    }
    return PyErr_Occurred() ? -1 : 0;
}

/// Appends an entry for every target id of one output port, in order.
int collect_targets(PyObject* self, PyObject* target_ids, Py_ssize_t port, PyObject* result) noexcept
{
    Ref targets = Ref::steal(PyObject_GetIter(target_ids));
    if (!targets) {
        return -1;
    }
    while (Ref id = Ref::steal(PyIter_Next(targets.get()))) {
        Ref table = Ref::steal(PyObject_GetAttr(self, names().nodes));
        Ref record = table ? Ref::steal(PyObject_GetItem(table.get(), id.get())) : Ref();
        if (!record || append_port_entry(result, record.get(), port) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* wrapper_seek_prev_nodes(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* cur_node = args[1];
    Ref result = Ref::steal(PyList_New(0));
    Ref table = result ? Ref::steal(PyObject_GetAttr(self, names().nodes)) : Ref();
    Ref records = table ? call_method(table.get(), names().values) : Ref();
    Ref walk = records ? Ref::steal(PyObject_GetIter(records.get())) : Ref();
    if (!walk) {
        return nullptr;
    }
    while (Ref record = Ref::steal(PyIter_Next(walk.get()))) {
        if (collect_ports_feeding(record.get(), cur_node, result.get()) < 0) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : result.release();
}

PyObject* wrapper_seek_next_nodes(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* cur_node = args[1];
    Ref result = Ref::steal(PyList_New(0));
    Ref wires = result ? wires_of(cur_node) : Ref();
    Ref ports = wires ? Ref::steal(PyObject_GetIter(wires.get())) : Ref();
    if (!ports) {
        return nullptr;
    }
    Py_ssize_t port = 0;
    while (Ref target_ids = Ref::steal(PyIter_Next(ports.get()))) {
        if (collect_targets(self, target_ids.get(), port, result.get()) < 0) {
            return nullptr;
        }
        port++;
    }
    return PyErr_Occurred() ? nullptr : result.release();
}

}  // namespace flow
