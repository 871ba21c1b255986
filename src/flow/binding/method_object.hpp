// The method objects of FlowAPIWrapper: a callable type of our own that behaves like a
// Python function where callers can tell (it binds to instances, carries the function
// attributes, and binds its arguments like a def) while its body is native.
#pragma once

#include "binding/signature.hpp"
#include "support/ref.hpp"

namespace flow {

/// Makes the method object for `sig`, with its defaults made now.
Ref make_method(const Signature& sig) noexcept;

/// Whether `obj` is the method object made for `sig`.
bool is_method_for(PyObject* obj, const Signature& sig) noexcept;

/// Readies the type; called by every exec step, does its work once.
int ready_method_type() noexcept;

}  // namespace flow
