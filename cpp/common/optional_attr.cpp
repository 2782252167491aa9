#include "common/optional_attr.hpp"

#include "common/shortcuts.hpp"

#include <string>

namespace quillo::optional_attr {

namespace {

// Before 3.13 only the private _PyObject_LookupAttr skips the AttributeError;
// 3.13 made it public as PyObject_GetOptionalAttr.
int lookup_fast(PyObject *obj, PyObject *name, PyObject **value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, value);
#else
    return _PyObject_LookupAttr(obj, name, value);
#endif
}

int lookup_documented(PyObject *obj, PyObject *name, PyObject **value) {
    *value = PyObject_GetAttr(obj, name);
    if (*value)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
}

int (*lookup)(PyObject *, PyObject *, PyObject **) = lookup_documented;

nb::object read(int (*how)(PyObject *, PyObject *, PyObject **), PyObject *obj, PyObject *name) {
    PyObject *value = nullptr;
    if (how(obj, name, &value) < 0)
        throw nb::python_error();
    return nb::steal(value);
}

// Present, absent and raising attributes, compared with the documented read.
std::string check() {
    nb::object probe = nb::module_::import_("types").attr("SimpleNamespace")();
    probe.attr("present") = 1;
    nb::object present = nb::str("present"), absent = nb::str("absent"), raising = nb::str("__class_getitem__");
    for (PyObject *name : {present.ptr(), absent.ptr(), raising.ptr()}) {
        nb::object fast = read(lookup_fast, probe.ptr(), name);
        nb::object documented = read(lookup_documented, probe.ptr(), name);
        if (fast.is_valid() != documented.is_valid() || (fast.is_valid() && !fast.equal(documented)))
            return "an attribute read disagrees with getattr";
    }
    if (PyErr_Occurred())
        return "an absent attribute left an error set";
    return {};
}

} // namespace

void choose(nb::handle module) {
    lookup = shortcuts::choose(module, "optional_attr", check) ? lookup_fast : lookup_documented;
}

nb::object get(PyObject *obj, PyObject *name) { return read(lookup, obj, name); }

} // namespace quillo::optional_attr
