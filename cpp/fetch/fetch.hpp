// Shared pieces of the model fetcher: the module namespace, logging through the
// module's logger, the catch-all guard of the public functions and the export
// hooks of each concern.
#pragma once

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/module_attr.hpp"
#include "common/py_ops.hpp"

#include <nanobind/nanobind.h>

#include <array>
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

// The host's OSError for a failed system call (FileNotFoundError,
// PermissionError, ... by errno) with `path` as its filename.
[[noreturn]] void raise_os_error(int err, const std::string &path);

// Binds the arguments of a call to `names`, each required and given by position
// or keyword; the host's TypeError for a bad call.
template <std::size_t N>
std::array<PyObject *, N> bind_call(const char *function, const std::array<const char *, N> &names,
                                    PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const auto n = static_cast<Py_ssize_t>(N);
    std::array<PyObject *, N> values{};
    if (!bind_arguments({function, names.data(), n, n, n}, args, nargs, kwnames, values.data()))
        throw nb::python_error();
    return values;
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
        exc = take_exception(e);
    } catch (...) {
        set_error_from_current_exception();
        nb::python_error e;
        if (!e.matches(PyExc_Exception))
            throw e;
        exc = take_exception(e);
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
