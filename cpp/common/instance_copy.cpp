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

// ------------------------------------------------------------ attributes

PyObject *reduce_ex_name = nullptr, *getstate_name = nullptr;

// Whether an instance dict key is one of the hooks copy.copy reads from the
// instance. Attribute names are interned, so identity settles almost every
// key; a string stored through __dict__ directly may be an equal copy.
bool is_instance_hook(PyObject *key) {
    if (key == reduce_ex_name || key == getstate_name)
        return true;
    if (!PyUnicode_Check(key))
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    return (n == 13 && PyUnicode_CompareWithASCIIString(key, "__reduce_ex__") == 0) ||
           (n == 12 && PyUnicode_CompareWithASCIIString(key, "__getstate__") == 0);
}

bool has_instance_hook(PyObject *attributes) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(attributes, &pos, &key, &value))
        if (is_instance_hook(key))
            return true;
    return false;
}

void put_extra(PyObject *target, const Attribute *extra, std::size_t n_extra) {
    for (std::size_t i = 0; i < n_extra; ++i)
        if (PyDict_SetItem(target, extra[i].name, extra[i].value) < 0)
            throw nb::python_error();
}

// Puts the original's attributes, then `extra`, into the dict `target`.
void fill(PyObject *target, PyObject *attributes, const Attribute *extra, std::size_t n_extra) {
    if (PyDict_Update(target, attributes) < 0)
        throw nb::python_error();
    put_extra(target, extra, n_extra);
}

nb::object own_dict(PyObject *obj) { return take(PyObject_GenericGetDict(obj, nullptr)); }

// ------------------------------------------------------------ new instances

// Before 3.13 the instance is allocated without the inline attribute values
// object.__new__ would prepare, and a copy of the original's dict, with the
// extra attributes added, becomes its __dict__. From 3.13 on the instance
// keeps its inline values, and a dict set over them loses the attributes
// (seen on 3.13.0), so they go into its own dict.
nb::object copy_fast(PyObject *original, const Attribute *extra, std::size_t n_extra) {
    PyTypeObject *type = Py_TYPE(original);
    nb::object attributes = own_dict(original);
    if (has_instance_hook(attributes.ptr()))
        return nb::object();
#if PY_VERSION_HEX < 0x030D0000
    nb::object state = take(PyDict_Copy(attributes.ptr()));
    put_extra(state.ptr(), extra, n_extra);
    nb::object result = take(type->tp_alloc(type, 0));
    if (PyObject_GenericSetDict(result.ptr(), state.ptr(), nullptr) < 0)
        throw nb::python_error();
#else
    nb::object result = take(PyBaseObject_Type.tp_new(type, nb::tuple().ptr(), nullptr));
    fill(own_dict(result.ptr()).ptr(), attributes.ptr(), extra, n_extra);
#endif
    return result;
}

// copy.copy's own steps: cls.__new__(cls), then new.__dict__.update(state).
nb::object copy_documented(PyObject *original, const Attribute *extra, std::size_t n_extra) {
    nb::handle cls(reinterpret_cast<PyObject *>(Py_TYPE(original)));
    nb::object attributes = own_dict(original);
    if (has_instance_hook(attributes.ptr()))
        return nb::object();
    nb::object result = nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type)).attr("__new__")(cls);
    fill(own_dict(result.ptr()).ptr(), attributes.ptr(), extra, n_extra);
    return result;
}

nb::object (*make_copy)(PyObject *, const Attribute *, std::size_t) = copy_documented;

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

std::string check_copy() {
    nb::object cls = probe_class("_Plain", nb::dict());
    nb::object original = cls();
    nb::list shared;
    original.attr("shared") = shared;
    original.attr("number") = 2;
    nb::str added("added");
    nb::int_ three(3);
    Attribute extra{added.ptr(), three.ptr()};
    nb::object copy = copy_fast(original.ptr(), &extra, 1);
    if (!copy.is_valid() || !copy.type().is(cls) || !copy.attr("shared").is(shared) ||
        nb::cast<int>(copy.attr("number")) != 2 || nb::cast<int>(copy.attr("added")) != 3)
        return "a copy lacks the original's attributes";
    nb::list order = nb::list(nb::object(copy.attr("__dict__")));
    if (nb::len(order) != 3 || !order[0].equal(nb::str("shared")) || !order[2].equal(added))
        return "a copy's attributes are not in the original's order";
    copy.attr("later") = 4;
    if (nb::hasattr(original, "added") || nb::hasattr(original, "later") ||
        nb::len(nb::object(copy.attr("__dict__"))) != 4)
        return "a copy shares its attribute dict with the original";
    return {};
}

} // namespace

void choose(nb::handle module) {
    reduce_ex_name = keep_forever(take(PyUnicode_InternFromString("__reduce_ex__"))).ptr();
    getstate_name = keep_forever(take(PyUnicode_InternFromString("__getstate__"))).ptr();
    lookup = shortcuts::choose(module, "type_lookup", check_lookup) ? lookup_fast : lookup_documented;
    make_copy = shortcuts::choose(module, "instance_dict", check_copy) ? copy_fast : copy_documented;
}

nb::object type_lookup(PyTypeObject *type, PyObject *name) { return lookup(type, name); }

bool stores_plainly(PyTypeObject *type, PyObject *name) {
    if (type->tp_setattro != PyObject_GenericSetAttr || !PyUnicode_CheckExact(name))
        return false;
    nb::object found = lookup(type, name);
    return !found.is_valid() || !Py_TYPE(found.ptr())->tp_descr_set;
}

nb::object copy_with(PyObject *original, const Attribute *extra, std::size_t n_extra) {
    return make_copy(original, extra, n_extra);
}

} // namespace quillo::instance_copy
