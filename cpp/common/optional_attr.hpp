// Reading an attribute that may be absent without raising (and then clearing)
// an AttributeError: most detections have no `info`, and building that error
// costs more than the rest of their filtering.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo::optional_attr {

namespace nb = nanobind;

// Decides the shortcut "optional_attr" of `module`; called once at import.
void choose(nb::handle module);

// `obj.name`, or an invalid object when the read raises AttributeError; any
// other error propagates.
nb::object get(PyObject *obj, PyObject *name);

} // namespace quillo::optional_attr
