#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/errors.hpp"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quillo::fetch {

ModuleNamespace module_ns;

void log_info(nb::handle message) { global("logger").attr("info")(message); }

void log_warning(nb::handle message) {
    outcome().message = nb::borrow(message);
    global("logger").attr("warning")(message);
}

FileLock::FileLock(const std::string &path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0)
        raise_os_error(errno, path);
    for (;;) {
        int rc, err;
        {
            nb::gil_scoped_release unlocked;
            rc = flock(fd_, LOCK_EX);
            err = errno;
        }
        if (rc == 0)
            return;
        if (err != EINTR) {
            close(fd_);
            raise_os_error(err, path);
        }
        if (PyErr_CheckSignals() != 0) {
            close(fd_);
            throw nb::python_error();
        }
    }
}

FileLock::~FileLock() { close(fd_); }

Outcome &outcome() {
    // Never destroyed: a thread's storage is torn down after its thread state
    // (for the main thread, after the interpreter), when Python objects can no
    // longer be released. The flow clears it when it ends.
    thread_local Outcome *current = new Outcome;
    return *current;
}

void note_failure(Failure failure, nb::handle status) {
    Outcome &now = outcome();
    if (now.failure != Failure::none && now.failure != Failure::failed)
        return;
    now.failure = failure;
    now.status = nb::borrow(status);
}

void clear_outcome() { outcome() = Outcome{}; }

std::string hidden_beside(const std::string &path, const std::string &suffix) {
    constexpr std::size_t kNameMax = 255;
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string name = "." + base + suffix;
    if (name.size() > kNameMax) {
        char hashed[24];
        std::snprintf(hashed, sizeof hashed, ".%016zx", std::hash<std::string>{}(base));
        name = hashed + suffix;
    }
    return dir + name;
}

double setting_seconds(const char *name) {
    double value = PyFloat_AsDouble(global(name).ptr());
    if (value == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

long long max_model_bytes() {
    nb::object limit = global("MAX_MODEL_BYTES");
    if (limit.is_none())
        return -1;
    if (!PyLong_Check(limit.ptr()) || PyBool_Check(limit.ptr())) {
        PyErr_Format(PyExc_TypeError, "MAX_MODEL_BYTES must be an int or None, not %.200s", Py_TYPE(limit.ptr())->tp_name);
        throw nb::python_error();
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow > 0)
        return -1;
    if (overflow < 0 || value < 0) {
        PyErr_SetString(PyExc_ValueError, "MAX_MODEL_BYTES must not be negative");
        throw nb::python_error();
    }
    return value;
}

void check_room(const std::string &dir, long long more, long long total, const std::string &what) {
    long long limit = max_model_bytes();
    char text[256];
    auto raise = [&] {
        PyErr_SetObject(PyExc_OSError, concat({fs_text(what), nb::str(text)}).ptr());
        throw nb::python_error();
    };
    if (limit >= 0 && total > limit) {
        std::snprintf(text, sizeof text, ": %lld bytes would pass MAX_MODEL_BYTES (%lld bytes)", total, limit);
        raise();
    }
    struct statvfs fs;
    if (more <= 0 || statvfs(dir.empty() ? "." : dir.c_str(), &fs) != 0)
        return;
    long long available = static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
    if (available - more < kReservedBytes) {
        std::snprintf(text, sizeof text,
                      ": %lld more bytes would leave less than the 64 MiB kept free on the model directory's file "
                      "system (%lld bytes available)",
                      more, available);
        raise();
    }
}

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
