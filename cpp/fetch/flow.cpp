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

#include <optional>

namespace quillo::fetch {

namespace {

void pause() { global("time").attr("sleep")(1); }

nb::object now() { return global("time").attr("time")(); }

bool is_refusal(Failure failure) {
    return failure == Failure::token_rejected || failure == Failure::unknown_key ||
           failure == Failure::download_refused || failure == Failure::unsafe ||
           failure == Failure::integrity;
}

const char *failure_kind(Failure failure) {
    switch (failure) {
    case Failure::unreachable: return "unreachable";
    case Failure::token_rejected: return "token_rejected";
    case Failure::unknown_key: return "unknown_key";
    case Failure::download_refused: return "download_refused";
    case Failure::unsafe: return "unsafe";
    case Failure::integrity: return "integrity";
    default: return "failed";
    }
}

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
};

nb::object fetch_model(nb::handle model_id, const Options &options) {
    bool by_key = PyUnicode_Tailmatch(model_id.ptr(), nb::str("http").ptr(), 0, PY_SSIZE_T_MAX, -1) != 1;
    nb::object start = now();
    nb::object model_dir = nb::none();
    struct OutcomeReset {
        ~OutcomeReset() { clear_outcome(); }  // the attempts' references end with the flow
    } reset_at_end;
    log_info(nb::str("Download model"));
    while (now() - start < global("DOWNLOAD_MODEL_TIMEOUT")) {
        clear_outcome();
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
        if (no_url && by_key && outcome_now.failure == Failure::unreachable) {
            nb::object on_disk = model_on_disk(model_id);
            if (!on_disk.is_none()) {
                log_warning(concat({nb::str("Backend unreachable, using the model on disk: "), on_disk}));
                return on_disk;
            }
        }
        Failure failure = outcome_now.failure;
        if (!options.on_failure.is_none()) {
            nb::object status = outcome_now.status.is_valid() ? outcome_now.status : nb::none();
            nb::object message = outcome_now.message.is_valid() ? outcome_now.message : nb::none();
            options.on_failure(global("FetchFailure")(nb::str(failure_kind(failure)), status, message));
        }
        if (options.fail_fast && is_refusal(failure))
            break;
        pause();
    }
    return model_dir;
}

nb::object download_detection_model_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"model_id", "fail_fast", "progress", "on_failure"};
    PyObject *values[4] = {};
    if (!bind_arguments({"download_detection_model", names, 4, 1, 1}, args, nargs, kwnames, values))
        throw nb::python_error();
    PyObject *model_id = values[0];
    require_str(model_id, "model_id");
    Options options;
    options.fail_fast = values[1] && truth(values[1]);
    options.progress = values[2] ? nb::handle(values[2]) : nb::handle(Py_None);
    options.on_failure = values[3] ? nb::handle(values[3]) : nb::handle(Py_None);
    if (nb::handle(model_id).equal(global("MODEL_TYPE").attr("INTERNAL")))
        return nb::borrow(model_id);
    return fetch_model(model_id, options);
}

} // namespace

void export_flow(nb::module_ &m) {
    m.attr("FetchFailure") = nb::module_::import_("collections").attr("namedtuple")(
        "FetchFailure", nb::make_tuple("kind", "status", "message"), nb::arg("module") = kModule);
    m.attr("FetchFailure").attr("__doc__") =
        "Why one attempt of download_detection_model failed: ``kind`` is \"token_rejected\" (401/403 from "
        "the model-URL endpoint), \"unknown_key\" (404 there), \"unreachable\" (backend not reachable or "
        "5xx), \"download_refused\" (401/403/404 from the download), \"unsafe\" (archive refused), "
        "\"integrity\" (archive unlike the SHA-256 its URL names) or \"failed\"; ``status`` the HTTP "
        "status behind it or None; ``message`` the warning logged.";
    m.attr("download_detection_model") = make_method(
        {"download_detection_model", "download_detection_model", kModule,
         "Return the local directory of the model ``model_id`` (a model key or a direct URL), "
         "fetching and unpacking it if needed, with an attempt every second for up to "
         "``DOWNLOAD_MODEL_TIMEOUT`` seconds; None when that budget runs out. "
         "``MODEL_TYPE.INTERNAL`` is returned as it is. A key fetched before is found on disk when the "
         "backend cannot be reached. With ``fail_fast``, a refusal (401, 403, 404, an unsafe archive "
         "or a digest mismatch) ends the attempts at once with None. ``progress(bytes_done, "
         "bytes_total)`` follows the download; ``on_failure(FetchFailure)`` is called after every "
         "failed attempt.",
         "(model_id, *, fail_fast=False, progress=None, on_failure=None)",
         {{"model_id", "str"}, {"fail_fast", "bool"}, {"progress", "Callable[[int, int | None], object] | None"},
          {"on_failure", "Callable[[FetchFailure], object] | None"}, {"return", "str | None"}},
         vectorcall_entry<download_detection_model_impl>});
}

} // namespace quillo::fetch
