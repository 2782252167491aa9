#include "common/call_args.hpp"

namespace quillo {

namespace {

Py_ssize_t find_parameter(const Parameters &params, PyObject *keyword) {
    for (Py_ssize_t i = 0; i < params.count; ++i)
        if (PyUnicode_CompareWithASCIIString(keyword, params.names[i]) == 0)
            return i;
    return -1;
}

} // namespace

bool bind_arguments(const Parameters &params, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **out) noexcept {
    if (nargs > params.positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)",
                     params.function, params.positional, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < params.count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = find_parameter(params, keyword);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         params.function, keyword);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         params.function, params.names[i]);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < params.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         params.function, params.names[i], i + 1);
            return false;
        }
    }
    return true;
}

} // namespace quillo
