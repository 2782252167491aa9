#include "common/instance_copy.hpp"

#include "common/py_ops.hpp"
#include "common/shortcuts.hpp"

#include <string>

namespace quillo::instance_copy {

namespace {

// ------------------------------------------------------------ type_lookup

nb::object lookup_fast(PyTypeObject *type, PyObject *name) { return nb::borrow(_PyType_Lookup(type, name)); }

// The same walk through __mro__ and each class's own __dict__.
nb::object lookup_documented(PyTypeObject *type, PyObject *name) {
    nb::object mro = take(PyObject_GenericGetAttr(reinterpret_cast<PyObject *>(type), nb::str("__mro__").ptr()));
    for (nb::handle cls : mro) {
        nb::object dict = take(PyObject_GenericGetAttr(cls.ptr(), nb::str("__dict__").ptr()));
        PyObject *value = PyObject_GetItem(dict.ptr(), name);
        if (value)
            return nb::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
    }
    return nb::object();
}

nb::object (*lookup)(PyTypeObject *, PyObject *) = lookup_documented;

// ------------------------------------------------------------ new instances

// Before 3.13 the instance is allocated without the inline attribute values
// object.__new__ would prepare, and a copy of the attributes becomes its dict.
// From 3.13 on the instance keeps its inline values, and a dict set over them
// loses the attributes (seen on 3.13.0), so they go into its own dict.
nb::object new_fast(PyTypeObject *type, PyObject *attributes) {
#if PY_VERSION_HEX < 0x030D0000
    nb::object result = take(type->tp_alloc(type, 0));
    nb::object state = take(PyDict_Copy(attributes));
    if (PyObject_GenericSetDict(result.ptr(), state.ptr(), nullptr) < 0)
        throw nb::python_error();
#else
    nb::object result = take(PyBaseObject_Type.tp_new(type, nb::tuple().ptr(), nullptr));
    nb::object own = take(PyObject_GenericGetDict(result.ptr(), nullptr));
    if (PyDict_Update(own.ptr(), attributes) < 0)
        throw nb::python_error();
#endif
    return result;
}

// copy.copy's own steps: cls.__new__(cls), then new.__dict__.update(state).
nb::object new_documented(PyTypeObject *type, PyObject *attributes) {
    nb::handle cls(reinterpret_cast<PyObject *>(type));
    nb::object result = nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type)).attr("__new__")(cls);
    nb::object own = take(PyObject_GenericGetDict(result.ptr(), nullptr));
    if (PyDict_Update(own.ptr(), attributes) < 0)
        throw nb::python_error();
    return result;
}

nb::object (*make_new)(PyTypeObject *, PyObject *) = new_documented;

// ------------------------------------------------------------ self-checks

nb::object probe_class(const char *name, nb::dict body) {
    return nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))(name, nb::tuple(), body);
}

std::string check_lookup() {
    nb::dict body;
    body["__copy__"] = nb::none();
    nb::object with_hook = probe_class("_WithHook", body);
    nb::object derived = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))("_Derived", nb::make_tuple(with_hook),
                                                                                nb::dict());
    PyObject *types[] = {reinterpret_cast<PyObject *>(&PyBaseObject_Type), with_hook.ptr(), derived.ptr()};
    for (PyObject *type : types) {
        for (const char *text : {"__copy__", "__reduce_ex__", "__getstate__", "__no_such_hook__"}) {
            nb::str name(text);
            auto *t = reinterpret_cast<PyTypeObject *>(type);
            nb::object fast = lookup_fast(t, name.ptr()), documented = lookup_documented(t, name.ptr());
            if (fast.ptr() != documented.ptr())
                return std::string("the class lookup of ") + text + " disagrees with the class dicts";
        }
    }
    return {};
}

std::string check_new() {
    nb::object cls = probe_class("_Plain", nb::dict());
    nb::object original = cls();
    nb::list shared;
    original.attr("shared") = shared;
    original.attr("number") = 2;
    nb::object attributes = take(PyObject_GenericGetDict(original.ptr(), nullptr));
    nb::object copy = new_fast(reinterpret_cast<PyTypeObject *>(cls.ptr()), attributes.ptr());
    copy.attr("added") = 3;
    if (!copy.type().is(cls) || !copy.attr("shared").is(shared) || nb::cast<int>(copy.attr("number")) != 2)
        return "a copy lacks the original's attributes";
    if (nb::hasattr(original, "added") || nb::len(nb::object(copy.attr("__dict__"))) != 3)
        return "a copy shares its attribute dict with the original";
    return {};
}

} // namespace

void choose(nb::handle module) {
    lookup = shortcuts::choose(module, "type_lookup", check_lookup) ? lookup_fast : lookup_documented;
    make_new = shortcuts::choose(module, "instance_dict", check_new) ? new_fast : new_documented;
}

nb::object type_lookup(PyTypeObject *type, PyObject *name) { return lookup(type, name); }

nb::object new_with_attributes(PyTypeObject *type, PyObject *attributes) { return make_new(type, attributes); }

} // namespace quillo::instance_copy
