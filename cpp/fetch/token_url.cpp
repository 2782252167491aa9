// get_device_token and get_model_url: the device's credential from its token
// file, and a model key resolved to its signed download URL at the backend.
#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::fetch {

namespace {

// Seconds for the whole answer of the model-URL endpoint, and for each wait.
constexpr double kUrlRequestTimeout = 30;
// As many hops as requests follows on its own.
constexpr int kMaxRedirects = 30;

// Runs a blocking system call without the host's lock, so that a token file
// on a slow or special file system (a pipe, a hung mount) does not stall the
// application's other threads. An interrupted call runs the signal handlers
// (Ctrl-C raises there) and is retried, as the host's own file objects do.
template <typename Call>
auto unlocked(Call call) {
    for (;;) {
        decltype(call()) rc;
        int err;
        {
            nb::gil_scoped_release released;
            rc = call();
            err = errno;
        }
        if (rc >= 0 || err != EINTR) {
            errno = err;
            return rc;
        }
        if (PyErr_CheckSignals() != 0)
            throw nb::python_error();
    }
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { close(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

// The whole file, as open(path, "rb").read() would give it.
std::string read_file(const std::string &path) {
    int raw = unlocked([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (raw < 0)
        raise_os_error(errno, path);
    Fd fd(raw);
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        raise_os_error(errno, path);
    if (S_ISDIR(st.st_mode))
        raise_os_error(EISDIR, path);
    std::string data;
    char buffer[8192];
    for (;;) {
        ssize_t n = unlocked([&] { return read(fd.get(), buffer, sizeof buffer); });
        if (n < 0)
            raise_os_error(errno, path);
        if (n == 0)
            return data;
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

nb::object read_token() {
    nb::object token_file = global("TOKEN_FILE");
    std::string data = read_file(fs_path(token_file));
    PyObject *decoded = PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict");
    if (!decoded)
        throw nb::python_error();
    // Universal line ends turn "\r\n" and "\r" into "\n", and every "\n" goes:
    // together that drops every carriage return and line feed.
    nb::object text = nb::steal(decoded);
    for (const char *line_end : {"\r", "\n"}) {
        PyObject *replaced = PyUnicode_Replace(text.ptr(), nb::str(line_end).ptr(), nb::str("").ptr(), -1);
        if (!replaced)
            throw nb::python_error();
        text = nb::steal(replaced);
    }
    return text;
}

nb::object get_device_token_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bind_call<0>("get_device_token", {}, args, nargs, kwnames);
    return catch_ordinary(read_token, [](nb::handle exc) -> nb::object {
        if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_FileNotFoundError))
            log_warning(concat({nb::str("Token file not found at "), text_of(global("TOKEN_FILE"))}));
        else
            log_warning(concat({nb::str("Failed to read device token: "), text_of(exc)}));
        return nb::none();
    });
}

// (scheme, host, port) of a URL, with the scheme's default port filled in.
nb::object origin(nb::handle url) {
    nb::object parts = global("urlsplit")(url);
    nb::object scheme = parts.attr("scheme").attr("lower")();
    nb::object port = parts.attr("port");
    if (port.is_none()) {
        if (scheme.equal(nb::str("https")))
            port = nb::int_(443);
        else if (scheme.equal(nb::str("http")))
            port = nb::int_(80);
    }
    return nb::make_tuple(scheme, parts.attr("hostname"), port);
}

// The redirect target of `response`, or None. Location is read the way
// requests reads it (latin-1 on the wire, UTF-8 meant).
nb::object redirect_target(nb::handle response) {
    if (!truth(nb::getattr(response, "is_redirect", nb::bool_(false))))
        return nb::none();
    nb::object location = response.attr("headers")["location"];
    location = location.attr("encode")("latin1").attr("decode")("utf8");
    return global("urljoin")(response.attr("url"), location);
}

// GET of the model-URL endpoint. Redirects are followed here rather than by
// requests, which would carry the device token to whatever host the backend
// (or anyone between) names: the token goes only to the endpoint's own origin.
// `current` follows the hops.
nb::object request_model_url(nb::object &current, nb::handle token_header) {
    nb::object home = origin(current);
    for (int hop = 0;; ++hop) {
        nb::dict headers;
        if (origin(current).equal(home))
            headers["x-device-token"] = token_header;
        nb::dict options;
        options["headers"] = headers;
        options["allow_redirects"] = false;
        nb::object response =
            http_get(current, kUrlRequestTimeout, true, nb::float_(kUrlRequestTimeout), options);
        nb::object next = redirect_target(response);
        if (next.is_none())
            return response;
        response.attr("close")();
        if (hop == kMaxRedirects) {
            nb::object too_many = global("requests").attr("TooManyRedirects");
            PyErr_Format(too_many.ptr(), "Exceeded %d redirects.", kMaxRedirects);
            throw nb::python_error();
        }
        current = next;
    }
}

// What a status other than 200 from the model-URL endpoint tells.
Failure failure_of_status(nb::handle status) {
    if (status.equal(nb::int_(401)) || status.equal(nb::int_(403)))
        return Failure::token_rejected;
    if (status.equal(nb::int_(404)))
        return Failure::unknown_key;
    int server_error = PyObject_RichCompareBool(status.ptr(), nb::int_(500).ptr(), Py_GE);
    if (server_error < 0)
        throw nb::python_error();
    return server_error ? Failure::unreachable : Failure::failed;
}

// `url`: the URL asked last.
nb::object resolve_model_url(nb::handle model_id, nb::object &url) {
    log_info(concat({nb::str("Get the download url from model_id:"), model_id}));
    if (PyUnicode_Tailmatch(model_id.ptr(), nb::str("http").ptr(), 0, PY_SSIZE_T_MAX, -1) == 1)
        return nb::borrow(model_id);

    nb::object token = global("get_device_token")();
    if (token.is_none()) {
        note_failure(Failure::token_missing, nb::none(), nb::none(), global("TOKEN_FILE"));
        log_warning(nb::str("No device token available, cannot fetch model URL"));
        return nb::none();
    }
    nb::object token_header = concat({nb::str("Bearer "), token});
    url = global("MODEL_URL").attr("replace")("<MODEL_KEY>", model_id);

    nb::object response = request_model_url(url, token_header);
    ScopedClose closer(response);
    nb::object status = response.attr("status_code");
    if (!status.equal(nb::int_(200))) {
        note_failure(failure_of_status(status), status, url);
        log_warning(concat({nb::str("failed to get the model url with status. "), text_of(status)}));
        return nb::none();
    }
    nb::object body = response.attr("content").attr("decode")("utf-8");
    nb::object answer = global("json").attr("loads")(body);
    nb::object result = answer["url"];
    if (!result.is_none() && !PyUnicode_Check(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(result.ptr())->tp_name);
        throw nb::python_error();
    }
    // The archive's digest, when the backend names it, travels in the URL's
    // fragment, where a direct URL may name it as well.
    nb::object sha256 = PyDict_Check(answer.ptr()) ? answer.attr("get")("sha256") : nb::none();
    if (result.is_none() || sha256.is_none())
        return result;
    return url_naming_sha256(result, sha256);
}

nb::object get_model_url_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *model_id = bind_call<1>("get_model_url", {"model_id"}, args, nargs, kwnames)[0];
    require_str(model_id, "model_id");
    nb::object url = nb::none();
    return catch_ordinary([&] { return resolve_model_url(model_id, url); },
                          [&](nb::handle exc) -> nb::object {
                              note_request_error(exc, url);
                              log_warning(concat({nb::str("failed to get the model url "), text_of(exc)}));
                              return nb::none();
                          });
}

} // namespace

void export_token_url(nb::module_ &m) {
    m.attr("get_device_token") = make_method(
        {"get_device_token", "get_device_token", kModule,
         "Return the device token read from ``TOKEN_FILE`` with every line end removed, or None "
         "(after a warning) when the file cannot be read.",
         "()", {{"return", "str | None"}}, vectorcall_entry<get_device_token_impl>});
    m.attr("get_model_url") = make_method(
        {"get_model_url", "get_model_url", kModule,
         "Return the download URL of ``model_id``: a direct URL (text starting with \"http\") as it "
         "is, a model key as the backend's model-URL endpoint answers it for this device, with "
         "``#sha256=<hex>`` appended when the answer names the archive's digest. The endpoint's answer "
         "must be whole within 30 s of the request. Failures are logged and give None.",
         "(model_id)", {{"model_id", "str"}, {"return", "str | None"}}, vectorcall_entry<get_model_url_impl>});
}

} // namespace quillo::fetch
