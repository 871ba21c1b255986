#include "support/c_stack.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace flow {
namespace {

// Kept free below every check: room for the stretch of calls between two checks (a method body,
// the call into an override and back), and for raising the error and unwinding. A small
// thread stack keeps an eighth of its size instead.
constexpr uintptr_t reserve = 32 * 1024;

uintptr_t find_stack_floor() noexcept
{
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        size_t size = 0;
        const int found = pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
        if (found == 0) {
            const uintptr_t keep = size / 8 < reserve ? size / 8 : reserve;
            return reinterpret_cast<uintptr_t>(low) + keep;
        }
    }
#endif
    return 1;
}

}  // namespace

__thread uintptr_t stack_floor __attribute__((tls_model("initial-exec"))) = 0;

int check_c_stack_slowly() noexcept
{
    uintptr_t floor = stack_floor;
    if (floor == 0) {
        floor = stack_floor = find_stack_floor();
    }
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > floor) {
        return 0;
    }
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    return -1;
}

}  // namespace flow
