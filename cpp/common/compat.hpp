// C-API names that are newer than CPython 3.8, the oldest interpreter the kit
// supports, defined here for the interpreters that lack them, so the kit's
// code can be written against the current API.
//
// The build includes this header first in every source of the kit (a forced
// include set on quillo_common), before nanobind: nanobind's headers then also
// see the public vectorcall names on 3.8. Each shim is guarded by the version
// that brought the name, and has the behaviour the documentation gives it.
#pragma once

#include <Python.h>
#if PY_VERSION_HEX < 0x030A0000
#include <structmember.h>  // PyMemberDef, read by PyType_FromSpec below
#endif

#include <cstddef>
#include <cstring>

// ------------------------------------------------------------------ 3.9
#if PY_VERSION_HEX < 0x03090000

#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

#ifndef Py_IS_TYPE
#define Py_IS_TYPE(ob, type) (Py_TYPE(ob) == (type))
#endif
#ifndef Py_SET_TYPE
#define Py_SET_TYPE(ob, type) ((void)(Py_TYPE(ob) = (type)))
#endif
#ifndef Py_SET_SIZE
#define Py_SET_SIZE(ob, size) ((void)(Py_SIZE(ob) = (size)))
#endif
#ifndef Py_SET_REFCNT
#define Py_SET_REFCNT(ob, refcnt) ((void)(Py_REFCNT(ob) = (refcnt)))
#endif

static inline vectorcallfunc PyVectorcall_Function(PyObject *callable) { return _PyVectorcall_Function(callable); }

static inline PyObject *PyObject_Vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                                            PyObject *kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

static inline PyObject *PyObject_VectorcallDict(PyObject *callable, PyObject *const *args, size_t nargsf,
                                                PyObject *kwargs) {
    return _PyObject_FastCallDict(callable, args, nargsf, kwargs);
}

// args[0] is the object whose method `name` is called with the rest.
static inline PyObject *PyObject_VectorcallMethod(PyObject *name, PyObject *const *args, size_t nargsf,
                                                  PyObject *kwnames) {
    PyObject *method = PyObject_GetAttr(args[0], name);
    if (!method)
        return nullptr;
    PyObject *result = _PyObject_Vectorcall(method, args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames);
    Py_DECREF(method);
    return result;
}

static inline PyObject *PyObject_CallNoArgs(PyObject *callable) { return _PyObject_CallNoArg(callable); }

static inline PyObject *PyObject_CallOneArg(PyObject *callable, PyObject *arg) {
    return _PyObject_Vectorcall(callable, &arg, 1, nullptr);
}

static inline PyObject *PyObject_CallMethodNoArgs(PyObject *obj, PyObject *name) {
    return PyObject_CallMethodObjArgs(obj, name, nullptr);
}

static inline PyObject *PyObject_CallMethodOneArg(PyObject *obj, PyObject *name, PyObject *arg) {
    return PyObject_CallMethodObjArgs(obj, name, arg, nullptr);
}

static inline int PyObject_GC_IsTracked(PyObject *obj) { return PyObject_IS_GC(obj) && _PyObject_GC_IS_TRACKED(obj); }

static inline PyInterpreterState *PyInterpreterState_Get() { return _PyInterpreterState_Get(); }

#endif // < 3.9

// ------------------------------------------------------------------ 3.10
#if PY_VERSION_HEX < 0x030A0000

static inline PyObject *Py_NewRef(PyObject *obj) {
    Py_INCREF(obj);
    return obj;
}

static inline PyObject *Py_XNewRef(PyObject *obj) {
    Py_XINCREF(obj);
    return obj;
}

#define Py_Is(x, y) ((x) == (y))
#define Py_IsNone(x) Py_Is((x), Py_None)
#define Py_IsTrue(x) Py_Is((x), Py_True)
#define Py_IsFalse(x) Py_Is((x), Py_False)

static inline int PyModule_AddObjectRef(PyObject *module, const char *name, PyObject *value) {
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "PyModule_AddObjectRef() must be called with an exception raised "
                                               "if value is NULL");
        return -1;
    }
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return -1;
    }
    return 0;
}

// Type flags of 3.10. The interpreters before it have no such bits: the
// PyType_FromSpec below takes them off the type's flags and gives their effect where
// that can be had (a type that cannot be instantiated has no tp_new). Types
// stay mutable there, as every heap type is on those interpreters.
#define Py_TPFLAGS_DISALLOW_INSTANTIATION (1UL << 7)
#define Py_TPFLAGS_IMMUTABLETYPE (1UL << 8)

// Also gives effect to the __vectorcalloffset__, __dictoffset__ and
// __weaklistoffset__ members on 3.8, whose PyType_FromSpec ignores them:
// without that an instance's vectorcall pointer would be read at offset 0 and
// its instances would have no __dict__.
static inline PyObject *quillo_compat_type_from_spec(PyType_Spec *definition, PyObject *bases) {
    const unsigned long new_flags = Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Spec plain = *definition;
    plain.flags &= ~new_flags;
    PyObject *type = PyType_FromSpecWithBases(&plain, bases);
    if (!type)
        return nullptr;
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    if (definition->flags & Py_TPFLAGS_DISALLOW_INSTANTIATION)
        tp->tp_new = nullptr;
    // These interpreters store the module part of the type's dotted name as its __module__
    // over a __module__ member of the instances; the member is put back.
    for (const PyType_Slot *slot = definition->slots; slot->slot; ++slot) {
        if (slot->slot != Py_tp_members)
            continue;
        for (auto *member = static_cast<PyMemberDef *>(slot->pfunc); member->name; ++member) {
            if (std::strcmp(member->name, "__module__") != 0)
                continue;
            PyObject *descr = PyDescr_NewMember(tp, member);
            int failed = !descr || PyDict_SetItemString(tp->tp_dict, "__module__", descr) < 0;
            Py_XDECREF(descr);
            if (failed) {
                Py_DECREF(type);
                return nullptr;
            }
            PyType_Modified(tp);
        }
    }
#if PY_VERSION_HEX < 0x03090000
    for (const PyType_Slot *slot = definition->slots; slot->slot; ++slot) {
        if (slot->slot != Py_tp_members)
            continue;
        for (auto *member = static_cast<const PyMemberDef *>(slot->pfunc); member->name; ++member) {
            if (std::strcmp(member->name, "__vectorcalloffset__") == 0)
                tp->tp_vectorcall_offset = member->offset;
            else if (std::strcmp(member->name, "__dictoffset__") == 0)
                tp->tp_dictoffset = member->offset;
            else if (std::strcmp(member->name, "__weaklistoffset__") == 0)
                tp->tp_weaklistoffset = member->offset;
        }
    }
#endif
    return type;
}

#define PyType_FromSpec(definition) quillo_compat_type_from_spec((definition), nullptr)
#define PyType_FromSpecWithBases(definition, bases) quillo_compat_type_from_spec((definition), (bases))

#endif // < 3.10

// ------------------------------------------------------------------ 3.11
#if PY_VERSION_HEX < 0x030B0000

static inline PyObject *PyErr_GetHandledException() {
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

static inline void PyErr_SetHandledException(PyObject *exc) {
    PyObject *type = exc && exc != Py_None ? reinterpret_cast<PyObject *>(Py_TYPE(exc)) : nullptr;
    PyObject *value = exc && exc != Py_None ? exc : nullptr;
    PyObject *traceback = value ? PyException_GetTraceback(value) : nullptr;
    Py_XINCREF(type);
    Py_XINCREF(value);
    PyErr_SetExcInfo(type, value, traceback);
}

#endif // < 3.11

// ------------------------------------------------------------------ 3.12
#if PY_VERSION_HEX < 0x030C0000

// The pending exception as one normalised object carrying its traceback.
static inline PyObject *PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

static inline void PyErr_SetRaisedException(PyObject *exc) {
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

#endif // < 3.12

// ------------------------------------------------------------------ 3.13
#if PY_VERSION_HEX < 0x030D0000

// 1 and a new reference in *result when found, 0 and nullptr when the
// attribute is missing, -1 with an error set otherwise.
static inline int PyObject_GetOptionalAttr(PyObject *obj, PyObject *name, PyObject **result) {
    return _PyObject_LookupAttr(obj, name, result);
}

static inline int PyObject_GetOptionalAttrString(PyObject *obj, const char *name, PyObject **result) {
    PyObject *key = PyUnicode_FromString(name);
    if (!key) {
        *result = nullptr;
        return -1;
    }
    int found = _PyObject_LookupAttr(obj, key, result);
    Py_DECREF(key);
    return found;
}

static inline int PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result) {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (value) {
        *result = Py_NewRef(value);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

#else

// The private name of 3.7 to 3.12, for code written before 3.13.
#define _PyObject_LookupAttr(obj, name, result) PyObject_GetOptionalAttr((obj), (name), (result))

#endif // < 3.13

// ------------------------------------------------------------------ 3.14
// The host's text for float true division by zero (3.14 dropped the "float").
#if PY_VERSION_HEX < 0x030E0000
constexpr const char *kFloatDivisionByZero = "float division by zero";
#else
constexpr const char *kFloatDivisionByZero = "division by zero";
#endif
