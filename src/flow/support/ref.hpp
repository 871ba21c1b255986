// Owned references. A `Ref` holds exactly one strong reference or nothing; borrowed
// references stay plain `PyObject*`, as in CPython itself.
#pragma once

#include <Python.h>

#include <utility>

namespace flow {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    /// Takes over a new reference (NULL allowed: an error result stays empty).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    /// Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    /// Hands the reference to the caller; this Ref is empty afterwards.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject* stolen = nullptr) noexcept
    {
        // Clear before the decref: a destructor run by it may look at this slot again.
        PyObject* old = std::exchange(obj_, stolen);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace flow
