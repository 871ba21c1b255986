#include "support/globals.hpp"

namespace flow {
namespace {

// Plain pointers, not Refs: a static destructor would run after the interpreter is gone.
PyObject* the_module = nullptr;
PyObject* the_builtins = nullptr;  // the builtins module's namespace

PyObject* namespace_of_module() noexcept { return PyModule_GetDict(the_module); }

}  // namespace

PyObject* recorded_module() noexcept { return the_module; }

int record_module(PyObject* module) noexcept
{
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return -1;
    }
    if (PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
        return -1;
    }
    Py_XSETREF(the_builtins, Py_NewRef(PyModule_GetDict(builtins.get())));
    Py_XSETREF(the_module, Py_NewRef(module));
    return 0;
}

void forget_module() noexcept
{
    Py_CLEAR(the_module);
}

Ref load_global(PyObject* name) noexcept
{
    PyObject* found = PyDict_GetItemWithError(namespace_of_module(), name);  // borrowed
    if (!found && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(the_builtins, name);
        if (!found && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::borrow(found);
}

int store_global(PyObject* name, PyObject* value) noexcept
{
    return PyDict_SetItem(namespace_of_module(), name, value);
}

}  // namespace flow
