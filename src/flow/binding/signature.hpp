// A method's Python-facing signature as data, and the one binder that serves every method:
// it maps a vectorcall's arguments onto the parameters, fills in defaults and tests the
// argument types, so that a method body receives its arguments already bound and checked.
#pragma once

#include <Python.h>

#include "support/exact_types.hpp"
#include "support/ref.hpp"

namespace flow {

/// What a parameter accepts; the tests are on exact types, so subclasses are refused.
enum class Accepts : unsigned char { anything, str, str_or_none, int_or_none, int_exact, dict };

struct Param {
    const char* name;
    Accepts accepts;
    const char* annotation;  // NULL: not annotated
};

inline constexpr Py_ssize_t max_params = 5;

/// Makes a method's `__defaults__` tuple when the class is created (NULL: no defaults).
using MakeDefaults = Ref (*)() noexcept;

/// A method body: `args[0]` is self, then one borrowed argument per parameter.
using MethodBody = PyObject* (*)(PyObject* const* args) noexcept;

struct Signature {
    const char* name;
    const char* doc;  // NULL: no docstring
    const char* return_annotation;
    Param params[max_params];
    Py_ssize_t n_params;
    Py_ssize_t n_required;  // the parameters without a default come first
    MakeDefaults make_defaults;
    MethodBody body;
};

/// Binds a vectorcall's arguments to `out[0 .. sig.n_params)` (borrowed references), taking
/// missing trailing ones from `defaults`, then tests their types. `param_names` holds the
/// interned parameter names. Returns -1 with TypeError set on a bad call.
int bind_arguments(const Signature& sig, PyObject* param_names, PyObject* defaults,
                   PyObject* const* args, Py_ssize_t n_args, PyObject* kwnames,
                   PyObject** out) noexcept;

/// Whether `value` is of a type that `accepts` lets through.
inline bool is_accepted(Accepts accepts, PyObject* value) noexcept
{
    PyTypeObject* type = Py_TYPE(value);
    switch (accepts) {
    case Accepts::anything:
        return true;
    case Accepts::str:
        return type == &PyUnicode_Type;
    case Accepts::str_or_none:
        return type == &PyUnicode_Type || value == Py_None;
    case Accepts::int_or_none:
        return type == &PyLong_Type || value == Py_None;
    case Accepts::int_exact:
        return type == &PyLong_Type;
    case Accepts::dict:
        return type == &PyDict_Type;
    }
    return true;
}

/// Whether a call that passes every parameter by position, and nothing else, needs no binding.
inline bool is_bound_already(const Signature& sig, Py_ssize_t n_args, PyObject* kwnames) noexcept
{
    return fast::enabled && n_args == sig.n_params && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0);
}

/// The TypeError for `given`, which `param` does not accept; returns -1.
int raise_wrong_type(const Param& param, PyObject* given) noexcept;

/// Tests the types of already bound arguments, in parameter order. Inline: every call of a
/// method passes here.
inline int check_argument_types(const Signature& sig, PyObject* const* bound) noexcept
{
    for (Py_ssize_t i = 0; i < sig.n_params; i++) {
        if (!is_accepted(sig.params[i].accepts, bound[i])) {
            return raise_wrong_type(sig.params[i], bound[i]);
        }
    }
    return 0;
}

}  // namespace flow
