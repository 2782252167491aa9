// Reading and writing one __slots__ entry of a class's instances.
//
// The fast twin (shortcut named by the caller) reads the slot at the offset
// its member descriptor records, a field of the descriptor object's private
// layout; the twin goes through the descriptor's __get__ / __set__.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo {

namespace nb = nanobind;

class SlotAccess {
public:
    // Binds the slot `slot_name` of `cls` and decides the shortcut `shortcut`
    // of `module`. Throws when the class has no such slot.
    void bind(nb::handle module, const char *shortcut, nb::handle cls, const char *slot_name);

    // The object in the slot of `self` (an instance of the class), or null
    // when it is empty. Borrowed: valid while the slot keeps it.
    PyObject *peek(PyObject *self) const {
        if (offset_ >= 0)
            return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset_);
        return peek_portable(self);
    }

    // Puts a new reference to `value` into the slot of `self`.
    void store(PyObject *self, nb::handle value) const;

private:
    PyObject *peek_portable(PyObject *self) const;
    nb::handle descriptor_;
    Py_ssize_t offset_ = -1;  // >= 0 when the shortcut is on
};

} // namespace quillo
