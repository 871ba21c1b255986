// The module `zorv_sdk.nodered.flow`: multi-phase initialisation, with one module object per
// process, and the module body that binds the globals and makes FlowAPIWrapper.
#include "binding/method_object.hpp"
#include "methods/method_table.hpp"
#include "support/compat.hpp"
#include "support/globals.hpp"
#include "support/names.hpp"

#include <cstdint>
#include <cstdlib>

// The interpreter version the build targets; a test build may pretend another one.
#ifndef FLOW_TARGET_MAJOR
#define FLOW_TARGET_MAJOR PY_MAJOR_VERSION
#define FLOW_TARGET_MINOR PY_MINOR_VERSION
#endif

namespace flow {
namespace {

// Only the first interpreter to create the module may use it: the module object, the names
// and the method type are shared by the whole process.
int64_t first_interpreter = -1;

int claim_interpreter() noexcept
{
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) {
        return -1;
    }
    if (first_interpreter < 0) {
        first_interpreter = id;
    } else if (first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

/// `module.<to> = module_spec.<from>`, skipping a missing attribute (and None when `skip_none`).
int copy_spec_attribute(PyObject* module_spec, const char* from, PyObject* module, const char* to,
                        bool skip_none = false) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttrString(module_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyObject_SetAttrString(module, to, value.get());
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) noexcept
{
    if (claim_interpreter() < 0) {
        return nullptr;
    }
    if (PyObject* existing = recorded_module()) {
        return Py_NewRef(existing);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module || copy_spec_attribute(module_spec, "loader", module.get(), "__loader__") < 0 ||
        copy_spec_attribute(module_spec, "origin", module.get(), "__file__") < 0 ||
        copy_spec_attribute(module_spec, "parent", module.get(), "__package__") < 0 ||
        copy_spec_attribute(module_spec, "submodule_search_locations", module.get(), "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

/// The running interpreter's major and minor version.
void runtime_version(int& major, int& minor) noexcept
{
#if PY_VERSION_HEX >= 0x030B0000
    major = static_cast<int>((Py_Version >> 24) & 0xFF);
    minor = static_cast<int>((Py_Version >> 16) & 0xFF);
#else
    char* rest = nullptr;
    major = static_cast<int>(std::strtol(Py_GetVersion(), &rest, 10));
    minor = static_cast<int>(std::strtol(rest + 1, nullptr, 10));
#endif
}

/// Warns when the module runs on another major.minor than it was built for.
int check_version() noexcept
{
    int major = 0;
    int minor = 0;
    runtime_version(major, minor);
    if (major == FLOW_TARGET_MAJOR && minor == FLOW_TARGET_MINOR) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            FLOW_TARGET_MAJOR, FLOW_TARGET_MINOR, "zorv_sdk.nodered.flow",
                            "does not match", major, minor);
}

int register_in_sys_modules(PyObject* module) noexcept
{
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    const int present = PyDict_Contains(modules, names().module_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItem(modules, names().module_name, module);
}

Ref import_absolute(PyObject* name, PyObject* fromlist) noexcept
{
    PyObject* globals = PyModule_GetDict(recorded_module());  // borrowed
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 0));
}

/// `import <name>`
int import_module(PyObject* name) noexcept
{
    Ref module = import_absolute(name, nullptr);
    return module ? store_global(name, module.get()) : -1;
}

/// `from_module.<name>`, or the submodule of that name when it is already imported.
Ref import_name(PyObject* from_module, PyObject* name) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttr(from_module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref package = Ref::steal(PyObject_GetAttr(from_module, names().dunder_name));
    Ref full_name = package ? Ref::steal(PyUnicode_FromFormat("%S.%U", package.get(), name)) : Ref();
    if (full_name) {
        value = Ref::steal(PyImport_GetModule(full_name.get()));
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

/// `from <module_name> import <imported...>`, binding each name as soon as it is fetched.
int import_from(PyObject* module_name, std::initializer_list<PyObject*> imported) noexcept
{
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(imported.size())));
    if (!fromlist) {
        return -1;
    }
    Py_ssize_t i = 0;
    for (PyObject* name : imported) {
        PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    }
    Ref module = import_absolute(module_name, fromlist.get());
    if (!module) {
        return -1;
    }
    for (PyObject* name : imported) {
        Ref value = import_name(module.get(), name);
        if (!value || store_global(name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

/// `logger = get_logger(name="FLOW")`
int bind_logger() noexcept
{
    const Names& n = names();
    Ref get_logger = load_global(n.get_logger);
    if (!get_logger) {
        return -1;
    }
    PyObject* stack[] = {nullptr, n.logger_name};
    Ref logger = Ref::steal(
        PyObject_Vectorcall(get_logger.get(), stack + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, n.kw_name));
    return logger ? store_global(n.logger, logger.get()) : -1;
}

Ref class_namespace() noexcept
{
    const Names& n = names();
    Ref ns = Ref::steal(PyDict_New());
    Ref doc = ns ? Ref::steal(PyUnicode_FromString(class_doc)) : Ref();
    if (!doc || PyDict_SetItem(ns.get(), n.dunder_module, n.module_name) < 0 ||
        PyDict_SetItem(ns.get(), n.dunder_qualname, n.FlowAPIWrapper) < 0 ||
        PyDict_SetItem(ns.get(), n.dunder_doc, doc.get()) < 0) {
        return Ref();
    }
    for (const Signature* sig : method_table) {
        Ref method = make_method(*sig);
        if (!method || PyDict_SetItemString(ns.get(), sig->name, method.get()) < 0) {
            return Ref();
        }
    }
    return ns;
}

/// `class FlowAPIWrapper: ...`, made by calling `type` with its namespace.
int bind_class() noexcept
{
    Ref ns = class_namespace();
    Ref bases = ns ? Ref::steal(PyTuple_New(0)) : Ref();
    if (!bases) {
        return -1;
    }
    PyObject* args[] = {names().FlowAPIWrapper, bases.get(), ns.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
    if (!cls) {
        return -1;
    }
    return store_global(names().FlowAPIWrapper, cls.get());
}

int run_body() noexcept
{
    const Names& n = names();
    if (import_module(n.os) < 0 || import_module(n.time) < 0 || import_module(n.requests) < 0 ||
        import_from(n.typing, {n.Optional, n.Union}) < 0 ||
        import_from(n.sdk_constants, {n.Module, n.NODE_ID, n.NODE_TYPE}) < 0 ||
        import_from(n.sdk_logging, {n.get_logger}) < 0 || bind_logger() < 0) {
        return -1;
    }
    return bind_class();
}

int initialise(PyObject* module) noexcept
{
    if (record_module(module) < 0) {
        return -1;
    }
    if (check_version() < 0 || init_names() < 0 || ready_method_type() < 0 || register_in_sys_modules(module) < 0 ||
        run_body() < 0) {
        forget_module();
        return -1;
    }
    return 0;
}

int module_exec(PyObject* module) noexcept
{
    PyObject* recorded = recorded_module();
    if (!recorded) {
        return initialise(module);
    }
    if (recorded != module) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'flow' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // One module object per process, and one static method type: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The method bodies and the module state rely on the GIL: it is kept on where this is loaded.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "flow",
    "\nWrapper for the Flow API. This module is normally used to parse flow information from the "
    "Node-RED.\n",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace flow

PyMODINIT_FUNC PyInit_flow(void) { return PyModuleDef_Init(&flow::module_def); }
