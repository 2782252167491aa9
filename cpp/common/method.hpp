// A callable that carries its own documentation text, annotations and text
// signature, and binds like a Python function when placed in a class.
//
// nanobind's function objects have no __annotations__ and a read-only __doc__,
// and their generic dispatch costs more than the hottest methods can afford,
// so those methods are built on this small type: one vectorcall pointer per
// object, method-descriptor calls without a bound-method object, and plain
// attributes for introspection.
#pragma once

#include "common/errors.hpp"

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace quillo {

namespace nb = nanobind;

struct MethodInfo {
    const char *name;
    const char *qualname;
    const char *module;
    const char *doc;              // nullptr: no documentation
    const char *text_signature;   // e.g. "($self, /, item)"; nullptr: none
    std::initializer_list<std::pair<const char *, const char *>> annotations;  // shown as text
    vectorcallfunc call;          // receives self as args[0] when called as a method
    // Builds an inspect.Signature on first access of __signature__, for
    // signatures a text signature cannot express (defaults that are objects).
    nb::object (*signature)() = nullptr;
};

nb::object make_method(const MethodInfo &info);

// Entry point for make_method from a C++ function that returns nb::object and
// may throw; exceptions become pending Python errors.
template <nb::object (*Impl)(PyObject *const *, Py_ssize_t, PyObject *)>
PyObject *vectorcall_entry(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    try {
        return Impl(args, PyVectorcall_NARGS(nargsf), kwnames).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

} // namespace quillo
