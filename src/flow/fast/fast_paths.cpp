// The plan of an indexed walk. Reading an attribute runs code of the caller's only through a
// descriptor's __get__, a __getattr__ or __getattribute__ of its own, or a dict key of another
// type than str whose __eq__ a lookup asks. The checks below allow none of them, for the few
// shapes that the walk reads: the module's own class, the SDK's `Module` of named tuples, and
// exact dicts and lists. Everything else takes the step-by-step walk.
#include "fast/fast_paths.hpp"

#include "binding/globals.hpp"
#include "binding/method_object.hpp"
#include "binding/method_table.hpp"
#include "binding/names.hpp"

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

/// Whether `self` is an instance of a plain class (one base, object) that holds the module's
/// own searches, and nothing of the names the walk reads from the instance: then its
/// attributes are read from its instance dict alone, which `dict` is.
bool is_plain_wrapper(PyObject* self, PyObject* dict) noexcept
{
    const Names& n = names();
    PyTypeObject* cls = Py_TYPE(self);
    if (!has_plain_mro(cls, {&PyBaseObject_Type})) {
        return false;
    }
    Ref class_dict = dict_of_type(cls);
    if (!class_dict || !has_only_str_keys(class_dict.get())) {
        return false;
    }
    PyObject* prev = item(class_dict.get(), n.seek_prev_nodes);
    PyObject* walk = item(class_dict.get(), n.seek_video_feed);
    return prev && is_method_for(prev, seek_prev_nodes_signature) && walk &&
           is_method_for(walk, seek_video_feed_signature) && !item(class_dict.get(), n.nodes) &&
           !item(class_dict.get(), n.visited_node_ids) && has_only_str_keys(dict) &&
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

bool has_only_str_keys(PyObject* dict) noexcept
{
    Py_ssize_t position = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

bool is_own_search(PyObject* search, bool unbound) noexcept
{
    return enabled && unbound && is_method_for(search, seek_video_feed_signature);
}

int plan_indexed_walk(PyObject* self, PyObject* start, WalkPlan& plan) noexcept
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
    if (!is_plain_wrapper(self, dict.get()) || !read_feed_types(plan) || !has_only_str_keys(start)) {
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
