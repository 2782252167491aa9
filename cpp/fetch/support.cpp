#include "fetch/fetch.hpp"

#include "common/errors.hpp"

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

void set_error_from_current() noexcept {
    try {
        throw;
    } catch (const SysError &e) {
        PyObject *filename = PyUnicode_DecodeFSDefaultAndSize(e.path.data(), static_cast<Py_ssize_t>(e.path.size()));
        if (!filename)
            return;
        errno = e.err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
        Py_DECREF(filename);
    } catch (...) {
        set_error_from_current_exception();
    }
}

nb::python_error current_as_python_error() {
    set_error_from_current();
    return nb::python_error();
}

ScopedClose::~ScopedClose() {
    if (!obj_.is_valid())
        return;
    // Runs while an error may be propagating: keep it, drop close's own.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *result = PyObject_CallMethod(obj_.ptr(), "close", nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void ScopedClose::close() {
    nb::object obj = std::move(obj_);
    obj.attr("close")();
}

} // namespace quillo::fetch
