// What the module needs of newer C APIs, on every interpreter it builds for (3.9 and later).
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* obj)
{
    Py_INCREF(obj);
    return obj;
}
#endif

#include "support/ref.hpp"

namespace flow {

/// Takes the raised exception out of the error indicator, normalized, traceback attached.
inline Ref take_raised_exception() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

/// Makes `exception` the one being handled (what sys.exc_info() shows), returning the one
/// that was handled before (empty for none) so that it can be put back.
inline Ref swap_handled_exception(Ref exception) noexcept
{
#if PY_VERSION_HEX >= 0x030B0000
    Ref previous = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exception.get());
    return previous;
#else
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyObject* exc = exception.release();
    if (exc) {
        PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                         PyException_GetTraceback(exc));
    } else {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
    }
    return Ref::steal(value);
#endif
}

}  // namespace flow
