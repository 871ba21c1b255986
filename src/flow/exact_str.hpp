// Equality of two exact str objects without a call: CPython stores each str in the narrowest
// kind that holds it, so equal texts have equal lengths, kinds and bytes.
#pragma once

#include <Python.h>

#include <cstring>

namespace flow {

inline bool same_exact_str(PyObject* a, PyObject* b) noexcept
{
    if (a == b) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    if (length != PyUnicode_GET_LENGTH(b) || kind != static_cast<int>(PyUnicode_KIND(b))) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    // Ids of one flow often share a prefix and differ at the end: look there before the call.
    const size_t bytes = static_cast<size_t>(length) * static_cast<size_t>(kind);
    const char* a_data = static_cast<const char*>(PyUnicode_DATA(a));
    const char* b_data = static_cast<const char*>(PyUnicode_DATA(b));
    return a_data[bytes - 1] == b_data[bytes - 1] && std::memcmp(a_data, b_data, bytes) == 0;
}

}  // namespace flow
