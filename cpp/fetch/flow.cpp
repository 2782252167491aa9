// download_detection_model: model identifier to model directory, retried once
// a second within DOWNLOAD_MODEL_TIMEOUT seconds.
//
// A model fetched by key is remembered under BASE_MODEL_DIR (key -> model
// directory), so a device that boots while the backend is unreachable still
// finds the model it has on disk.
#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"

#include <algorithm>
#include <optional>

namespace quillo::fetch {

namespace {

// The pause between attempts, cut short by the deadline.
void pause() {
    std::optional<double> left = seconds_left();
    if (!left)
        global("time").attr("sleep")(1);
    else if (*left > 0)
        global("time").attr("sleep")(std::min(1.0, *left));
}

nb::object now() { return global("time").attr("time")(); }

bool is_refusal(Failure failure) {
    return failure == Failure::token_rejected || failure == Failure::unknown_key ||
           failure == Failure::download_refused || failure == Failure::unsafe ||
           failure == Failure::token_missing || failure == Failure::bad_archive ||
           failure == Failure::integrity;
}

const char *failure_kind(Failure failure) {
    switch (failure) {
    case Failure::unreachable: return "unreachable";
    case Failure::token_rejected: return "token_rejected";
    case Failure::unknown_key: return "unknown_key";
    case Failure::download_refused: return "download_refused";
    case Failure::unsafe: return "unsafe";
    case Failure::token_missing: return "token_missing";
    case Failure::timeout: return "timeout";
    case Failure::bad_archive: return "bad_archive";
    case Failure::lock_busy: return "lock_busy";
    case Failure::deadline: return "deadline";
    case Failure::integrity: return "integrity";
    default: return "failed";
    }
}

// Makes the limits of one call the thread's for its duration.
class LimitsScope {
public:
    explicit LimitsScope(std::optional<Clock::time_point> deadline) : saved_(time_limits()) {
        time_limits() = TimeLimits{std::nullopt, deadline};
    }
    LimitsScope(const LimitsScope &) = delete;
    LimitsScope &operator=(const LimitsScope &) = delete;
    ~LimitsScope() { time_limits() = saved_; }

private:
    TimeLimits saved_;
};

// The key record: a JSON object of model key -> directory name below
// BASE_MODEL_DIR.
struct Record {
    nb::object save_dir;  // BASE_MODEL_DIR as text
    std::string path, lock;

    Record() : save_dir(nb::steal(PyOS_FSPath(global("BASE_MODEL_DIR").ptr()))) {
        if (!save_dir.is_valid())
            throw nb::python_error();
        path = path_join(fs_path(save_dir), kModelRecord);
        lock = hidden_beside(path, ".lock");
    }

    // A record larger than this is not read: damaged, or not the fetcher's.
    static constexpr std::size_t kMaxBytes = 1 << 20;

    // The entries on disk; an unreadable, oversized or damaged record counts as empty.
    nb::dict load() const {
        nb::dict entries;
        std::optional<std::string> text = read_head(path, kMaxBytes + 1);
        if (!text || text->size() > kMaxBytes)
            return entries;
        catch_ordinary(
            [&]() -> nb::object {
                nb::object data = global("json").attr("loads")(nb::bytes(text->data(), text->size()));
                if (PyDict_Check(data.ptr()))
                    entries = nb::borrow<nb::dict>(data);
                return nb::none();
            },
            [](nb::handle) { return nb::none(); });
        return entries;
    }

    // The one rule for a name in the record, on writing and on reading: a
    // directory directly below BASE_MODEL_DIR (not a link to one elsewhere)
    // that exists, and none of the fetcher's own hidden entries. The model
    // directory it names, or None.
    nb::object model_dir(nb::handle name) const {
        if (!PyUnicode_Check(name.ptr()) || PyUnicode_GetLength(name.ptr()) == 0 ||
            PyUnicode_FindChar(name.ptr(), 0, 0, PY_SSIZE_T_MAX, 1) != -1)
            return nb::none();
        std::string bytes = fs_path(name);
        if (bytes.front() == '.' || bytes.find('/') != std::string::npos ||
            !is_real_dir(path_join(fs_path(save_dir), bytes)))
            return nb::none();
        return global("os").attr("path").attr("join")(save_dir, name);
    }
};

// The model directory recorded for `model_id`, when it is still there.
nb::object model_on_disk(nb::handle model_id) {
    Record record;
    nb::dict entries = record.load();
    return entries.contains(model_id) ? record.model_dir(entries[model_id]) : nb::none();
}

// Remembers that `model_id` gave `model_dir`, when the record's rule allows
// its name; the record is replaced whole.
void remember(nb::handle model_id, nb::handle model_dir) {
    Record record;
    nb::object name = global("os").attr("path").attr("basename")(model_dir);
    if (!record.model_dir(name).equal(model_dir))
        return;
    FileLock lock(record.lock);
    nb::dict entries = record.load();
    if (entries.contains(model_id) && entries[model_id].equal(name))
        return;
    entries[model_id] = name;
    replace_file(record.path, fs_path(global("json").attr("dumps")(entries, nb::arg("sort_keys") = true)));
}

struct Options {
    bool fail_fast = false;
    nb::handle progress, on_failure;
    std::optional<Clock::time_point> deadline;
};

nb::object fetch_model(nb::handle model_id, const Options &options) {
    bool by_key = PyUnicode_Tailmatch(model_id.ptr(), nb::str("http").ptr(), 0, PY_SSIZE_T_MAX, -1) != 1;
    LimitsScope limits(options.deadline);
    nb::object start = now();
    nb::object model_dir = nb::none();
    struct OutcomeReset {
        ~OutcomeReset() { clear_outcome(); }  // the attempts' references end with the flow
    } reset_at_end;
    log_info(nb::str("Download model"));
    while (now() - start < global("DOWNLOAD_MODEL_TIMEOUT") && !deadline_passed()) {
        clear_outcome();
        double budget_left = PyFloat_AsDouble((global("DOWNLOAD_MODEL_TIMEOUT") - (now() - start)).ptr());
        if (budget_left == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        time_limits().budget_end = seconds_from_now(budget_left);
        nb::object model_url = global("get_model_url")(model_id);
        bool no_url = false;
        catch_ordinary(
            [&]() -> nb::object {
                if (!truth(model_url)) {
                    no_url = true;
                    return nb::none();
                }
                nb::object download_url = global("download_url");
                model_dir = options.progress.is_none()
                                ? download_url(nb::arg("cloud_url") = model_url)
                                : download_url(nb::arg("cloud_url") = model_url, nb::arg("progress") = options.progress);
                return nb::none();
            },
            [](nb::handle exc) -> nb::object {
                log_warning(concat({nb::str("Failed download quillo model: "), text_of(exc)}));
                return nb::none();
            });
        if (!model_dir.is_none()) {
            if (by_key) {
                // The fetch succeeded; a record that cannot be written only costs the offline fallback.
                catch_ordinary([&] { remember(model_id, model_dir); return nb::none(); },
                               [](nb::handle) { return nb::none(); });
            }
            break;
        }
        Outcome &outcome_now = outcome();
        bool unanswered = outcome_now.failure == Failure::unreachable || outcome_now.failure == Failure::timeout ||
                          outcome_now.failure == Failure::deadline;
        if (no_url && by_key && unanswered) {
            nb::object on_disk = model_on_disk(model_id);
            if (!on_disk.is_none()) {
                log_warning(concat({nb::str("Backend unreachable, using the model on disk: "), on_disk}));
                return on_disk;
            }
        }
        Failure failure = outcome_now.failure;
        if (!options.on_failure.is_none()) {
            auto field = [](const nb::object &value) { return value.is_valid() ? value : nb::none(); };
            options.on_failure(global("FetchFailure")(nb::str(failure_kind(failure)), field(outcome_now.status),
                                                      field(outcome_now.message), field(outcome_now.host),
                                                      field(outcome_now.file), field(outcome_now.reason)));
        }
        if ((options.fail_fast && is_refusal(failure)) || deadline_passed())
            break;
        pause();
    }
    return model_dir;
}

nb::object download_detection_model_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"model_id", "fail_fast", "progress", "on_failure", "deadline"};
    PyObject *values[5] = {};
    if (!bind_arguments({"download_detection_model", names, 5, 1, 1}, args, nargs, kwnames, values))
        throw nb::python_error();
    PyObject *model_id = values[0];
    require_str(model_id, "model_id");
    Options options;
    options.fail_fast = values[1] && truth(values[1]);
    options.progress = values[2] ? nb::handle(values[2]) : nb::handle(Py_None);
    options.on_failure = values[3] ? nb::handle(values[3]) : nb::handle(Py_None);
    if (values[4] && values[4] != Py_None) {
        if ((!PyLong_Check(values[4]) && !PyFloat_Check(values[4])) || PyBool_Check(values[4])) {
            PyErr_Format(PyExc_TypeError, "deadline must be a number of seconds or None, not %.200s",
                         Py_TYPE(values[4])->tp_name);
            throw nb::python_error();
        }
        double seconds = PyFloat_AsDouble(values[4]);
        if (seconds == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        if (!(seconds >= 0)) {
            PyErr_SetString(PyExc_ValueError, "deadline must not be negative");
            throw nb::python_error();
        }
        options.deadline = seconds_from_now(seconds);
    }
    if (nb::handle(model_id).equal(global("MODEL_TYPE").attr("INTERNAL")))
        return nb::borrow(model_id);
    return fetch_model(model_id, options);
}

} // namespace

void export_flow(nb::module_ &m) {
    m.attr("FetchFailure") = nb::module_::import_("collections").attr("namedtuple")(
        "FetchFailure", nb::make_tuple("kind", "status", "message", "host", "file", "reason"), nb::arg("module") = kModule);
    m.attr("FetchFailure").attr("__doc__") =
        "Why one attempt of download_detection_model failed. ``kind`` is one of \"token_missing\" (no "
        "readable token file), \"token_rejected\" (401/403 from the model-URL endpoint), \"unknown_key\" "
        "(404 there), \"unreachable\" (connection refused, name lookup, connect time-out, 5xx), \"timeout\" "
        "(an answer not whole within its time-out, a stalled download), \"download_refused\" (401/403/404 "
        "from the download), \"unsafe\" (archive refused), \"bad_archive\" (not an xz-compressed tar), "
        "\"integrity\" (archive unlike the SHA-256 its URL names), "
        "\"lock_busy\" (another fetch of the model kept its lock until the budget or deadline ended), "
        "\"deadline\" (the caller's deadline ended a request or a download; a download's partial file is "
        "kept for the next call to resume) or \"failed\". ``status`` is the HTTP status behind it or None, "
        "``message`` the warning logged, ``host`` the host[:port] of the URL involved or None, ``file`` "
        "the local file involved (token file, archive, lock) or None, ``reason`` the system's reason for a "
        "failed request in a few words (\"connection refused\", \"connection reset\", \"no route to host\", "
        "\"network unreachable\", \"name lookup failed\", \"TLS failed\") or None.";
    m.attr("download_detection_model") = make_method(
        {"download_detection_model", "download_detection_model", kModule,
         "Return the local directory of the model ``model_id`` (a model key or a direct URL), "
         "fetching and unpacking it if needed, with an attempt every second for up to "
         "``DOWNLOAD_MODEL_TIMEOUT`` seconds; None when that budget runs out. "
         "``MODEL_TYPE.INTERNAL`` is returned as it is. A key fetched before is found on disk when the "
         "backend does not answer. No answer's headers may take longer than its request's time-out, "
         "and no other fetch's lock is waited for past the budget. With ``fail_fast``, a refusal (no "
         "token file, 401, 403, 404, an unsafe or broken archive, a digest mismatch) ends the attempts "
         "at once with None. "
         "``deadline`` (seconds) bounds the whole call: no wait outlasts it, and a download it cuts "
         "keeps its partial file for the next call to resume. ``progress(bytes_done, bytes_total)`` "
         "follows the download; ``on_failure(FetchFailure)`` is called after every failed attempt.",
         "(model_id, *, fail_fast=False, progress=None, on_failure=None, deadline=None)",
         {{"model_id", "str"}, {"fail_fast", "bool"}, {"progress", "Callable[[int, int | None], object] | None"},
          {"on_failure", "Callable[[FetchFailure], object] | None"}, {"deadline", "float | None"},
          {"return", "str | None"}},
         vectorcall_entry<download_detection_model_impl>});
}

} // namespace quillo::fetch
