// Shortcuts past the documented C API, and how each one is chosen.
//
// Some hot paths read a private layout of the interpreter or of a library the
// kit did not build. Each such shortcut has a twin that uses only documented
// API and gives the same results, slower. At import, every shortcut runs a
// self-check on live objects; only a passing check selects the fast twin, and
// a failing one never fails the import. QUILLO_SDK_PORTABLE=1 (read through
// quillo_sdk.constants.PORTABLE) selects every documented twin.
//
// The verdicts are kept in each module's `_shortcuts` attribute as
// {name: (enabled, reason)}, reason None when enabled; `quillo info` shows them.
//
// Every shortcut, what it assumes and how that is checked:
//
// name                module     assumes / checked by
// ------------------  ---------  ---------------------------------------------------
// (each shortcut adds its row here when it moves behind this seam)
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>

namespace quillo::shortcuts {

namespace nb = nanobind;

// Whether the documented twins are forced; read once from quillo_sdk.constants.
bool portable();

// Decides the shortcut `name` of `module` at import: runs `check` unless the
// twins are forced and records the verdict in `module._shortcuts`. `check`
// returns an empty string when the shortcut holds, else why it does not; an
// exception it throws counts as a failed check with the exception's text.
// Returns whether the fast twin may be used.
bool choose(nb::handle module, const char *name, const std::function<std::string()> &check);

// Records a shortcut that was decided without a check of its own (for example
// one that depends on another's verdict).
void record(nb::handle module, const char *name, bool enabled, const std::string &reason);

} // namespace quillo::shortcuts
