// Shared pieces of the model fetcher: the module namespace, logging through the
// module's logger, the catch-all guard of the public functions and the export
// hooks of each concern.
#pragma once

#include "common/module_attr.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace quillo::fetch {

namespace nb = nanobind;

constexpr const char *kModule = "quillo_sdk.model.fetch";

// The module itself; functions read their settings, collaborators and the
// libraries they call from its attributes at call time.
extern ModuleNamespace module_ns;

inline nb::object global(const char *name) { return module_ns.get(name); }

void log_info(nb::handle message);
void log_warning(nb::handle message);

// Concatenation of text pieces, as `a + b + ...` on str.
nb::str concat(std::initializer_list<nb::handle> parts);

// str(obj)
inline nb::str text_of(nb::handle obj) { return nb::str(obj); }

// A failed system call of the plain C++ parts; becomes the host's OSError
// (FileNotFoundError, PermissionError, ...) with the path as its filename.
struct SysError {
    int err;
    std::string path;
};

// Turns the C++ exception in flight into a pending Python error (call from a
// catch block), and the same as an error object.
void set_error_from_current() noexcept;
nb::python_error current_as_python_error();

// Entry point for make_method: exceptions become pending Python errors.
template <nb::object (*Impl)(PyObject *const *, Py_ssize_t, PyObject *)>
PyObject *entry(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    try {
        return Impl(args, PyVectorcall_NARGS(nargsf), kwnames).release().ptr();
    } catch (...) {
        set_error_from_current();
        return nullptr;
    }
}

// Calls `body`; an error of the ordinary class (Exception) is handed to
// `on_error` with the exception object, anything else (KeyboardInterrupt,
// SystemExit) propagates.
template <typename Body, typename Handler>
nb::object catch_ordinary(Body &&body, Handler &&on_error) {
    nb::object exc;
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        exc = nb::borrow(e.value());
    } catch (...) {
        nb::python_error e = current_as_python_error();
        if (!e.matches(PyExc_Exception))
            throw e;
        exc = nb::borrow(e.value());
    }
    return on_error(exc);
}

// Closes `obj` (a response, archive or file object) when the scope ends, on
// error paths too; an error of that late close is dropped. Call close() where
// the close itself must succeed.
class ScopedClose {
public:
    explicit ScopedClose(nb::handle obj) : obj_(nb::borrow(obj)) {}
    ScopedClose(const ScopedClose &) = delete;
    ScopedClose &operator=(const ScopedClose &) = delete;
    ~ScopedClose();
    // Closes now; errors propagate.
    void close();

private:
    nb::object obj_;
};

// Export hooks, one per concern.
void export_token_url(nb::module_ &m);
void export_download(nb::module_ &m);
void export_extract(nb::module_ &m);
void export_archive(nb::module_ &m);
void export_model_type(nb::module_ &m);
void export_flow(nb::module_ &m);

} // namespace quillo::fetch
