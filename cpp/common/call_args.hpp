// Binding vectorcall arguments to named parameters, with the host's usual
// TypeError for bad calls (missing, surplus, unknown or repeated arguments).
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>

namespace quillo {

struct Parameters {
    const char *function;      // name used in error messages
    const char *const *names;  // every parameter, positional ones first
    Py_ssize_t count;          // number of names
    Py_ssize_t positional;     // how many may be given by position; the rest are keyword-only
    Py_ssize_t required;       // how many leading parameters must be given
};

// Fills out[0..count) with borrowed references, nullptr where an optional
// parameter was not given. Returns false with a TypeError set on a bad call.
bool bind_arguments(const Parameters &params, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **out) noexcept;

// The same for code that throws: the N parameters' arguments (null where an
// optional one is absent), or nanobind::python_error on a bad call.
template <std::size_t N>
std::array<PyObject *, N> arguments(const Parameters &params, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames) {
    std::array<PyObject *, N> a{};
    if (!bind_arguments(params, args, nargs, kwnames, a.data()))
        throw nanobind::python_error();
    return a;
}

} // namespace quillo
