// Shallow copies of plain class instances, as copy.copy makes them, without
// its Python-level machinery: the class's attribute lookup for the copy hooks
// and a new instance that takes a copy of the original's attributes.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace quillo::instance_copy {

namespace nb = nanobind;

// Decides the shortcuts "type_lookup" and "instance_dict" of `module`; called once at import.
void choose(nb::handle module);

// What `name` resolves to along the MRO of `type` (the class dicts only, no
// descriptor called); an invalid object when no class defines it.
nb::object type_lookup(PyTypeObject *type, PyObject *name);

// An attribute the copy gets beyond the original's (both borrowed).
struct Attribute {
    PyObject *name, *value;
};

// Whether `obj.name = value` on an instance of the plain class `type` only
// stores the value in the instance: the class keeps object's __setattr__,
// `name` is a str and no data descriptor of the class stands for it.
bool stores_plainly(PyTypeObject *type, PyObject *name);

// What `c = copy.copy(original); c.name = value ...` leaves in `c`, for an
// instance of a plain class (object.__new__, instance dict, no __slots__):
// the original's attributes, then `extra` (names that store plainly), put in
// as the copy is made. An invalid object when the instance's own dict holds
// __reduce_ex__ or __getstate__, which copy.copy would honour.
nb::object copy_with(PyObject *original, const Attribute *extra, std::size_t n_extra);

} // namespace quillo::instance_copy
