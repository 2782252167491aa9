// Shallow copies of plain class instances, as copy.copy makes them, without
// its Python-level machinery: the class's attribute lookup for the copy hooks
// and a new instance that takes a copy of the original's attributes.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo::instance_copy {

namespace nb = nanobind;

// Decides the shortcuts "type_lookup" and "instance_dict" of `module`; called once at import.
void choose(nb::handle module);

// What `name` resolves to along the MRO of `type` (the class dicts only, no
// descriptor called); an invalid object when no class defines it.
nb::object type_lookup(PyTypeObject *type, PyObject *name);

// A new instance of the plain class `type` (object.__new__, instance dict,
// no __slots__) whose attributes are those of the mapping `attributes`.
nb::object new_with_attributes(PyTypeObject *type, PyObject *attributes);

} // namespace quillo::instance_copy
