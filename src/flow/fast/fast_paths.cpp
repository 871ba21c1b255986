// The plan of an indexed walk. Reading an attribute runs code of the caller's only through a
// descriptor's __get__, a __getattr__ or __getattribute__ of its own, or a dict key of another
// type than str whose __eq__ a lookup asks. The checks below allow none of them, for the few
// shapes that the walk reads: the module's own class, the SDK's `Module` of named tuples, and
// exact dicts and lists. Everything else takes the step-by-step walk.
#include "fast/fast_paths.hpp"

#include "binding/method_object.hpp"
#include "support/globals.hpp"
#include "support/names.hpp"

#include <cstring>
#include <initializer_list>

namespace flow {
namespace fast {
namespace {

/// The attribute dict of a class (a new reference).
Ref dict_of_type(PyTypeObject* type) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

/// Whether `type`, of metaclass `type`, reads attributes generically and has the MRO `type`
/// followed by `bases`: builtin classes whose attributes no caller can add or change.
bool has_plain_mro(PyTypeObject* type, std::initializer_list<PyTypeObject*> bases) noexcept
{
    PyObject* mro = type->tp_mro;
    if (Py_TYPE(type) != &PyType_Type || type->tp_getattro != PyObject_GenericGetAttr || !mro ||
        !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != static_cast<Py_ssize_t>(bases.size()) + 1 ||
        PyTuple_GET_ITEM(mro, 0) != reinterpret_cast<PyObject*>(type)) {
        return false;
    }
    Py_ssize_t i = 1;
    for (PyTypeObject* base : bases) {
        if (PyTuple_GET_ITEM(mro, i++) != reinterpret_cast<PyObject*>(base)) {
            return false;
        }
    }
    return true;
}

/// `dict[name]` (borrowed) for a dict whose lookups run no code, or NULL when it is absent.
PyObject* item(PyObject* dict, PyObject* name) noexcept
{
    return PyDict_GetItemWithError(dict, name);  // cannot fail for a str in such a dict
}

bool is_tuple_field(PyObject* descriptor) noexcept
{
    // A static type of `_collections` up to 3.11, an immutable heap type of `collections` since.
    PyTypeObject* type = Py_TYPE(descriptor);
    const bool builtin = !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                         || (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)
#endif
        ;
    return builtin && (std::strcmp(type->tp_name, "_collections._tuplegetter") == 0 ||
                       std::strcmp(type->tp_name, "collections._tuplegetter") == 0);
}

/// `member.type` for a named tuple of a class derived from tuple alone, whose `type` is its
/// field: a new reference to an exact str, or empty (no error set) for any other member.
/// `checked` is the class whose dict was found to hold only str keys last, and comes back so.
Ref field_type_of(PyObject* member, PyTypeObject*& checked) noexcept
{
    PyTypeObject* cls = Py_TYPE(member);
    if (cls != checked && !has_plain_mro(cls, {&PyTuple_Type, &PyBaseObject_Type})) {
        return Ref();
    }
    Ref dict = dict_of_type(cls);
    if (!dict || (cls != checked && !has_only_str_keys(dict.get()))) {
        return Ref();
    }
    checked = cls;
    PyObject* field = item(dict.get(), names().type);
    if (!field || !is_tuple_field(field)) {
        return Ref();
    }
    // The field's getter reads the tuple's item and nothing else.
    Ref type = Ref::steal(Py_TYPE(field)->tp_descr_get(field, member, reinterpret_cast<PyObject*>(cls)));
    if (!type || !PyUnicode_CheckExact(type.get())) {
        PyErr_Clear();
        return Ref();
    }
    return type;
}

/// Fills the video-source types from `Module`, when it is a plain class whose four members are
/// named tuples, looked up without running code.
bool read_feed_types(WalkPlan& plan) noexcept
{
    const Names& n = names();
    PyObject* globals = PyModule_GetDict(recorded_module());
    PyObject* module = has_only_str_keys(globals) ? item(globals, n.Module) : nullptr;
    if (!module || !PyType_CheckExact(module) ||
        !has_plain_mro(reinterpret_cast<PyTypeObject*>(module), {&PyBaseObject_Type})) {
        return false;
    }
    Ref dict = dict_of_type(reinterpret_cast<PyTypeObject*>(module));
    if (!dict || !has_only_str_keys(dict.get())) {
        return false;
    }
    size_t i = 0;
    PyTypeObject* checked = nullptr;  // the members' class, as a rule
    for (PyObject* name : {n.VideoFeed, n.VFVideoFile, n.VFUsbCamera, n.VFIpCamera}) {
        PyObject* member = item(dict.get(), name);
        Ref type = member && !Py_TYPE(member)->tp_descr_get ? field_type_of(member, checked) : Ref();
        if (!type) {
            return false;
        }
        // Held by the member, which `Module` holds while no code runs.
        plan.types[i++] = type.get();
    }
    return true;
}

/// What reading the attribute `name` from an instance of `cls` finds in the classes, where
/// every class of its MRO has a dict of str keys alone: the first class attribute of that name
/// (borrowed), or NULL when no class has it.
PyObject* class_attribute(PyObject* mro, PyObject* name) noexcept
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        Ref dict = dict_of_type(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (PyObject* found = dict ? item(dict.get(), name) : nullptr) {
            return found;  // held by the class, which the MRO holds
        }
    }
    return nullptr;
}

/// Whether every class of `mro` has a dict whose lookups run no code, the last being object.
bool has_str_keyed_classes(PyObject* mro) noexcept
{
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    if (n == 0 || PyTuple_GET_ITEM(mro, n - 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n - 1; i++) {  // object's own dict cannot be changed
        Ref dict = dict_of_type(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict || !has_only_str_keys(dict.get())) {
            return false;
        }
    }
    return true;
}

/// Whether `self`, of any class that reads attributes generically, finds the module's own
/// searches as `seek_prev_nodes` and `seek_video_feed`, and reads `_nodes` and
/// `_visited_node_ids` from its instance dict `dict` alone: what the walk calls and reads is
/// then known, whatever else a subclass overrides.
bool is_plain_wrapper(PyObject* self, PyObject* dict, const Signature& prev, const Signature& walk) noexcept
{
    const Names& n = names();
    PyTypeObject* cls = Py_TYPE(self);
    PyObject* mro = cls->tp_mro;
    if (cls->tp_getattro != PyObject_GenericGetAttr || !mro || !PyTuple_CheckExact(mro) ||
        !has_str_keyed_classes(mro) || !has_only_str_keys(dict)) {
        return false;
    }
    PyObject* own_prev = class_attribute(mro, n.seek_prev_nodes);
    PyObject* own_walk = class_attribute(mro, n.seek_video_feed);
    return own_prev && is_method_for(own_prev, prev) && own_walk && is_method_for(own_walk, walk) &&
           !class_attribute(mro, n.nodes) && !class_attribute(mro, n.visited_node_ids) &&
           !item(dict, n.seek_prev_nodes) && !item(dict, n.seek_video_feed);
}

bool all_exact_str(PyObject* list) noexcept
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool is_own_search(PyObject* search, bool unbound, const Signature& walk) noexcept
{
    return enabled && unbound && is_method_for(search, walk);
}

int plan_indexed_walk(PyObject* self, PyObject* start, const Signature& prev, const Signature& walk,
                      WalkPlan& plan) noexcept
{
    if (!enabled || Py_TYPE(self)->tp_dictoffset == 0) {
        return 0;
    }
    // Made first, where the instance keeps its attributes elsewhere until asked: making it may
    // collect garbage, and so run code, which nothing after it does.
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        return -1;
    }
    if (!is_plain_wrapper(self, dict.get(), prev, walk) || !read_feed_types(plan) || !has_only_str_keys(start)) {
        return 0;
    }
    PyObject* id = item(start, names().id);
    plan.table = item(dict.get(), names().nodes);
    plan.visited = item(dict.get(), names().visited_node_ids);
    return (!id || PyUnicode_CheckExact(id)) && plan.table && PyDict_CheckExact(plan.table) && plan.visited &&
           PyList_CheckExact(plan.visited) && all_exact_str(plan.visited);
}

}  // namespace fast
}  // namespace flow
