// How much C stack the current thread has left. A method called again from inside one of its
// own calls (through an override that calls super(), a property, a key's __eq__) nests on the
// C stack, and the interpreter's recursion limit, which the caller may have raised at will,
// does not bound that; this does.
#pragma once

#include <Python.h>

#include <cstdint>

namespace flow {

/// The lowest frame address the thread's calls may reach: 0 while not looked up yet, 1 where
/// the thread's stack cannot be told. Initial-exec: read with one load on every call.
extern __thread uintptr_t stack_floor __attribute__((tls_model("initial-exec")));

/// check_c_stack() where the floor is not known yet or is reached.
int check_c_stack_slowly() noexcept;

/// 0, or -1 with RecursionError set when the thread's C stack is nearly used up.
inline int check_c_stack() noexcept
{
    const uintptr_t floor = stack_floor;
    if (floor != 0 && reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > floor) {
        return 0;
    }
    return check_c_stack_slowly();
}

/// Whether a method call, once check_c_stack() let it in, is to be counted with
/// Py_EnterRecursiveCall too. Up to 3.11 that counts against the recursion limit, as the frame
/// of the Python code the method stands for would. From 3.12 on it counts C calls against a
/// small fixed budget instead (1,500 in 3.12), which a walk through an override calling super()
/// spends three at a level: there the stack check alone bounds the nesting, where it can.
inline bool counts_as_recursive_call() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return stack_floor == 1;  // the stack could not be told
#else
    return true;
#endif
}

}  // namespace flow
