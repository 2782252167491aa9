// The few places where the C API hands over or keeps references by hand,
// wrapped so that module code never counts references itself.
#pragma once

#include "common/py_ops.hpp"

#include <nanobind/nanobind.h>

namespace quillo {

namespace nb = nanobind;

// tp_clear for a PyObject* field of a hand-written type.
inline void clear_field(PyObject *&field) { Py_CLEAR(field); }

// The last steps of tp_dealloc for an instance of a heap type: frees the
// memory and drops the instance's reference to its type.
inline void free_heap_instance(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Takes the pending exception, normalised and carrying its traceback.
nb::object fetch_exception();

// Makes `exc` the exception being handled (sys.exc_info()) for the lifetime of
// this object, as inside an except block; the previous one comes back after.
class HandledException {
public:
    explicit HandledException(nb::handle exc);
    ~HandledException();
    HandledException(const HandledException &) = delete;
    HandledException &operator=(const HandledException &) = delete;

private:
    PyObject *previous_ = nullptr;
#if PY_VERSION_HEX < 0x030B0000
    PyObject *type_ = nullptr, *tb_ = nullptr;
#endif
};

} // namespace quillo
