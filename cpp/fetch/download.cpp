// download_file: one HTTP body streamed to disk in chunks of 1 MiB, with a
// progress line every 5 percent. The body goes to a temporary file beside the
// destination, which takes the destination's name only once the body is
// complete, so a failed download never leaves a partial file there.
#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <random>
#include <unistd.h>

namespace quillo::fetch {

namespace {

constexpr Py_ssize_t kChunkSize = 1048576;
constexpr std::size_t kNameMax = 255;

// A file open for writing under a fresh name beside `target`
// (".<name>.<8 characters>.part"); removed unless commit() renames it to
// `target`.
class PartFile {
public:
    explicit PartFile(const std::string &target) : target_(target) {
        // What opening `target` itself would have refused, refused now and
        // under its name, not after the whole body has been fetched.
        if (is_dir(target))
            raise_os_error(EISDIR, target);
        std::size_t slash = target.rfind('/');
        std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
        thread_local std::mt19937_64 random{std::random_device{}()};
        static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int attempt = 0;; ++attempt) {
            std::string suffix;
            for (int i = 0; i < 8; ++i)
                suffix += alphabet[random() % (sizeof alphabet - 1)];
            std::string name = "." + base + "." + suffix + ".part";
            path_ = dir + (name.size() > kNameMax ? "." + suffix + ".part" : name);
            fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0)
                return;
            if (errno != EEXIST || attempt == 100)
                raise_os_error(errno, target_);
        }
    }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;
    ~PartFile() {
        if (fd_ >= 0)
            close(fd_);
        if (!path_.empty())
            unlink(path_.c_str());
    }

    // Writes all of `data`; the host's lock is released meanwhile.
    void write_all(const char *data, std::size_t size) {
        int err = 0;
        {
            nb::gil_scoped_release unlocked;
            while (size > 0) {
                ssize_t n = ::write(fd_, data, size);
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    err = errno;
                    break;
                }
                data += n;
                size -= static_cast<std::size_t>(n);
            }
        }
        if (err)
            raise_os_error(err, path_);
    }

    void commit() {
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0)
            raise_os_error(errno, path_);
        if (rename(path_.c_str(), target_.c_str()) != 0)
            raise_os_error(errno, target_);
        path_.clear();
    }

private:
    std::string target_;
    std::string path_;
    int fd_ = -1;
};

// The percentage rule: int(downloaded * 100 / total), logged when it changes
// and is a multiple of 5. Sizes that a double cannot carry exactly (and
// negative ones) are left to the host's integers, so the figures always match
// its arithmetic.
class Progress {
public:
    explicit Progress(nb::handle total) : total_obj_(nb::borrow(total)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(total.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred())
            throw nb::python_error();
        active_ = overflow || value != 0;
        fast_ = !overflow && value > 0 && value < kExact;
        total_ = value;
    }

    bool active() const { return active_; }

    // The progress line after `downloaded` bytes, or nothing.
    std::optional<nb::str> update(long long downloaded) {
        bool fast = fast_ && downloaded < kExact / 100;
        long long pct;
        if (fast) {
            pct = static_cast<long long>(static_cast<double>(downloaded * 100) / static_cast<double>(total_));
        } else {
            nb::object scaled = take(PyNumber_Multiply(nb::int_(downloaded).ptr(), nb::int_(100).ptr()));
            nb::object ratio = take(PyNumber_TrueDivide(scaled.ptr(), total_obj_.ptr()));
            pct = PyLong_AsLongLong(take(PyNumber_Long(ratio.ptr())).ptr());
            if (pct == -1 && PyErr_Occurred())
                throw nb::python_error();
        }
        if (pct == last_pct_ || pct % 5 != 0)
            return std::nullopt;
        last_pct_ = pct;
        if (fast) {
            char line[160];
            std::snprintf(line, sizeof line, "Downloading... %lld%% (%lldMB / %lldMB)", pct,
                          downloaded / 1024 / 1024, total_ / 1024 / 1024);
            return nb::str(line);
        }
        nb::object kib = nb::int_(1024);
        auto whole_mib = [&](nb::handle n) {
            nb::object k = take(PyNumber_FloorDivide(n.ptr(), kib.ptr()));
            return text_of(take(PyNumber_FloorDivide(k.ptr(), kib.ptr())));
        };
        return concat({nb::str("Downloading... "), text_of(nb::int_(pct)), nb::str("% ("),
                       whole_mib(nb::int_(downloaded)), nb::str("MB / "), whole_mib(total_obj_), nb::str("MB)")});
    }

private:
    // Integers below 2**53 convert to double exactly.
    static constexpr long long kExact = 1LL << 53;

    nb::object total_obj_;
    long long total_ = 0;
    bool active_ = false;
    bool fast_ = false;
    long long last_pct_ = -1;
};

// "Content-Encoding" other than identity: the body counted after decoding
// cannot be compared with the encoded length.
bool body_is_encoded(nb::handle headers) {
    nb::object encoding = headers.attr("get")("Content-Encoding");
    if (encoding.is_none())
        return false;
    nb::object name = nb::str(encoding).attr("strip")().attr("lower")();
    return !name.equal(nb::str("")) && !name.equal(nb::str("identity"));
}

nb::object fetch_to_file(nb::handle cloud_url, nb::handle local_file) {
    log_info(nb::str("Downloading..."));
    log_info(concat({nb::str("\tcloud url: "), cloud_url}));
    log_info(concat({nb::str("\ttar.xz file: "), local_file}));

    nb::object response = global("requests").attr("get")(cloud_url, nb::arg("stream") = true,
                                                         nb::arg("timeout") = global("DOWNLOAD_MODEL_TIMEOUT"));
    ScopedClose closer(response);
    nb::object status = response.attr("status_code");
    if (!status.equal(nb::int_(200))) {
        log_warning(concat({nb::str("failed downloading status code: "), text_of(status)}));
        return nb::bool_(false);
    }
    nb::object headers = response.attr("headers");
    nb::object total = take(PyNumber_Long(headers.attr("get")("Content-Length", 0).ptr()));
    Progress progress(total);
    bool encoded = body_is_encoded(headers);

    std::string target = fs_path(local_file);
    PartFile part(target);
    long long downloaded = 0;
    nb::object chunks = take(PyObject_GetIter(response.attr("iter_content")(nb::arg("chunk_size") = kChunkSize).ptr()));
    while (PyObject *item = PyIter_Next(chunks.ptr())) {
        nb::object chunk = nb::steal(item);
        Py_buffer view;
        if (PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_SIMPLE) != 0)
            throw nb::python_error();
        try {
            part.write_all(static_cast<const char *>(view.buf), static_cast<std::size_t>(view.len));
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        downloaded += view.len;
        PyBuffer_Release(&view);
        if (progress.active())
            if (auto line = progress.update(downloaded))
                log_info(*line);
    }
    if (PyErr_Occurred())
        throw nb::python_error();

    // A connection that ends early is a failed download, not a short model.
    if (!encoded && nb::int_(downloaded) < total) {
        PyErr_Format(PyExc_OSError, "incomplete download: received %lld of %S bytes", downloaded, total.ptr());
        throw nb::python_error();
    }
    part.commit();
    return nb::bool_(true);
}

nb::object download_file_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto values = bind_call<2>("download_file", {"cloud_url", "local_file"}, args, nargs, kwnames);
    require_str(values[0], "cloud_url");
    require_str(values[1], "local_file");
    return fetch_to_file(values[0], values[1]);
}

} // namespace

void export_download(nb::module_ &m) {
    m.attr("download_file") = make_method(
        {"download_file", "download_file", kModule,
         "Stream the body of ``cloud_url`` into ``local_file`` in chunks of 1 MiB, logging the "
         "progress every 5 percent. Returns False when the server answers with a status other than "
         "200 (``local_file`` untouched) and True once the whole body is in ``local_file``. Other "
         "failures, a body shorter than its Content-Length included, are raised; ``local_file`` is "
         "then left as it was.",
         "(cloud_url, local_file)", {{"cloud_url", "str"}, {"local_file", "str"}, {"return", "bool"}},
         vectorcall_entry<download_file_impl>});
}

} // namespace quillo::fetch
