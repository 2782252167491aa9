#include "common/errors.hpp"
#include "common/gc_object.hpp"
#include "common/method.hpp"

#include <structmember.h>

#include <cstddef>

namespace quillo {

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *text_signature;
    PyObject *annotations;
    PyObject *signature;  // cached inspect.Signature, or nullptr
    nb::object (*make_signature)();
};

using MethodGc = GcFields<MethodObject, &MethodObject::name, &MethodObject::qualname, &MethodObject::module,
                          &MethodObject::doc, &MethodObject::text_signature, &MethodObject::annotations,
                          &MethodObject::signature>;

PyObject *method_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *method_repr(PyObject *self) {
    auto *m = reinterpret_cast<MethodObject *>(self);
    return PyUnicode_FromFormat("<function %U>", m->qualname);
}

PyObject *method_signature(PyObject *self, void *) {
    auto *m = reinterpret_cast<MethodObject *>(self);
    if (!m->signature) {
        if (!m->make_signature)
            Py_RETURN_NONE;  // inspect falls back to __text_signature__
        m->signature = guarded([m] { return m->make_signature(); });
    }
    return Py_XNewRef(m->signature);
}

PyGetSetDef method_getset[] = {
    {"__signature__", method_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), 0, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(MethodObject, text_signature), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(MethodObject, annotations), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    MethodGc::slots[0],
    MethodGc::slots[1],
    MethodGc::slots[2],
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(method_get)},
    {Py_tp_repr, reinterpret_cast<void *>(method_repr)},
    {Py_tp_members, method_members},
    {Py_tp_getset, method_getset},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "quillo_sdk.function",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    method_slots,
};

// One type per extension module (each module links its own copy of this file).
PyTypeObject *method_type() {
    static PyTypeObject *type = nullptr;
    if (!type) {
        type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&method_spec));
        if (!type)
            throw nb::python_error();
    }
    return type;
}

PyObject *optional_text(const char *text) {
    return text ? PyUnicode_FromString(text) : Py_NewRef(Py_None);
}

} // namespace

nb::object make_method(const MethodInfo &info) {
    nb::dict annotations;
    for (const auto &[param, text] : info.annotations)
        annotations[param] = nb::str(text);

    auto *m = PyObject_GC_New(MethodObject, method_type());
    if (!m)
        throw nb::python_error();
    m->vectorcall = info.call;
    m->name = PyUnicode_FromString(info.name);
    m->qualname = PyUnicode_FromString(info.qualname);
    m->module = PyUnicode_FromString(info.module);
    m->doc = optional_text(info.doc);
    m->text_signature = optional_text(info.text_signature);
    m->annotations = annotations.release().ptr();
    m->signature = nullptr;
    m->make_signature = info.signature;
    PyObject_GC_Track(m);
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(m));
    if (!m->name || !m->qualname || !m->module || !m->doc || !m->text_signature)
        throw nb::python_error();
    return result;
}

} // namespace quillo
