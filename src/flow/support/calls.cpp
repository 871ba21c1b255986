#include "support/calls.hpp"

#include "support/exact_types.hpp"
#include "support/globals.hpp"
#include "support/names.hpp"


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

Ref display(PyObject* value) noexcept
{
    return Ref::steal(fast::formats_as_str(value) ? PyObject_Str(value) : PyObject_Format(value, names().empty));
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
    if (!fast::walks_by_index(obj)) {
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
