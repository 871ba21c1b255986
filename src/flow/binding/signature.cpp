#include "binding/signature.hpp"

namespace flow {
namespace {

// The error texts of a bad call, each in one place.

int raise_count_error(const Signature& sig, Py_ssize_t given) noexcept
{
    const bool exact = sig.n_required == sig.n_params;
    const bool too_few = given < sig.n_required;
    const Py_ssize_t expected = too_few ? sig.n_required : sig.n_params;
    const char* bound = exact ? "exactly" : too_few ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, bound, expected, expected == 1 ? "" : "s", given);
    return -1;
}

int raise_unexpected_keyword(const Signature& sig, PyObject* key) noexcept
{
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    return -1;
}

int raise_keyword_given_twice(const Signature& sig, PyObject* key) noexcept
{
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name,
                 key);
    return -1;
}

int raise_keyword_not_str(const Signature& sig) noexcept
{
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
    return -1;
}

/// Whether the keyword `key` names the parameter `param`, compared as a def's call compares
/// them: by pointer first (the usual case, as keyword and parameter names are both interned),
/// then by value with the keyword on the left, so that a str subclass has its own `__eq__`
/// asked. 1, 0, or -1 on error.
int names_param(PyObject* key, PyObject* param) noexcept
{
    if (key == param) {
        return 1;
    }
    if (!PyUnicode_Check(key)) {
        return 0;
    }
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(param) && PyUnicode_Compare(key, param) == 0;
    }
    return PyObject_RichCompareBool(key, param, Py_EQ);
}

/// Index of the first keyword in `kwnames` that names `param`, or -1; -2 on error. Pointers
/// are compared in a pass of their own first.
Py_ssize_t keyword_for(PyObject* kwnames, PyObject* param) noexcept
{
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; k++) {
        if (PyTuple_GET_ITEM(kwnames, k) == param) {
            return k;
        }
    }
    for (Py_ssize_t k = 0; k < n; k++) {
        const int named = names_param(PyTuple_GET_ITEM(kwnames, k), param);
        if (named != 0) {
            return named < 0 ? -2 : k;
        }
    }
    return -1;
}

/// Index of the parameter that `key` names, or -1; -2 on error.
Py_ssize_t param_for(PyObject* param_names, PyObject* key) noexcept
{
    const Py_ssize_t n = PyTuple_GET_SIZE(param_names);
    for (Py_ssize_t i = 0; i < n; i++) {
        const int named = names_param(key, PyTuple_GET_ITEM(param_names, i));
        if (named != 0) {
            return named < 0 ? -2 : i;
        }
    }
    return -1;
}

/// Takes the parameters after the positional ones from the keywords, in parameter order,
/// noting in `taken` which keyword each came from (-1: none). A missing required parameter
/// is reported with the number of parameters supplied before it; returns how many keywords
/// were used, or -1 on error.
Py_ssize_t take_keywords(const Signature& sig, PyObject* param_names, PyObject* const* kwvalues,
                         PyObject* kwnames, Py_ssize_t n_args, PyObject** out, Py_ssize_t* taken) noexcept
{
    Py_ssize_t used = 0;
    const Py_ssize_t n_keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = n_args; i < sig.n_params; i++) {
        const bool required = i < sig.n_required;
        if (!required && used == n_keywords) {
            break;
        }
        const Py_ssize_t k = keyword_for(kwnames, PyTuple_GET_ITEM(param_names, i));
        if (k == -2) {
            return -1;
        }
        if (k >= 0) {
            out[i] = kwvalues[k];
            taken[i] = k;
            used++;
        } else if (required) {
            return raise_count_error(sig, i);
        }
    }
    return used;
}

/// Explains why some keyword was not taken: the first one, in call order, that is not a
/// str, names no parameter, or names one given already (by position or by another keyword).
int reject_leftover_keywords(const Signature& sig, PyObject* param_names, PyObject* kwnames,
                             Py_ssize_t n_args, const Py_ssize_t* taken) noexcept
{
    const Py_ssize_t n_keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; k++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            return raise_keyword_not_str(sig);
        }
        const Py_ssize_t i = param_for(param_names, key);
        if (i == -2) {
            return -1;
        }
        if (i >= 0 && taken[i] == k) {
            continue;
        }
        // A keyword whose __eq__ answers one way when it is sought and another when it is
        // placed names nothing either.
        if (i < 0 || (i >= n_args && taken[i] < 0)) {
            return raise_unexpected_keyword(sig, key);
        }
        return raise_keyword_given_twice(sig, key);
    }
    // Only an __eq__ that changes its answer between two passes gets here.
    return raise_unexpected_keyword(sig, PyTuple_GET_ITEM(kwnames, 0));
}

}  // namespace

int bind_arguments(const Signature& sig, PyObject* param_names, PyObject* defaults,
                   PyObject* const* args, Py_ssize_t n_args, PyObject* kwnames,
                   PyObject** out) noexcept
{
    if (n_args > sig.n_params) {
        return raise_count_error(sig, n_args);
    }
    Py_ssize_t taken[max_params];
    for (Py_ssize_t i = 0; i < sig.n_params; i++) {
        out[i] = i < n_args ? args[i] : nullptr;
        taken[i] = -1;
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        const Py_ssize_t used = take_keywords(sig, param_names, args + n_args, kwnames, n_args, out, taken);
        if (used < 0) {
            return -1;
        }
        if (used < PyTuple_GET_SIZE(kwnames)) {
            return reject_leftover_keywords(sig, param_names, kwnames, n_args, taken);
        }
    } else if (n_args < sig.n_required) {
        return raise_count_error(sig, n_args);
    }
    for (Py_ssize_t i = sig.n_required; i < sig.n_params; i++) {
        if (!out[i]) {
            out[i] = PyTuple_GET_ITEM(defaults, i - sig.n_required);
        }
    }
    return check_argument_types(sig, out);
}

int raise_wrong_type(const Param& param, PyObject* given) noexcept
{
    const bool wants_str = param.accepts == Accepts::str || param.accepts == Accepts::str_or_none;
    const bool wants_int = param.accepts == Accepts::int_exact || param.accepts == Accepts::int_or_none;
    PyTypeObject* expected = wants_str ? &PyUnicode_Type : wants_int ? &PyLong_Type : &PyDict_Type;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param.name, expected->tp_name, Py_TYPE(given)->tp_name);
    return -1;
}

}  // namespace flow
