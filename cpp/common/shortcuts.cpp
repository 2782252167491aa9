#include "common/shortcuts.hpp"

#include <exception>

namespace quillo::shortcuts {

namespace {

nb::dict registry(nb::handle module) {
    if (!nb::hasattr(module, "_shortcuts"))
        module.attr("_shortcuts") = nb::dict();
    return nb::borrow<nb::dict>(module.attr("_shortcuts"));
}

} // namespace

bool portable() {
    static const bool forced = nb::cast<bool>(nb::module_::import_("quillo_sdk.constants").attr("PORTABLE"));
    return forced;
}

void record(nb::handle module, const char *name, bool enabled, const std::string &reason) {
    nb::object why = enabled ? nb::none() : nb::object(nb::str(reason.c_str(), reason.size()));
    registry(module)[name] = nb::make_tuple(enabled, why);
}

bool choose(nb::handle module, const char *name, const std::function<std::string()> &check) {
    std::string reason;
    if (portable()) {
        reason = "QUILLO_SDK_PORTABLE is set";
    } else {
        try {
            reason = check();
        } catch (const nb::python_error &e) {
            reason = e.what();  // the error is owned by `e` and dropped with it
        } catch (const std::exception &e) {
            reason = e.what();
        }
        if (PyErr_Occurred())
            PyErr_Clear();
    }
    bool enabled = reason.empty();
    record(module, name, enabled, reason);
    return enabled;
}

} // namespace quillo::shortcuts
