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

// The truth value of `o`, as `bool(o)`.
inline bool truth(PyObject *o) {
    int t = PyObject_IsTrue(o);
    if (t < 0)
        throw nb::python_error();
    return t;
}

} // namespace quillo
