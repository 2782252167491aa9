// download_detection_model: model identifier to model directory, retried once
// a second within DOWNLOAD_MODEL_TIMEOUT seconds.
#include "fetch/fetch.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"

namespace quillo::fetch {

namespace {

void pause() { global("time").attr("sleep")(1); }

nb::object now() { return global("time").attr("time")(); }

nb::object fetch_model(nb::handle model_id) {
    nb::object start = now();
    nb::object model_dir = nb::none();
    log_info(nb::str("Download model"));
    while (now() - start < global("DOWNLOAD_MODEL_TIMEOUT")) {
        nb::object model_url = global("get_model_url")(model_id);
        bool retry_now = false;
        catch_ordinary(
            [&]() -> nb::object {
                if (!truth(model_url)) {
                    pause();
                    retry_now = true;
                    return nb::none();
                }
                model_dir = global("download_url")(nb::arg("cloud_url") = model_url);
                return nb::none();
            },
            [](nb::handle exc) -> nb::object {
                log_warning(concat({nb::str("Failed download quillo model: "), text_of(exc)}));
                return nb::none();
            });
        if (!model_dir.is_none())
            break;
        if (!retry_now)
            pause();
    }
    return model_dir;
}

nb::object download_detection_model_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *model_id = bind_call<1>("download_detection_model", {"model_id"}, args, nargs, kwnames)[0];
    require_str(model_id, "model_id");
    if (nb::handle(model_id).equal(global("MODEL_TYPE").attr("INTERNAL")))
        return nb::borrow(model_id);
    return fetch_model(model_id);
}

} // namespace

void export_flow(nb::module_ &m) {
    m.attr("download_detection_model") = make_method(
        {"download_detection_model", "download_detection_model", kModule,
         "Return the local directory of the model ``model_id`` (a model key or a direct URL), "
         "fetching and unpacking it if needed, with an attempt every second for up to "
         "``DOWNLOAD_MODEL_TIMEOUT`` seconds; None when that budget runs out. "
         "``MODEL_TYPE.INTERNAL`` is returned as it is.",
         "(model_id)", {{"model_id", "str"}, {"return", "str | None"}}, vectorcall_entry<download_detection_model_impl>});
}

} // namespace quillo::fetch
