// The questions by which the code may read an object through the functions of its type rather
// than through its methods: each asks for an exact builtin type, whose methods nobody can
// override, so both ways give the same. Built with fast_paths off, every question here is
// answered "no" and only the plain paths remain, so that the test suite can show that both
// builds behave alike. The questions that need the module's own objects are in fast/.
#pragma once

#include <Python.h>

#ifndef FLOW_FAST_PATHS
#define FLOW_FAST_PATHS 1
#endif

namespace flow {
namespace fast {

constexpr bool enabled = FLOW_FAST_PATHS != 0;

/// Whether `obj` is exactly a dict, to be read through the dict functions.
inline bool is_exact_dict(PyObject* obj) noexcept { return enabled && PyDict_CheckExact(obj); }

/// Whether `obj` is exactly a list, to be appended to through the list functions.
inline bool is_exact_list(PyObject* obj) noexcept { return enabled && PyList_CheckExact(obj); }

/// Whether `obj` is exactly a list or tuple, to be read by index: its iterator, `in` and
/// unpacking read it the same way.
inline bool walks_by_index(PyObject* obj) noexcept
{
    return enabled && (PyList_CheckExact(obj) || PyTuple_CheckExact(obj));
}

/// Whether `a` and `b` are both exactly str, so that comparing them runs no code and needs no
/// call: equal texts have equal lengths, kinds and bytes.
inline bool are_exact_str(PyObject* a, PyObject* b) noexcept
{
    return enabled && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b);
}

/// Whether `format(value, "")` is `str(value)`: so for an exact dict or list, whose type takes
/// its __format__ from object, which gives str() for an empty format.
inline bool formats_as_str(PyObject* value) noexcept
{
    return enabled && (PyDict_CheckExact(value) || PyList_CheckExact(value));
}

/// Whether `obj`'s attributes are read by the generic lookup, to be called without the
/// dispatch of PyObject_GetAttr.
inline bool reads_generically(PyObject* obj) noexcept
{
    return enabled && Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr;
}

/// Whether no lookup in the exact dict `dict` runs code: every key is an exact str, so no
/// key's `__eq__` is asked. Linear in its size. Not a shortcut itself: what a shortcut proves.
inline bool has_only_str_keys(PyObject* dict) noexcept
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

}  // namespace fast
}  // namespace flow
