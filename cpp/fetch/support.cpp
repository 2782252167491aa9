#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
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

namespace {

// When waiting for a lock ends.
Clock::time_point lock_wait_end() {
    const TimeLimits &limits = time_limits();
    Clock::time_point end =
        limits.budget_end ? *limits.budget_end : seconds_from_now(setting_seconds("DOWNLOAD_MODEL_TIMEOUT"));
    return limits.deadline ? std::min(end, *limits.deadline) : end;
}

} // namespace

FileLock::FileLock(const std::string &path) {
    // flock has no timed wait: try again every 50 ms until the end.
    constexpr long kRetryNanoseconds = 50'000'000;
    Clock::time_point end = lock_wait_end();
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0)
        raise_os_error(errno, path);
    for (;;) {
        int rc, err;
        {
            nb::gil_scoped_release unlocked;
            rc = flock(fd_, LOCK_EX | LOCK_NB);
            err = errno;
            if (rc != 0 && err == EWOULDBLOCK && Clock::now() < end) {
                struct timespec pause = {0, kRetryNanoseconds};
                nanosleep(&pause, nullptr);
                err = EINTR;
            }
        }
        if (rc == 0)
            return;
        if (err != EINTR && err != EWOULDBLOCK) {
            close(fd_);
            raise_os_error(err, path);
        }
        if (PyErr_CheckSignals() != 0) {
            close(fd_);
            throw nb::python_error();
        }
        if (err == EWOULDBLOCK) {
            close(fd_);
            nb::str lock = fs_text(path);
            note_failure(Failure::lock_busy, nb::none(), nb::none(), lock);
            PyErr_SetObject(PyExc_OSError, concat({nb::str("still locked by another fetch: "), lock}).ptr());
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

namespace {

// host[:port] of `url` as written there (credentials left out), or None.
nb::object host_of(nb::handle url) {
    if (!PyUnicode_Check(url.ptr()))
        return nb::none();
    nb::object host = global("urlsplit")(url).attr("netloc").attr("rpartition")("@")[2];
    return truth(host) ? host : nb::none();
}

Failure failure_of_error(nb::handle exc) {
    if (deadline_passed())
        return Failure::deadline;
    nb::object errors = global("requests").attr("exceptions");
    auto is = [&](nb::handle kind) { return PyErr_GivenExceptionMatches(exc.ptr(), kind.ptr()) != 0; };
    if (is(errors.attr("ConnectTimeout")))
        return Failure::unreachable;
    if (is(errors.attr("Timeout")) || is(nb::module_::import_("urllib3.exceptions").attr("TimeoutError")) ||
        is(nb::module_::import_("socket").attr("timeout")))
        return Failure::timeout;
    if (is(errors.attr("ConnectionError")))
        return Failure::unreachable;
    return Failure::failed;
}

} // namespace

void note_failure(Failure failure, nb::handle status, nb::handle url, nb::handle file) {
    Outcome &now = outcome();
    if (!now.host.is_valid() || now.host.is_none())
        now.host = host_of(url);
    if (!now.file.is_valid() || now.file.is_none())
        now.file = nb::borrow(file);
    if (now.failure != Failure::none && now.failure != Failure::failed)
        return;
    now.failure = failure;
    now.status = nb::borrow(status);
}

void note_request_error(nb::handle exc, nb::handle url) {
    note_failure(failure_of_error(exc), nb::none(), url);
    Outcome &now = outcome();
    if (!now.reason.is_valid() || now.reason.is_none())
        now.reason = nb::module_::import_("quillo_sdk.model._http").attr("reason_of")(exc);
}

TimeLimits &time_limits() {
    thread_local TimeLimits limits;
    return limits;
}

bool deadline_passed() {
    const auto &deadline = time_limits().deadline;
    return deadline && Clock::now() >= *deadline;
}

std::optional<double> seconds_left() {
    const auto &deadline = time_limits().deadline;
    if (!deadline)
        return std::nullopt;
    return std::chrono::duration<double>(*deadline - Clock::now()).count();
}

nb::object http_get(nb::handle url, double within, bool whole, nb::handle per_read, nb::dict options) {
    std::optional<double> left = seconds_left();
    options["within"] = nb::float_(within);
    options["whole"] = nb::bool_(whole);
    options["deadline"] = left ? nb::object(nb::float_(*left)) : nb::none();
    options["timeout"] = nb::make_tuple(nb::float_(within), per_read);
    nb::object get = nb::module_::import_("quillo_sdk.model._http").attr("get");
    nb::object answer = nb::steal(PyObject_Call(get.ptr(), nb::make_tuple(global("requests"), url).ptr(), options.ptr()));
    if (!answer.is_valid()) {
        nb::python_error error;
        if (deadline_passed())
            note_failure(Failure::deadline, nb::none(), url);
        throw error;
    }
    return answer;
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
