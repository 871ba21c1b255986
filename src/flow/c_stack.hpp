// How much C stack the current thread has left. A method called again from inside one of its
// own calls (through an override that calls super(), a property, a key's __eq__) nests on the
// C stack, and the interpreter's recursion limit, which the caller may have raised at will,
// does not bound that; this does.
#pragma once

#include <Python.h>

namespace flow {

/// 0, or -1 with RecursionError set when the thread's C stack is nearly used up.
int check_c_stack() noexcept;

/// Whether a method call, once check_c_stack() let it in, is to be counted with
/// Py_EnterRecursiveCall too. Up to 3.11 that counts against the recursion limit, as the frame
/// of the Python code the method stands for would. From 3.12 on it counts C calls against a
/// small fixed budget instead (1,500 in 3.12), which a walk through an override calling super()
/// spends three at a level: there the stack check alone bounds the nesting, where it can.
bool counts_as_recursive_call() noexcept;

}  // namespace flow
