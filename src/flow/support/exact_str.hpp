// Equality of exact str objects without a call: CPython stores each str in the narrowest
// kind that holds it, so equal texts have equal lengths, kinds and bytes.
#pragma once

#include <Python.h>

#include <cstdint>
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
          compact_ascii_(PyUnicode_IS_COMPACT_ASCII(str)),
          bytes_(static_cast<size_t>(length_) * static_cast<size_t>(kind_)),
          data_(static_cast<const char*>(PyUnicode_DATA(str)))
    {
        if (bytes_ >= sizeof tail_) {
            std::memcpy(&tail_, data_ + bytes_ - sizeof tail_, sizeof tail_);
        }
    }

    /// Whether the exact str `other` has the same text.
    bool matches(PyObject* other) const noexcept
    {
        if (other == str_) {
            return true;
        }
        if (PyUnicode_GET_LENGTH(other) != length_) {
            return false;
        }
        // The usual id is compact ASCII, and so is every str of the same text but a legacy one.
        if (compact_ascii_ && PyUnicode_IS_COMPACT_ASCII(other)) {
            return same_bytes(ascii_data(other));
        }
        return static_cast<int>(PyUnicode_KIND(other)) == kind_ &&
               same_bytes(static_cast<const char*>(PyUnicode_DATA(other)));
    }

private:
    static const char* ascii_data(PyObject* str) noexcept
    {
        return static_cast<const char*>(PyUnicode_DATA(str));
    }

    bool same_bytes(const char* data) const noexcept
    {
        return bytes_ < sizeof tail_ ? std::memcmp(data, data_, bytes_) == 0 : same_long_bytes(data);
    }

    /// Ids of one flow often share a prefix and differ at the end: the last eight bytes are
    /// compared first, in one word.
    bool same_long_bytes(const char* data) const noexcept
    {
        uint64_t tail;
        std::memcpy(&tail, data + bytes_ - sizeof tail, sizeof tail);
        return tail == tail_ && std::memcmp(data, data_, bytes_ - sizeof tail) == 0;
    }

    PyObject* str_ = nullptr;
    Py_ssize_t length_ = 0;
    int kind_ = 0;
    bool compact_ascii_ = false;
    size_t bytes_ = 0;
    const char* data_ = nullptr;
    uint64_t tail_ = 0;
};

inline bool same_exact_str(PyObject* a, PyObject* b) noexcept { return StrNeedle(b).matches(a); }

}  // namespace flow
