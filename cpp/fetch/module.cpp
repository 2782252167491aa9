// quillo_sdk.model.fetch: device token, model URL, streaming download, safe
// unpacking and model type detection for detection models.
//
// Like a Python module, it keeps what it imports (settings, libraries) as its
// own attributes, and every function reads them, and its sibling functions,
// from there at call time: applications and tests substitute them with
// setattr.
#include "fetch/fetch.hpp"

#include "common/module_attr.hpp"

namespace nb = nanobind;

NB_MODULE(fetch, m) {
    using namespace quillo::fetch;
    using quillo::import_name;
    module_ns.bind(m);

    m.attr("os") = nb::module_::import_("os");
    m.attr("json") = nb::module_::import_("json");
    m.attr("hashlib") = nb::module_::import_("hashlib");
    m.attr("time") = nb::module_::import_("time");
    m.attr("lzma") = nb::module_::import_("lzma");
    m.attr("tarfile") = nb::module_::import_("tarfile");
    m.attr("requests") = nb::module_::import_("requests");
    m.attr("magic") = nb::module_::import_("magic");
    m.attr("urlparse") = import_name("urllib.parse", "urlparse");
    m.attr("urlsplit") = import_name("urllib.parse", "urlsplit");
    m.attr("urljoin") = import_name("urllib.parse", "urljoin");

    m.attr("get_logger") = import_name("quillo_sdk.logging", "get_logger");
    m.attr("MODEL_TYPE") = import_name("quillo_sdk.constants", "MODEL_TYPE");
    m.attr("BASE_MODEL_DIR") = import_name("quillo_sdk.constants", "BASE_MODEL_DIR");
    m.attr("MODEL_URL") = import_name("quillo_sdk.constants", "MODEL_URL");
    m.attr("TOKEN_FILE") = import_name("quillo_sdk.constants.variables", "TOKEN_FILE");
    m.attr("MAX_MODEL_BYTES") = import_name("quillo_sdk.constants", "MAX_MODEL_BYTES");

    m.attr("DOWNLOAD_MODEL_TIMEOUT") = 300;
    // A body slower than LOW_SPEED_LIMIT bytes/s for LOW_SPEED_TIME s has stalled.
    m.attr("LOW_SPEED_LIMIT") = 1024;
    m.attr("LOW_SPEED_TIME") = 60;
    m.attr("logger") = m.attr("get_logger")("MODEL");
    m.attr("fm") = m.attr("magic").attr("Magic")(nb::arg("mime") = false, nb::arg("uncompress") = false);

    export_token_url(m);
    export_download(m);
    export_extract(m);
    export_archive(m);
    export_model_type(m);
    export_flow(m);
}
