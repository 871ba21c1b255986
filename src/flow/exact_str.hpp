// Equality of exact str objects without a call: CPython stores each str in the narrowest
// kind that holds it, so equal texts have equal lengths, kinds and bytes.
#pragma once

#include <Python.h>

#include <cstring>

namespace flow {

/// One exact str, taken apart once, to be compared with many others.
class StrNeedle {
public:
    StrNeedle() noexcept = default;
    explicit StrNeedle(PyObject* str) noexcept
        : str_(str),
          length_(PyUnicode_GET_LENGTH(str)),
          kind_(static_cast<int>(PyUnicode_KIND(str))),
          bytes_(static_cast<size_t>(length_) * static_cast<size_t>(kind_)),
          data_(static_cast<const char*>(PyUnicode_DATA(str)))
    {
    }

    /// Whether the exact str `other` has the same text.
    bool matches(PyObject* other) const noexcept
    {
        if (other == str_) {
            return true;
        }
        if (PyUnicode_GET_LENGTH(other) != length_ || static_cast<int>(PyUnicode_KIND(other)) != kind_) {
            return false;
        }
        if (bytes_ == 0) {
            return true;
        }
        // Ids of one flow often share a prefix and differ at the end: look there first.
        const char* data = static_cast<const char*>(PyUnicode_DATA(other));
        return data[bytes_ - 1] == data_[bytes_ - 1] && std::memcmp(data, data_, bytes_) == 0;
    }

private:
    PyObject* str_ = nullptr;
    Py_ssize_t length_ = 0;
    int kind_ = 0;
    size_t bytes_ = 0;
    const char* data_ = nullptr;
};

inline bool same_exact_str(PyObject* a, PyObject* b) noexcept { return StrNeedle(b).matches(a); }

/// Whether every key of the exact dict `dict` is an exact str: only then can looking a str up
/// in it run no code (a key of another type and the same hash would be asked for equality).
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

}  // namespace flow
