// How much C stack the current thread has left. A method called again from inside one of its
// own calls (through an override that calls super(), a property, a key's __eq__) nests on the
// C stack, and the interpreter's recursion limit, which the caller may have raised at will,
// does not bound that; this does.
#pragma once

#include <Python.h>

namespace flow {

/// 0, or -1 with RecursionError set when the thread's C stack is nearly used up.
int check_c_stack() noexcept;

}  // namespace flow
