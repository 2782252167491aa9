#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/errors.hpp"

#include <cerrno>

namespace quillo::fetch {

ModuleNamespace module_ns;

void log_info(nb::handle message) { global("logger").attr("info")(message); }

void log_warning(nb::handle message) { global("logger").attr("warning")(message); }

nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::object result = nb::str("");
    for (nb::handle part : parts) {
        PyObject *joined = PyNumber_Add(result.ptr(), part.ptr());
        if (!joined)
            throw nb::python_error();
        result = nb::steal(joined);
    }
    return nb::borrow<nb::str>(result);
}

void raise_os_error(int err, const std::string &path) {
    nb::str filename = fs_text(path);
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw nb::python_error();
}

ScopedClose::~ScopedClose() {
    if (!obj_.is_valid())
        return;
    // Runs while an error may be propagating: keep it, drop close's own.
    call_keeping_error(obj_.ptr(), "close", false);
}

void ScopedClose::close() {
    nb::object obj = std::move(obj_);
    obj.attr("close")();
}

} // namespace quillo::fetch
