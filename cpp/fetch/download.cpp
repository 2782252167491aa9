// download_file: one HTTP body streamed to disk in chunks of 1 MiB, with a
// progress line every 5 percent. The body goes to a hidden partial file beside
// the destination, which takes the destination's name only once the body is
// complete, so a failed download never leaves a partial file there. A broken
// body that can be resumed keeps its partial file, and the next call asks for
// the rest.
#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::fetch {

namespace {

constexpr Py_ssize_t kChunkSize = 1048576;

// A validator that can go out again as an If-Range header, on writing the
// resume record and on reading it back: at most 1 KiB of visible ASCII,
// blanks and tabs.
bool sendable_validator(const std::string &text) {
    if (text.empty() || text.size() > 1024)
        return false;
    for (unsigned char c : text)
        if (c != '\t' && (c < 0x20 || c > 0x7e))
            return false;
    return true;
}

using Clock = std::chrono::steady_clock;

// The partial download of `target`, kept hidden beside it between attempts
// with what is needed to ask for the rest: the full length and the first
// response's validator (ETag, else Last-Modified). Without a validator there
// is nothing to resume against, and the partial file goes with a failure.
class Partial {
public:
    explicit Partial(const std::string &target)
        : target_(target), path_(hidden_beside(target, ".partial")), meta_path_(path_ + ".meta") {
        load();
    }
    Partial(const Partial &) = delete;
    Partial &operator=(const Partial &) = delete;
    ~Partial() {
        if (fd_ >= 0)
            close(fd_);
        if (!committed_ && (!resumable_ || discard_))
            forget();
    }

    // Bytes present that a ranged request may continue from (0: none).
    long long resumable_size() const { return resumable_ ? have_ : 0; }
    // Whether what is written stays for a later call to resume.
    bool resumable() const { return resumable_ && !discard_; }
    long long total() const { return total_; }
    const std::string &path() const { return path_; }
    const std::string &validator() const { return validator_; }

    // Starts the file anew for a body of `total` bytes (0: unknown) with
    // `validator` ("" for none: not resumable).
    void start_over(long long total, const std::string &validator) {
        forget();
        // What opening `target` itself would have refused, refused under its name.
        if (is_dir(target_))
            raise_os_error(EISDIR, target_);
        open_file(O_CREAT | O_EXCL);
        total_ = total;
        validator_ = validator;
        have_ = 0;
        resumable_ = total > 0 && !validator.empty();
        if (resumable_)
            save_meta();
    }

    // Appends to the bytes present.
    void continue_file() {
        open_file(O_APPEND);
        struct stat st;
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != have_) {
            PyErr_Format(PyExc_OSError, "partial download changed while resuming: %s", path_.c_str());
            discard();
            throw nb::python_error();
        }
    }

    // Drops the partial file even where it could be resumed (a body that does
    // not fit, a mismatching answer).
    void discard() {
        discard_ = true;
        resumable_ = false;
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

    // The complete body takes the target's name.
    void commit() {
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0)
            raise_os_error(errno, path_);
        if (rename(path_.c_str(), target_.c_str()) != 0)
            raise_os_error(errno, target_);
        committed_ = true;
        unlink(meta_path_.c_str());
    }

private:
    static constexpr const char *kMagic = "quillo partial download 1";

    void forget() {
        unlink(meta_path_.c_str());
        unlink(path_.c_str());
        have_ = 0;
    }

    // Never through a link planted at the partial file's name.
    void open_file(int mode) {
        fd_ = open(path_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | mode, 0666);
        if (fd_ < 0)
            raise_os_error(errno, target_);
    }

    // Meta file: magic line, total length, validator. Anything else (a
    // validator that cannot be sent again included), or a partial file not
    // shorter than the total, means nothing to resume: the next start
    // discards it.
    void load() {
        std::optional<std::string> text = read_head(meta_path_, kMaxMeta + 1);
        if (!text || text->size() > kMaxMeta)
            return;
        std::istringstream meta(*text);
        std::string magic, total;
        if (!std::getline(meta, magic) || magic != kMagic || !std::getline(meta, total) ||
            !std::getline(meta, validator_) || !sendable_validator(validator_))
            return;
        char *end = nullptr;
        total_ = std::strtoll(total.c_str(), &end, 10);
        struct stat st;
        if (end == total.c_str() || *end || total_ <= 0 || lstat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        have_ = st.st_size;
        resumable_ = have_ > 0 && have_ < total_;
    }

    void save_meta() {
        replace_file(meta_path_, std::string(kMagic) + "\n" + std::to_string(total_) + "\n" + validator_ + "\n");
    }

    static constexpr std::size_t kMaxMeta = 4096;

    std::string target_, path_, meta_path_;
    std::string validator_;
    long long total_ = 0, have_ = 0;
    bool resumable_ = false, discard_ = false, committed_ = false;
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

// "bytes N-E/T" with E = T - 1: the rest of a body of T bytes from N on.
bool range_continues(nb::handle content_range, long long from, long long total) {
    if (content_range.is_none())
        return false;
    std::string text = fs_path(nb::str(content_range));
    long long first = -1, last = -1, length = -1;
    int used = 0;
    if (std::sscanf(text.c_str(), "bytes %lld-%lld/%lld%n", &first, &last, &length, &used) != 3 ||
        static_cast<std::size_t>(used) != text.size())
        return false;
    return first == from && length == total && last == total - 1;
}

// The validator a later attempt sends as If-Range: a strong ETag, else
// Last-Modified, else none.
std::string validator_of(nb::handle headers) {
    for (const char *name : {"ETag", "Last-Modified"}) {
        nb::object value = headers.attr("get")(name);
        if (value.is_none())
            continue;
        std::string text = fs_path(nb::str(value));
        if (text.compare(0, 2, "W/") != 0 && sendable_validator(text))
            return text;
    }
    return std::string();
}

// A ranged answer from a resource that changed its ETag meanwhile.
bool etag_changed(nb::handle headers, const std::string &validator) {
    if (validator.empty() || validator.front() != '"')
        return false;
    nb::object etag = headers.attr("get")("ETag");
    return !etag.is_none() && fs_path(nb::str(etag)) != validator;
}

// curl's --speed-limit/--speed-time: the body fails once its rate stays below
// LOW_SPEED_LIMIT bytes a second for LOW_SPEED_TIME seconds.
class StallWatch {
public:
    StallWatch() : limit_(setting_seconds("LOW_SPEED_LIMIT")), time_(setting_seconds("LOW_SPEED_TIME")) {}

    bool active() const { return limit_ > 0 && time_ > 0; }
    double seconds() const { return time_; }

    void start(long long bytes) {
        since_ = Clock::now();
        bytes_ = bytes;
    }

    void check(long long bytes) {
        if (!active())
            return;
        double elapsed = std::chrono::duration<double>(Clock::now() - since_).count();
        if (elapsed < time_)
            return;
        if (static_cast<double>(bytes - bytes_) < limit_ * elapsed)
            raise();
        start(bytes);
    }

    [[noreturn]] void raise() const {
        note_failure(Failure::timeout);
        PyErr_SetObject(PyExc_OSError,
                        concat({nb::str("download stalled: less than "), text_of(global("LOW_SPEED_LIMIT")),
                                nb::str(" bytes/s for "), text_of(global("LOW_SPEED_TIME")),
                                nb::str(" s (LOW_SPEED_LIMIT, LOW_SPEED_TIME)")})
                            .ptr());
        throw nb::python_error();
    }

private:
    double limit_, time_;
    Clock::time_point since_;
    long long bytes_ = 0;
};

bool is_read_timeout(const nb::python_error &e) {
    nb::object urllib3_errors = nb::module_::import_("urllib3.exceptions");
    nb::object socket_timeout = nb::module_::import_("socket").attr("timeout");
    return e.matches(urllib3_errors.attr("ReadTimeoutError")) || e.matches(socket_timeout) ||
           e.matches(global("requests").attr("exceptions").attr("Timeout"));
}

// Hands out the body in pieces of at most one chunk: with read1, whatever
// has arrived, so a trickling body is seen as it trickles; with an older
// urllib3 (no read1), whole chunks.
class BodyReader {
public:
    explicit BodyReader(nb::handle response) {
        nb::object raw = response.attr("raw");
        if (nb::hasattr(raw, "read1")) {
            read1_ = raw.attr("read1");
        } else {
            chunks_ = take(PyObject_GetIter(response.attr("iter_content")(nb::arg("chunk_size") = kChunkSize).ptr()));
        }
    }

    // The next piece, or nothing at the end of the body.
    std::optional<nb::object> next() {
        if (read1_.is_valid()) {
            nb::object piece = read1_(kChunkSize, nb::arg("decode_content") = true);
            if (!truth(piece))
                return std::nullopt;
            return piece;
        }
        PyObject *item = PyIter_Next(chunks_.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return std::nullopt;
        }
        return nb::steal(item);
    }

private:
    nb::object read1_, chunks_;
};

std::string parent_dir(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

nb::object fetch_to_file(nb::handle cloud_url, nb::handle local_file, nb::handle progress_callback) {
    log_info(nb::str("Downloading..."));
    log_info(concat({nb::str("\tcloud url: "), cloud_url}));
    log_info(concat({nb::str("\ttar.xz file: "), local_file}));

    std::string target = fs_path(local_file), dir = parent_dir(target);
    // The fragment, which may name the archive's digest, is not sent.
    std::string sha256 = url_sha256(cloud_url);
    nb::object request_url = url_without_fragment(cloud_url);
    Partial part(target);
    StallWatch stall;
    // Each wait for data lasts DOWNLOAD_MODEL_TIMEOUT, or less when a quieter
    // LOW_SPEED_TIME already means a stall.
    double within = setting_seconds("DOWNLOAD_MODEL_TIMEOUT");
    nb::object per_read = global("DOWNLOAD_MODEL_TIMEOUT");
    bool timeout_is_stall = stall.active() && stall.seconds() < within;
    if (timeout_is_stall)
        per_read = global("LOW_SPEED_TIME");

    // At most two requests: a ranged one for the rest of a partial download,
    // and the whole body when that answer does not continue it.
    nb::object response, status, headers;
    long long resume_from = part.resumable_size();
    for (;;) {
        nb::dict options;
        options["stream"] = true;
        if (resume_from > 0) {
            nb::dict request_headers;
            request_headers["Range"] = nb::str(("bytes=" + std::to_string(resume_from) + "-").c_str());
            request_headers["If-Range"] = fs_text(part.validator());
            options["headers"] = request_headers;
        }
        response = http_get(request_url, within, false, per_read, options);
        status = response.attr("status_code");
        headers = response.attr("headers");
        if (resume_from == 0 || status.equal(nb::int_(200)))
            break;
        bool continues = status.equal(nb::int_(206)) && !body_is_encoded(headers) &&
                         !etag_changed(headers, part.validator()) &&
                         range_continues(headers.attr("get")("Content-Range"), resume_from, part.total());
        if (continues)
            break;
        if (!status.equal(nb::int_(206)) && !status.equal(nb::int_(416))) {
            // Reported below. Asking for the same range again would meet the
            // same answer: the next attempt starts over.
            part.discard();
            break;
        }
        response.attr("close")();
        part.discard();
        resume_from = 0;
    }
    ScopedClose closer(response);
    bool resumed = resume_from > 0 && status.equal(nb::int_(206));
    if (!resumed)
        resume_from = 0;
    if (!resumed && !status.equal(nb::int_(200))) {
        Failure failure = Failure::failed;
        for (int refused : {401, 403, 404})
            if (status.equal(nb::int_(refused)))
                failure = Failure::download_refused;
        int server_error = PyObject_RichCompareBool(status.ptr(), nb::int_(500).ptr(), Py_GE);
        if (server_error < 0)
            throw nb::python_error();
        if (server_error)
            failure = Failure::unreachable;
        note_failure(failure, status, cloud_url, local_file);
        log_warning(concat({nb::str("failed downloading status code: "), text_of(status)}));
        return nb::bool_(false);
    }
    bool encoded = body_is_encoded(headers);
    nb::object total;
    if (resumed) {
        total = nb::int_(part.total());
    } else {
        total = take(PyNumber_Long(headers.attr("get")("Content-Length", 0).ptr()));
    }
    Progress progress(total);
    // Without a length (or with one of the encoded body) nothing tells the whole size.
    long long expected = 0;
    if (!encoded && PyLong_Check(total.ptr())) {
        int overflow = 0;
        expected = PyLong_AsLongLongAndOverflow(total.ptr(), &overflow);
        if (overflow || expected < 0)
            expected = overflow > 0 ? LLONG_MAX : 0;
    }
    nb::object reported_total = !encoded && expected > 0 ? total : nb::none();

    try {
        check_room(dir, expected - resume_from, expected, "download");
    } catch (...) {
        part.discard();
        throw;
    }
    if (resumed)
        part.continue_file();
    else
        part.start_over(encoded ? 0 : expected, encoded ? std::string() : validator_of(headers));
    // Hashed as it arrives; the part stored before, once, at the start.
    std::optional<StreamDigest> digest;
    if (!sha256.empty()) {
        digest.emplace();
        digest->add_file(part.path(), resume_from);
    }

    long long downloaded = resume_from;
    // Progress lines are judged after every 1 MiB of the body, as if it came in
    // chunks of that size, whatever pieces the connection hands out.
    long long next_mark = resume_from + kChunkSize, judged = resume_from;
    auto judge = [&](long long at) {
        judged = at;
        if (progress.active())
            if (auto line = progress.update(at))
                log_info(*line);
    };
    BodyReader body(response);
    stall.start(downloaded);
    for (;;) {
        std::optional<nb::object> piece;
        try {
            piece = body.next();
        } catch (nb::python_error &e) {
            if (deadline_passed()) {
                note_failure(Failure::deadline, nb::none(), cloud_url, local_file);
                std::string text = "download cut at the deadline after " + std::to_string(downloaded);
                if (expected > 0)
                    text += " of " + std::to_string(expected);
                text += part.resumable() ? " bytes, kept for the next call to resume" : " bytes";
                PyErr_SetString(PyExc_TimeoutError, text.c_str());
                throw nb::python_error();
            }
            if (timeout_is_stall && is_read_timeout(e))
                stall.raise();
            throw;
        }
        if (!piece)
            break;
        Py_buffer view;
        if (PyObject_GetBuffer(piece->ptr(), &view, PyBUF_SIMPLE) != 0)
            throw nb::python_error();
        long long size = view.len;
        try {
            // The rest of a file of known length: more is a failed download.
            if (resumed && downloaded + size > expected) {
                part.discard();
                PyErr_Format(PyExc_OSError, "download longer than announced: more than %lld bytes", expected);
                throw nb::python_error();
            }
            // A body longer than announced (or without a length) is held to the bounds as it comes.
            if (expected == 0 || downloaded + size > expected) {
                try {
                    check_room(dir, size, downloaded + size, "download");
                } catch (...) {
                    part.discard();
                    throw;
                }
            }
            if (digest)
                digest->add(*piece);
            part.write_all(static_cast<const char *>(view.buf), static_cast<std::size_t>(size));
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
        downloaded += size;
        while (next_mark <= downloaded) {
            judge(next_mark);
            next_mark += kChunkSize;
        }
        if (!progress_callback.is_none())
            progress_callback(nb::int_(downloaded), reported_total);
        stall.check(downloaded);
    }
    if (downloaded > judged)
        judge(downloaded);

    // A connection that ends early is a failed download, not a short model.
    if (!encoded && nb::int_(downloaded) < total) {
        PyErr_Format(PyExc_OSError, "incomplete download: received %lld of %S bytes", downloaded, total.ptr());
        throw nb::python_error();
    }
    if (digest) {
        std::string actual = digest->hexdigest();
        if (actual != sha256)
            part.discard();
        check_sha256(sha256, actual, local_file);
    }
    part.commit();
    return nb::bool_(true);
}

nb::object download_file_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"cloud_url", "local_file", "progress"};
    PyObject *values[3] = {};
    if (!bind_arguments({"download_file", names, 3, 2, 2}, args, nargs, kwnames, values))
        throw nb::python_error();
    require_str(values[0], "cloud_url");
    require_str(values[1], "local_file");
    return fetch_to_file(values[0], values[1], values[2] ? nb::handle(values[2]) : nb::handle(Py_None));
}

} // namespace

void export_download(nb::module_ &m) {
    m.attr("download_file") = make_method(
        {"download_file", "download_file", kModule,
         "Stream the body of ``cloud_url`` into ``local_file`` in chunks of 1 MiB, logging the "
         "progress every 5 percent. Returns False when the server answers with a status other than "
         "200 (``local_file`` untouched) and True once the whole body is in ``local_file``. Other "
         "failures, a body shorter than its Content-Length included, are raised; ``local_file`` is "
         "then left as it was. The answer's headers must arrive within ``DOWNLOAD_MODEL_TIMEOUT`` s of "
         "the request. A broken body whose server named an ETag or Last-Modified is kept "
         "hidden beside ``local_file`` and the next call asks for the rest (Range, If-Range). A body "
         "whose rate stays below ``LOW_SPEED_LIMIT`` bytes/s for ``LOW_SPEED_TIME`` s fails as "
         "stalled; one that would pass ``MAX_MODEL_BYTES`` or leave less than 64 MiB free fails before "
         "it is written. ``progress(bytes_done, bytes_total)`` is called after every piece written, "
         "counting the whole file; ``bytes_total`` is None without a length. A fragment of "
         "``cloud_url`` is not sent; when it names the body's digest (``#sha256=<hex>``) the body is "
         "hashed as it arrives, and one unlike it fails (OSError) and is not kept.",
         "(cloud_url, local_file, *, progress=None)",
         {{"cloud_url", "str"}, {"local_file", "str"},
          {"progress", "Callable[[int, int | None], object] | None"}, {"return", "bool"}},
         vectorcall_entry<download_file_impl>});
}

} // namespace quillo::fetch
