#include "calls.hpp"

#include "fast_paths.hpp"
#include "globals.hpp"
#include "names.hpp"

#include <algorithm>
#include <cstring>

namespace flow {
namespace {

int raise_unpack_count(Py_ssize_t found) noexcept
{
    if (found > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                     found == 1 ? "" : "s");
    }
    return -1;
}

/// Unpacking of any iterable: two items, then the iterator must be exhausted.
int unpack_iterated_pair(PyObject* obj, Ref& first, Ref& second) noexcept
{
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) {
        return -1;
    }
    Ref items[2];
    for (Py_ssize_t i = 0; i < 2; i++) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            return PyErr_Occurred() ? -1 : raise_unpack_count(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        return raise_unpack_count(3);
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    first = std::move(items[0]);
    second = std::move(items[1]);
    return 0;
}

}  // namespace

Ref lookup_method(PyObject* obj, PyObject* name, bool& unbound) noexcept
{
    // The attribute as Python reads it; a bound method made for `obj` is unwrapped, so that
    // calling what it holds needs no second binding.
    Ref attribute = Ref::steal(PyObject_GetAttr(obj, name));
    unbound = attribute && PyMethod_Check(attribute.get()) && PyMethod_GET_SELF(attribute.get()) == obj;
    return unbound ? Ref::borrow(PyMethod_GET_FUNCTION(attribute.get())) : std::move(attribute);
}

Ref call_looked_up(PyObject* callable, bool unbound, PyObject* obj, PyObject* arg) noexcept
{
    PyObject* stack[] = {nullptr, obj, arg};
    PyObject* const* args = unbound ? stack + 1 : stack + 2;
    const size_t n = (unbound ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(PyObject_Vectorcall(callable, args, n, nullptr));
}

Ref get_attribute(PyObject* obj, PyObject* name) noexcept
{
    if (Ref value = fast::own_attribute(obj, name)) {
        return value;
    }
    // The generic lookup of the usual class is called directly, without the dispatch; it names
    // the attribute and object in the AttributeError itself.
    return Ref::steal(Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr ? PyObject_GenericGetAttr(obj, name)
                                                                          : PyObject_GetAttr(obj, name));
}

Ref join_str(std::initializer_list<PyObject*> pieces) noexcept
{
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (PyObject* piece : pieces) {
        length += PyUnicode_GET_LENGTH(piece);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(piece));
    }
    Ref joined = Ref::steal(PyUnicode_New(length, widest));
    if (!joined) {
        return joined;
    }
    const int kind = PyUnicode_KIND(joined.get());
    char* data = static_cast<char*>(PyUnicode_DATA(joined.get()));
    Py_ssize_t at = 0;
    for (PyObject* piece : pieces) {
        const Py_ssize_t piece_length = PyUnicode_GET_LENGTH(piece);
        // Pieces stored as wide as the result, the usual case, are copied as bytes.
        if (static_cast<int>(PyUnicode_KIND(piece)) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(piece), static_cast<size_t>(piece_length * kind));
        } else if (PyUnicode_CopyCharacters(joined.get(), at, piece, 0, piece_length) < 0) {
            return Ref();
        }
        at += piece_length;
    }
    return joined;
}

Ref display(PyObject* value) noexcept
{
    Ref shown = fast::format_plain_container(value);
    return shown ? std::move(shown) : Ref::steal(PyObject_Format(value, names().empty));
}

LogLine::LogLine(PyObject* level) noexcept : logger_(load_global(names().logger))
{
    if (logger_) {
        method_ = lookup_method(logger_.get(), level, unbound_);
    }
}

int LogLine::write(PyObject* message) noexcept
{
    return message && call_looked_up(method_.get(), unbound_, logger_.get(), message) ? 0 : -1;
}

int unpack_pair(PyObject* obj, Ref& first, Ref& second) noexcept
{
    if (!PyTuple_CheckExact(obj) && !PyList_CheckExact(obj)) {
        return unpack_iterated_pair(obj, first, second);
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    if (n != 2) {
        return raise_unpack_count(n);
    }
    PyObject** items = PySequence_Fast_ITEMS(obj);
    first = Ref::borrow(items[0]);
    second = Ref::borrow(items[1]);
    return 0;
}

}  // namespace flow
