#include "binding/method_object.hpp"

#include "support/c_stack.hpp"
#include "support/compat.hpp"
#include "support/names.hpp"

#include <cstddef>

namespace flow {
namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;          // str or None
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict of str
    PyObject* param_names;  // tuple of interned str, self first
    PyObject* weakrefs;
};

MethodObject* as_method(PyObject* obj) noexcept { return reinterpret_cast<MethodObject*>(obj); }

/// Runs a method body on bound arguments. The bodies call back into Python through the
/// instance, so a caller who wires a method to itself must meet RecursionError, not the end
/// of the C stack.
PyObject* run_body(const Signature& sig, PyObject* const* arguments) noexcept
{
    if (check_c_stack() < 0) {
        return nullptr;
    }
    const bool counted = counts_as_recursive_call();
    if (counted && Py_EnterRecursiveCall(" while calling a FlowAPIWrapper method")) {
        return nullptr;
    }
    PyObject* result = sig.body(arguments);
    if (counted) {
        Py_LeaveRecursiveCall();
    }
    return result;
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept
{
    MethodObject* method = as_method(callable);
    const Signature& sig = *method->sig;
    const Py_ssize_t n_args = PyVectorcall_NARGS(nargsf);
    if (is_bound_already(sig, n_args, kwnames)) {
        return check_argument_types(sig, args) < 0 ? nullptr : run_body(sig, args);
    }
    PyObject* bound[max_params];
    if (bind_arguments(sig, method->param_names, method->defaults, args, n_args, kwnames, bound) < 0) {
        return nullptr;
    }
    return run_body(sig, bound);
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    MethodObject* m = as_method(self);
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->module);
    Py_VISIT(m->doc);
    Py_VISIT(m->defaults);
    Py_VISIT(m->annotations);
    Py_VISIT(m->param_names);
    return 0;
}

int method_clear(PyObject* self) noexcept
{
    MethodObject* m = as_method(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->param_names);
    return 0;
}

void method_dealloc(PyObject* self) noexcept
{
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    method_clear(self);
    PyObject_GC_Del(self);
}

// One getter per function attribute; all are read-only, so the defaults that calls use are
// always the ones made at import.
#define FLOW_GETTER(attr, field)                                  \
    PyObject* get_##attr(PyObject* self, void*) noexcept          \
    {                                                             \
        return Py_NewRef(as_method(self)->field);                 \
    }
FLOW_GETTER(name, name)
FLOW_GETTER(qualname, qualname)
FLOW_GETTER(module, module)
FLOW_GETTER(doc, doc)
FLOW_GETTER(defaults, defaults)
FLOW_GETTER(annotations, annotations)
#undef FLOW_GETTER

PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

/// "(self, host='127.0.0.1', port=1880, ...)": what inspect.signature, and with it the stub
/// tests of type checkers, read from a callable that is not a Python function.
PyObject* get_text_signature(PyObject* self, void*) noexcept
{
    MethodObject* m = as_method(self);
    const Py_ssize_t n = PyTuple_GET_SIZE(m->param_names);
    const Py_ssize_t n_defaults = m->defaults == Py_None ? 0 : PyTuple_GET_SIZE(m->defaults);
    Ref params = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; params && i < n; i++) {
        PyObject* name = PyTuple_GET_ITEM(m->param_names, i);
        const Py_ssize_t d = i - (n - n_defaults);
        PyObject* param = d < 0 ? Py_NewRef(name)
                                : PyUnicode_FromFormat("%U=%R", name, PyTuple_GET_ITEM(m->defaults, d));
        if (!param) {
            return nullptr;
        }
        PyList_SET_ITEM(params.get(), i, param);
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref joined = params && separator ? Ref::steal(PyUnicode_Join(separator.get(), params.get())) : Ref();
    return joined ? PyUnicode_FromFormat("(%U)", joined.get()) : nullptr;
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject method_type = [] {
    PyTypeObject t{};
    PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
    t.ob_base = head;
    t.tp_name = "zorv_sdk.nodered.flow.method";
    t.tp_basicsize = sizeof(MethodObject);
    t.tp_dealloc = method_dealloc;
    t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    t.tp_repr = method_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A method of FlowAPIWrapper.";
    t.tp_traverse = method_traverse;
    t.tp_clear = method_clear;
    t.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
    t.tp_getset = method_getset;
    t.tp_descr_get = method_descr_get;
    return t;
}();

Ref make_param_names(const Signature& sig) noexcept
{
    Ref tuple = Ref::steal(PyTuple_New(sig.n_params));
    for (Py_ssize_t i = 0; tuple && i < sig.n_params; i++) {
        PyObject* name = PyUnicode_InternFromString(sig.params[i].name);
        if (!name) {
            return Ref();
        }
        PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    return tuple;
}

int annotate(PyObject* annotations, const char* key, const char* text) noexcept
{
    Ref value = Ref::steal(PyUnicode_FromString(text));
    return value ? PyDict_SetItemString(annotations, key, value.get()) : -1;
}

/// The annotations in parameter order, then "return"; all values are str.
Ref make_annotations(const Signature& sig) noexcept
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return annotations;
    }
    for (Py_ssize_t i = 0; i < sig.n_params; i++) {
        const Param& param = sig.params[i];
        if (param.annotation && annotate(annotations.get(), param.name, param.annotation) < 0) {
            return Ref();
        }
    }
    if (annotate(annotations.get(), "return", sig.return_annotation) < 0) {
        return Ref();
    }
    return annotations;
}

Ref make_doc(const Signature& sig) noexcept
{
    return sig.doc ? Ref::steal(PyUnicode_FromString(sig.doc)) : Ref::borrow(Py_None);
}

}  // namespace

int ready_method_type() noexcept { return PyType_Ready(&method_type); }

Ref make_method(const Signature& sig) noexcept
{
    Ref defaults = sig.make_defaults ? sig.make_defaults() : Ref::borrow(Py_None);
    Ref name = Ref::steal(PyUnicode_InternFromString(sig.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", names().FlowAPIWrapper, sig.name));
    Ref doc = make_doc(sig);
    Ref annotations = make_annotations(sig);
    Ref param_names = make_param_names(sig);
    if (!defaults || !name || !qualname || !doc || !annotations || !param_names) {
        return Ref();
    }
    MethodObject* m = PyObject_GC_New(MethodObject, &method_type);
    if (!m) {
        return Ref();
    }
    m->vectorcall = method_vectorcall;
    m->sig = &sig;
    m->name = name.release();
    m->qualname = qualname.release();
    m->module = Py_NewRef(names().module_name);
    m->doc = doc.release();
    m->defaults = defaults.release();
    m->annotations = annotations.release();
    m->param_names = param_names.release();
    m->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

bool is_method_for(PyObject* obj, const Signature& sig) noexcept
{
    return Py_TYPE(obj) == &method_type && as_method(obj)->sig == &sig;
}

}  // namespace flow
