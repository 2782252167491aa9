// The names an extension module binds at import (other packages' functions and
// constants) live in its own namespace and are looked up there at call time,
// as in a Python module, so applications and tests can substitute them.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo {

namespace nb = nanobind;

class ModuleNamespace {
public:
    // Called once from the module's initialisation; the module outlives every call.
    void bind(nb::handle module) { module_ = module; }

    nb::object get(const char *name) const { return module_.attr(name); }

private:
    nb::handle module_;
};

// Imports `module` and returns its attribute `name` (ImportError/AttributeError as Python would).
inline nb::object import_name(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

} // namespace quillo
