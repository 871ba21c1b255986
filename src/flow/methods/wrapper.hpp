// The bodies of FlowAPIWrapper's methods. Each receives its arguments bound and type-checked
// (`args[0]` is self, then the parameters in order, all borrowed) and returns a new
// reference, or NULL with an exception set.
#pragma once

#include <Python.h>

namespace flow {

PyObject* wrapper_init(PyObject* const* args) noexcept;
PyObject* wrapper_load_flow(PyObject* const* args) noexcept;
PyObject* wrapper_parse_flow(PyObject* const* args) noexcept;
PyObject* wrapper_seek_prev_nodes(PyObject* const* args) noexcept;
PyObject* wrapper_seek_next_nodes(PyObject* const* args) noexcept;
PyObject* wrapper_seek_video_feed(PyObject* const* args) noexcept;

}  // namespace flow
