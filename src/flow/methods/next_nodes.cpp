// seek_next_nodes: the nodes a node record's output ports are wired to, as port entries
// {"node": record, "port": output port}.
#include "methods/wrapper.hpp"
#include "support/calls.hpp"
#include "support/names.hpp"
#include "support/ports.hpp"

namespace flow {
namespace {

/// Appends an entry for every target id of one output port, in order.
int collect_targets(PyObject* self, PyObject* target_ids, Py_ssize_t port, PyObject* result) noexcept
{
    return for_each_item(target_ids, [&](PyObject* id, Py_ssize_t) {
        Ref table = get_attribute(self, names().nodes);
        Ref record = table ? item_of(table.get(), id) : Ref();
        return record ? append_port_entry(result, record.get(), port) : -1;
    });
}

}  // namespace

PyObject* wrapper_seek_next_nodes(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* cur_node = args[1];
    Ref result = Ref::steal(PyList_New(0));
    Ref wires = result ? wires_of(cur_node) : Ref();
    if (!wires) {
        return nullptr;
    }
    // A node without output ports, such as a debug node or a tab, sets up no walk.
    if (has_no_items(wires.get())) {
        return result.release();
    }
    auto collect = [&](PyObject* target_ids, Py_ssize_t port) {
        return collect_targets(self, target_ids, port, result.get());
    };
    return for_each_item(wires.get(), collect) < 0 ? nullptr : result.release();
}

}  // namespace flow
