#include "common/slot_access.hpp"

#include "common/py_ops.hpp"
#include "common/shortcuts.hpp"

#include <structmember.h>

#include <string>

namespace quillo {

namespace {

PyObject **slot_at(PyObject *self, Py_ssize_t offset) {
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
}

// The offset must name the same field that __get__ / __set__ use, on a fresh instance.
std::string check(nb::handle descriptor, nb::handle cls, Py_ssize_t &offset) {
    if (Py_TYPE(descriptor.ptr()) != &PyMemberDescr_Type)
        return "the slot is not a member descriptor";
    PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descriptor.ptr())->d_member;
    if (member->type != T_OBJECT_EX || member->offset <= 0 ||
        member->offset + static_cast<Py_ssize_t>(sizeof(PyObject *)) >
            reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_basicsize)
        return "the slot's member has an unexpected kind or offset";
    nb::object probe = cls.attr("__new__")(cls);
    nb::list marker;
    descriptor.attr("__set__")(probe, marker);
    bool seen = *slot_at(probe.ptr(), member->offset) == marker.ptr();
    descriptor.attr("__delete__")(probe);
    if (!seen || *slot_at(probe.ptr(), member->offset) != nullptr)
        return "the slot's offset does not match its descriptor";
    offset = member->offset;
    return "";
}

} // namespace

void SlotAccess::bind(nb::handle module, const char *shortcut, nb::handle cls, const char *slot_name) {
    nb::object descriptor = cls.attr(slot_name);
    if (!PyObject_HasAttrString(descriptor.ptr(), "__set__"))
        throw nb::type_error("the slot has no data descriptor");
    descriptor_ = keep_forever(descriptor);
    Py_ssize_t offset = -1;
    if (shortcuts::choose(module, shortcut, [&] { return check(descriptor_, cls, offset); }))
        offset_ = offset;
}

PyObject *SlotAccess::peek_portable(PyObject *self) const {
    descrgetfunc get = Py_TYPE(descriptor_.ptr())->tp_descr_get;
    nb::object value = nb::steal(get(descriptor_.ptr(), self, reinterpret_cast<PyObject *>(Py_TYPE(self))));
    if (!value.is_valid())
        PyErr_Clear();  // an empty slot raises AttributeError
    return value.ptr();  // the slot holds another reference
}

void SlotAccess::store(PyObject *self, nb::handle value) const {
    if (offset_ >= 0) {
        replace_owned(*slot_at(self, offset_), value.ptr());
        return;
    }
    if (Py_TYPE(descriptor_.ptr())->tp_descr_set(descriptor_.ptr(), self, value.ptr()) < 0)
        throw nb::python_error();
}

} // namespace quillo
