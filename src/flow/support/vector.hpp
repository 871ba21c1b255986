// A growable array on the interpreter's allocator, for walks that must not recurse on the C
// stack and for indexes built per call. Growing reports failure as MemoryError instead of
// throwing.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

namespace flow {

template <typename T>
class Vector {
public:
    Vector() noexcept = default;
    Vector(const Vector&) = delete;
    Vector& operator=(const Vector&) = delete;
    ~Vector()
    {
        clear();
        PyMem_Free(items_);
    }

    /// Returns -1 with MemoryError set when the array cannot grow.
    int push(T item) noexcept
    {
        if (size_ == capacity_ && grow() < 0) {
            return -1;
        }
        new (items_ + size_) T(std::move(item));
        size_++;
        return 0;
    }
    void pop() noexcept { items_[--size_].~T(); }
    void clear() noexcept
    {
        while (size_ > 0) {
            pop();
        }
    }
    T& top() noexcept { return items_[size_ - 1]; }
    T& operator[](size_t i) noexcept { return items_[i]; }
    const T& operator[](size_t i) const noexcept { return items_[i]; }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

private:
    int grow() noexcept
    {
        const size_t capacity = capacity_ ? 2 * capacity_ : 16;
        T* items = static_cast<T*>(PyMem_Malloc(capacity * sizeof(T)));
        if (!items) {
            PyErr_NoMemory();
            return -1;
        }
        for (size_t i = 0; i < size_; i++) {
            new (items + i) T(std::move(items_[i]));
            items_[i].~T();
        }
        PyMem_Free(items_);
        items_ = items;
        capacity_ = capacity;
        return 0;
    }

    T* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace flow
