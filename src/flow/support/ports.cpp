#include "support/ports.hpp"

#include "support/calls.hpp"
#include "support/names.hpp"

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

}  // namespace

int append_port_entry(PyObject* list, PyObject* record, Py_ssize_t port) noexcept
{
    Ref entry = port_entry(record, port);
    return entry ? PyList_Append(list, entry.get()) : -1;
}

Ref wires_by_get(PyObject* record) noexcept
{
    Ref fallback = Ref::steal(PyList_New(0));
    return fallback ? call_method(record, names().get, names().wires, fallback.get()) : Ref();
}

}  // namespace flow
