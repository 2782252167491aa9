// Shared pieces of the model fetcher: the module namespace, logging through the
// module's logger, the catch-all guard of the public functions and the export
// hooks of each concern.
#pragma once

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/module_attr.hpp"
#include "common/py_ops.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
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
// Also remembers `message` as the reason of the current attempt (see Outcome).
void log_warning(nb::handle message);

// Why the latest step of the calling thread failed, for the retrying flow to
// decide on (refusals end the attempts, an unreachable backend falls back to
// the model on disk) and to tell its caller. Each thread has its own; the
// flow clears it before each attempt. Functions substituted on the module set
// nothing, and their failures count as ordinary ones.
enum class Failure {
    none,
    failed,            // anything not below: worth another attempt
    token_missing,     // no readable token file
    token_rejected,    // model-URL endpoint said 401 or 403
    unknown_key,       // model-URL endpoint said 404
    unreachable,       // server not reachable: connection refused, name lookup, connect time-out, 5xx
    timeout,           // an answer not whole within its time-out, or a download that stalled
    download_refused,  // download said 401, 403 or 404
    unsafe,            // archive refused: a member out of place, or past MAX_MODEL_BYTES
    bad_archive,       // not an xz-compressed tar
    lock_busy,         // another fetch of the model kept its lock past the time allowed to wait
    deadline,          // the caller's deadline ended a request or a download
    integrity,         // the archive's SHA-256 differs from the one its URL names
};

struct Outcome {
    Failure failure = Failure::none;
    nb::object status;   // the HTTP status behind it, or None
    nb::object message;  // the latest warning logged, or None
    nb::object host;     // host[:port] of the URL involved, or None
    nb::object file;     // the local file involved, or None
    nb::object reason;   // the system-level cause of a failed request in a few words, or None
};

Outcome &outcome();
// Records `failure` (with `status`, an int or None) unless a more telling one
// is already recorded for this attempt; the host of `url` and `file` fill in
// what the record does not name yet.
void note_failure(Failure failure, nb::handle status = nb::none(), nb::handle url = nb::none(),
                  nb::handle file = nb::none());
void clear_outcome();
// Records what a failed request's error (`exc` from requests or urllib3) to
// `url` tells: its kind of failure and, behind it, the system's reason.
void note_request_error(nb::handle exc, nb::handle url);

using Clock = std::chrono::steady_clock;

inline Clock::time_point seconds_from_now(double seconds) {
    // A billion seconds is as good as never, and keeps the arithmetic in range.
    seconds = seconds != seconds ? 0.0 : std::clamp(seconds, -1e9, 1e9);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The time limits of the calling thread's download_detection_model, which the
// functions it calls keep to. Outside it there are none.
struct TimeLimits {
    std::optional<Clock::time_point> budget_end;  // the retry budget's end: no lock is waited for past it
    std::optional<Clock::time_point> deadline;    // the caller's: nothing waits past it
};

TimeLimits &time_limits();
bool deadline_passed();
// Seconds left before the deadline, or nothing without one.
std::optional<double> seconds_left();

// GET of `url` with the module's requests, `options` (headers, stream, ...)
// passed on. The answer's headers must be whole within `within` seconds of the
// request (with `whole`, its body too), and each wait for data lasts at most
// `per_read` seconds; nothing waits past the deadline.
nb::object http_get(nb::handle url, double within, bool whole, nb::handle per_read, nb::dict options);

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

// An exclusive flock on `path` (created if missing, never through a link),
// held for the scope.
// The wait happens without the host's lock; signals are honoured meanwhile.
// It lasts until the budget or the deadline ends, or, outside
// download_detection_model, DOWNLOAD_MODEL_TIMEOUT seconds; then OSError
// naming the lock (a lock_busy failure).
class FileLock {
public:
    explicit FileLock(const std::string &path);
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    ~FileLock();

private:
    int fd_ = -1;
};

// A hidden name beside `path`: "." + its last component + `suffix`; a name too
// long for the file system is replaced by a hash of it.
std::string hidden_beside(const std::string &path, const std::string &suffix);

// Numeric module settings read at call time.
double setting_seconds(const char *name);
// MAX_MODEL_BYTES: -1 for no limit (None).
long long max_model_bytes();
// Space that unpacking and downloading leave free on the model directory's
// file system.
constexpr long long kReservedBytes = 64LL << 20;
// Raises OSError naming the limit when `more` bytes (making `total` in all)
// would pass MAX_MODEL_BYTES or leave less than kReservedBytes free in `dir`.
// `what` names the thing written ("download", "archive member x").
void check_room(const std::string &dir, long long more, long long total, const std::string &what);

// The record of which model directory each model key gave, under BASE_MODEL_DIR.
constexpr const char *kModelRecord = ".model-keys.json";

// While alive, _safe_extract on this thread also refuses members that would
// land in an existing entry of `save_dir` other than `model_name`: another
// model's directory, or the fetcher's own files.
class OwnModelOnly {
public:
    OwnModelOnly(const std::string &save_dir, const std::string &model_name);
    OwnModelOnly(const OwnModelOnly &) = delete;
    OwnModelOnly &operator=(const OwnModelOnly &) = delete;
    ~OwnModelOnly();

private:
    std::shared_ptr<const void> scope_;
    const void *outer_;
};

// The host's Exception "Attempted path traversal in tar archive: <name>",
// the refusal of an unsafe archive.
[[noreturn]] void refuse_member(nb::handle name);

// The decompressed tar stream `source` as the tar library reads it: every
// header block is judged (TarStreamWatch) before the library sees it, and a
// record past its cap refuses the archive as refuse_member does. While the
// object lives, _safe_extract on this thread counts the records it has passed
// (long names, pax headers) with the members' data against MAX_MODEL_BYTES.
class WatchedTarStream {
public:
    explicit WatchedTarStream(nb::handle source);
    WatchedTarStream(const WatchedTarStream &) = delete;
    WatchedTarStream &operator=(const WatchedTarStream &) = delete;
    ~WatchedTarStream();
    // The file object to open the archive on.
    const nb::object &reader() const { return reader_; }
    // Records passed by the stream being read on this thread (0 without one).
    static long long record_bytes();

private:
    struct State;
    std::shared_ptr<State> state_;
    nb::object reader_;
    const State *outer_;
};

// The SHA-256 a download URL names for its archive in its fragment
// ("#sha256=<hex>", alone or among "&"-separated items, as package indexes
// write it), in lower case; "" when it names none. A malformed or a second,
// different one raises ValueError.
std::string url_sha256(nb::handle url);
// The URL as it goes to the server: without its fragment.
nb::object url_without_fragment(nb::handle url);
// `url` naming `sha256` (text of 64 hex digits, else ValueError) in its fragment.
nb::object url_naming_sha256(nb::handle url, nb::handle sha256);
// Raises OSError naming both digests, an integrity failure of `file`, when they differ.
void check_sha256(const std::string &expected, const std::string &actual, nb::handle file);

// hashlib's SHA-256 of the pieces added, in order. Each piece is hashed as it
// arrives, on the calling thread (the kit starts none); hashlib lets go of the
// host's lock while it hashes a large piece.
class StreamDigest {
public:
    StreamDigest();
    void add(nb::handle piece);
    // Adds the first `size` bytes of the file at `path`.
    void add_file(const std::string &path, long long size);
    // The digest of everything added, in lower-case hex.
    std::string hexdigest();

private:
    nb::object hasher_, update_;
};

// The SHA-256 of the file at `path`.
std::string file_sha256(const std::string &path);

// Export hooks, one per concern.
void export_token_url(nb::module_ &m);
void export_download(nb::module_ &m);
void export_extract(nb::module_ &m);
void export_archive(nb::module_ &m);
void export_model_type(nb::module_ &m);
void export_flow(nb::module_ &m);

} // namespace quillo::fetch
