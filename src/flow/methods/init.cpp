// FlowAPIWrapper.__init__: where the server is and which node the wrapper speaks for.
#include "methods/wrapper.hpp"
#include "support/calls.hpp"
#include "support/globals.hpp"
#include "support/names.hpp"

namespace flow {
namespace {

int set_new(PyObject* self, PyObject* name, Ref value) noexcept
{
    return value ? PyObject_SetAttr(self, name, value.get()) : -1;
}

/// The argument when it tests true (a non-empty str), else the module global `fallback`.
Ref given_or_global(PyObject* given, PyObject* fallback) noexcept
{
    // After the type test the argument is an exact str or None: its truth is its length.
    const bool given_true = given != Py_None && PyUnicode_GET_LENGTH(given) > 0;
    return given_true ? Ref::borrow(given) : load_global(fallback);
}

/// "http://<host>:<port>", the port as its decimal text or "None".
Ref server_url(PyObject* host, PyObject* port) noexcept
{
    return Ref::steal(PyUnicode_FromFormat("http://%U:%S", host, port));
}

}  // namespace

PyObject* wrapper_init(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* host = args[1];
    PyObject* port = args[2];
    const Names& n = names();
    if (set_new(self, n.url, server_url(host, port)) < 0 ||
        set_new(self, n.nodes, Ref::steal(PyDict_New())) < 0 ||
        set_new(self, n.visited_node_ids, Ref::steal(PyList_New(0))) < 0 ||
        set_new(self, n.node_id, given_or_global(args[3], n.NODE_ID)) < 0 ||
        set_new(self, n.node_type, given_or_global(args[4], n.NODE_TYPE)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace flow
