// parse_flow: downloads the flow, finds the wrapper's own node and reports where it stands.
#include "methods/wrapper.hpp"
#include "support/calls.hpp"
#include "support/compat.hpp"
#include "support/names.hpp"
#include "support/ports.hpp"

namespace flow {
namespace {

/// `self._nodes[self.node_id]`
Ref own_record(PyObject* self) noexcept
{
    Ref table = get_attribute(self, names().nodes);
    Ref id = table ? get_attribute(self, names().node_id) : Ref();
    return id ? item_of(table.get(), id.get()) : Ref();
}

/// `self._nodes[self.node_id]["type"] == self.node_type`: 1, 0, or -1 on error.
int own_type_matches(PyObject* self) noexcept
{
    Ref record = own_record(self);
    Ref type = record ? item_of(record.get(), names().type) : Ref();
    Ref expected = type ? get_attribute(self, names().node_type) : Ref();
    Ref equal = expected ? Ref::steal(PyObject_RichCompare(type.get(), expected.get(), Py_EQ)) : Ref();
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

int log_type_mismatch(PyObject* self) noexcept
{
    LogLine line(names().error);
    Ref type = line.ready() ? get_attribute(self, names().node_type) : Ref();
    Ref type_shown = type ? display(type.get()) : Ref();
    Ref id = type_shown ? get_attribute(self, names().node_id) : Ref();
    Ref id_shown = id ? display(id.get()) : Ref();
    Ref message = id_shown ? Ref::steal(PyUnicode_FromFormat(
                                 "Could not to find node(%U) with id(%U), exiting...",
                                 type_shown.get(), id_shown.get()))
                           : Ref();
    return line.write(message.get());
}

/// `logger.info(f"{prefix}{value}")`
int log_finding(PyObject* prefix, PyObject* value) noexcept
{
    LogLine line(names().info);
    Ref shown = line.ready() ? display(value) : Ref();
    Ref message = shown ? Ref::steal(PyUnicode_Concat(prefix, shown.get())) : Ref();
    return line.write(message.get());
}

/// `logger.info(f"vid-fed node - {node}, {port}")`
int log_video_feed(PyObject* node, PyObject* port) noexcept
{
    const Names& n = names();
    LogLine line(n.info);
    Ref node_shown = line.ready() ? display(node) : Ref();
    Ref port_shown = node_shown ? display(port) : Ref();
    Ref pieces = port_shown ? Ref::steal(PyTuple_Pack(4, n.feed_prefix, node_shown.get(), n.comma, port_shown.get()))
                            : Ref();
    Ref message = pieces ? Ref::steal(PyUnicode_Join(n.empty, pieces.get())) : Ref();
    return line.write(message.get());
}

/// The search `name` on `cur_node`, its result logged after `prefix`.
Ref seek_and_log(PyObject* self, PyObject* name, PyObject* prefix, PyObject* cur_node) noexcept
{
    Ref found = call_method(self, name, cur_node);
    return found && log_finding(prefix, found.get()) == 0 ? std::move(found) : Ref();
}

Ref result_dict(PyObject* cur_node, PyObject* prev_nodes, PyObject* next_nodes, PyObject* feed,
                PyObject* feed_port) noexcept
{
    const Names& n = names();
    Ref vid_fed = Ref::steal(PyDict_New());
    Ref result = vid_fed ? Ref::steal(PyDict_New()) : Ref();
    if (!result || PyDict_SetItem(vid_fed.get(), n.flow, feed) < 0 ||
        PyDict_SetItem(vid_fed.get(), n.port, feed_port) < 0 ||
        PyDict_SetItem(result.get(), n.cur_node, cur_node) < 0 ||
        PyDict_SetItem(result.get(), n.prev_nodes, prev_nodes) < 0 ||
        PyDict_SetItem(result.get(), n.next_nodes, next_nodes) < 0 ||
        PyDict_SetItem(result.get(), n.vid_fed, vid_fed.get()) < 0) {
        return Ref();
    }
    return result;
}

/// Everything after the type test: the three searches, each logged, and the result.
PyObject* report(PyObject* self) noexcept
{
    Ref cur_node = own_record(self);
    const Names& n = names();
    if (!cur_node || log_finding(n.node_info_prefix, cur_node.get()) < 0) {
        return nullptr;
    }
    Ref prev_nodes = seek_and_log(self, n.seek_prev_nodes, n.prev_nodes_prefix, cur_node.get());
    Ref next_nodes = prev_nodes ? seek_and_log(self, n.seek_next_nodes, n.next_nodes_prefix, cur_node.get())
                                : Ref();
    Ref feed_pair = next_nodes ? call_method(self, n.seek_video_feed, cur_node.get()) : Ref();
    Ref feed, feed_port;
    if (!feed_pair || unpack_pair(feed_pair.get(), feed, feed_port) < 0 ||
        log_video_feed(feed.get(), feed_port.get()) < 0) {
        return nullptr;
    }
    return result_dict(cur_node.get(), prev_nodes.get(), next_nodes.get(), feed.get(),
                       feed_port.get())
        .release();
}

}  // namespace

PyObject* wrapper_parse_flow(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh || PyObject_SetAttr(self, names().visited_node_ids, fresh.get()) < 0) {
        return nullptr;
    }
    Ref loaded = call_method(self, names().load_flow);
    const int have_flow = loaded ? PyObject_IsTrue(loaded.get()) : -1;
    if (have_flow <= 0) {
        return have_flow < 0 ? nullptr : Py_NewRef(Py_None);
    }
    const int matches = own_type_matches(self);
    if (matches <= 0) {
        return matches < 0 || log_type_mismatch(self) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    return report(self);
}

}  // namespace flow
