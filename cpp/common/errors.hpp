// Raising the host's exceptions from C++ and turning C++ exceptions back into
// Python errors at the boundary of hand-written entry points.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo {

namespace nb = nanobind;

// The standard message for an argument of the wrong exact type.
[[noreturn]] void raise_wrong_type(const char *param, const char *expected, nb::handle value);

// Exact type checks (subclasses refused; for int, bool is refused as well).
void require_exact(nb::handle value, const char *param, PyTypeObject *expected);
inline void require_str(nb::handle value, const char *param) { require_exact(value, param, &PyUnicode_Type); }
inline void require_int(nb::handle value, const char *param) { require_exact(value, param, &PyLong_Type); }

// The exception object of an error caught as `e`, normalised; takes the error
// out of `e`, which must not be raised again. Before 3.12 an error set by C
// code holds only its argument until it is normalised: a KeyError's value is
// then the tuple of its key, and its text "('url',)" instead of "'url'".
nb::object take_exception(nb::python_error &e);

// Converts the exception in flight into a pending Python error.
// Call only from inside a catch block.
void set_error_from_current_exception() noexcept;

// Returns the borrowed result of `f()` or nullptr with a Python error set.
template <typename F>
PyObject *guarded(F &&f) noexcept {
    try {
        return f().release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

} // namespace quillo
