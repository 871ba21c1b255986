// The module namespace of this process and the lookup of globals by the methods' code.
#pragma once

#include "support/compat.hpp"
#include "support/ref.hpp"

namespace flow {

/// The recorded module object of this process, or NULL (borrowed).
PyObject* recorded_module() noexcept;

/// Records `module` (taking a reference of its own) with the builtins that globals fall back to.
int record_module(PyObject* module) noexcept;

/// Forgets the recorded module after a failed exec step, so that a later import starts afresh.
void forget_module() noexcept;

/// Looks `name` up in the module namespace, then among the builtins, as the methods' code
/// does at every use; raises NameError when it is in neither.
Ref load_global(PyObject* name) noexcept;

/// Binds `name` in the module namespace.
int store_global(PyObject* name, PyObject* value) noexcept;

}  // namespace flow
