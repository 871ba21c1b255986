#include "globals.hpp"

#include "plain_dict.hpp"

namespace flow {
namespace {

// Plain pointers, not Refs: a static destructor would run after the interpreter is gone.
PyObject* the_module = nullptr;
PyObject* the_builtins = nullptr;  // the builtins module's namespace

PyObject* namespace_of_module() noexcept { return PyModule_GetDict(the_module); }

// What recent lookups found in the module namespace, good while that namespace has not
// changed: its version tag moves at every change, and as long as its keys are all str, a
// lookup runs no code, so the one skipped could not have been told from the one remembered.
// Plain data, emptied whenever the recorded module changes.
struct FoundGlobal {
    PyObject* name;  // interned
    uint64_t version;
    PyObject* value;  // borrowed from the namespace, which holds it while unchanged
};
FoundGlobal found_globals[8];
size_t next_found_slot = 0;

void forget_found_globals() noexcept
{
    for (FoundGlobal& found : found_globals) {
        found = FoundGlobal{};
    }
}

PyObject* remembered_global(PyObject* name, uint64_t version) noexcept
{
    for (const FoundGlobal& found : found_globals) {
        if (found.name == name) {
            return found.version == version ? found.value : nullptr;
        }
    }
    return nullptr;
}

void remember_global(PyObject* name, uint64_t version, PyObject* value) noexcept
{
    for (FoundGlobal& found : found_globals) {
        if (found.name == name) {
            found = FoundGlobal{name, version, value};
            return;
        }
    }
    found_globals[next_found_slot] = FoundGlobal{name, version, value};
    next_found_slot = (next_found_slot + 1) % (sizeof found_globals / sizeof found_globals[0]);
}

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
    forget_found_globals();
    return 0;
}

void forget_module() noexcept
{
    Py_CLEAR(the_module);
    forget_found_globals();
}

Ref load_global(PyObject* name) noexcept
{
    PyObject* globals = namespace_of_module();
    const uint64_t version = dict_version(globals);
    if (PyObject* remembered = remembered_global(name, version)) {
        return Ref::borrow(remembered);
    }
    PyObject* found = PyDict_GetItemWithError(globals, name);  // borrowed
    if (found && has_only_str_keys(globals)) {
        remember_global(name, version, found);
    }
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
