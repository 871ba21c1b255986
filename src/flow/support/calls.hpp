// Calls from the methods' code into Python, each with the semantics of the matching
// Python expression: attribute reads, method calls through the object, the f-string display form, logging
// through the module's `logger`, and two-item unpacking.
#pragma once

#include "support/exact_types.hpp"
#include "support/ref.hpp"

namespace flow {

/// `obj.name`. The generic lookup of the usual class is called without the dispatch; it names
/// the attribute and the object in the AttributeError itself.
inline Ref get_attribute(PyObject* obj, PyObject* name) noexcept
{
    return Ref::steal(fast::reads_generically(obj) ? PyObject_GenericGetAttr(obj, name) : PyObject_GetAttr(obj, name));
}

/// `obj.name(args...)`, looked up at the call like Python's own method calls (no bound
/// method is made when the attribute comes from the type).
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) noexcept
{
    // Slot 0 is spare, so that a bound callee may prepend without copying.
    PyObject* stack[] = {nullptr, obj, args...};
    const size_t n = (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(PyObject_VectorcallMethod(name, stack + 1, n, nullptr));
}

/// `obj.name`, with `unbound` true when it was a method bound to `obj`: then the function
/// comes back, to be called with `obj` as its first argument.
Ref lookup_method(PyObject* obj, PyObject* name, bool& unbound) noexcept;

/// Calls what `lookup_method` found, with `arg` as the one argument after `obj`.
Ref call_looked_up(PyObject* callable, bool unbound, PyObject* obj, PyObject* arg) noexcept;

/// The display form of `value`: what an f-string field shows of it (`format(value, "")`).
Ref display(PyObject* value) noexcept;

/// `logger.<level>(message)` with the module global `logger` as it is bound now: the logger
/// and its method are looked up first, as Python looks them up before it makes the message.
class LogLine {
public:
    explicit LogLine(PyObject* level) noexcept;
    /// Whether the lookups succeeded; if not, an exception is set.
    bool ready() const noexcept { return static_cast<bool>(method_); }
    /// Writes `message` (NULL: making it failed, and nothing is called): 0, or -1 on error.
    int write(PyObject* message) noexcept;

private:
    Ref logger_;
    Ref method_;
    bool unbound_ = false;
};

/// `first, second = obj`. Returns -1 with ValueError (or the iteration's error) set.
int unpack_pair(PyObject* obj, Ref& first, Ref& second) noexcept;

}  // namespace flow
