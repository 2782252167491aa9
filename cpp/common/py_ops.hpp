// Small checked wrappers over the C API for code that throws nb::python_error
// instead of returning error codes.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo {

namespace nb = nanobind;

// `result`, or throws the pending Python error when it is null.
inline PyObject *check(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return result;
}

// A new reference returned by the C API, owned; throws when it is null.
inline nb::object take(PyObject *result) { return nb::steal(check(result)); }

// The truth value of `o`, as `bool(o)`; an error of __bool__ propagates.
inline bool truth(nb::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    if (t < 0)
        throw nb::python_error();
    return t;
}

// Keeps `o` alive for the rest of the process: for objects a module reads
// through plain handles (types, constants) and never gives back.
inline nb::handle keep_forever(nb::object o) { return o.release(); }

// A new reference to `o` (may be null) for a C-API slot's return value.
inline PyObject *new_reference(PyObject *o) {
    Py_XINCREF(o);
    return o;
}

// Replaces the reference owned by `field` with a new one to `value` (either
// may be null); the old value is released after the field is updated.
inline void replace_owned(PyObject *&field, PyObject *value) {
    Py_XINCREF(value);
    Py_XSETREF(field, value);
}

// Fills slot `i` of a list fresh from PyList_New, which takes over `item`.
inline void init_list_item(nb::handle list, Py_ssize_t i, nb::object item) {
    PyList_SET_ITEM(list.ptr(), i, item.release().ptr());
}

// Calls `obj.name()` from a destructor or clean-up path: an error that is
// already propagating is kept, and one raised by the call itself is reported
// as unraisable (`report`) or dropped; a Ctrl-C is raised again later.
inline void call_keeping_error(PyObject *obj, const char *name, bool report) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *result = PyObject_CallMethod(obj, name, nullptr);
    if (result) {
        Py_DECREF(result);
    } else {
        bool interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
        if (report)
            PyErr_WriteUnraisable(obj);
        else
            PyErr_Clear();
        if (interrupted)
            PyErr_SetInterrupt();  // delivered at the next check instead of lost
    }
    PyErr_Restore(type, value, traceback);
}

} // namespace quillo
