// Garbage-collector support for small heap types whose references are plain
// PyObject* fields: one list of fields gives traverse, clear and dealloc.
#pragma once

#include <Python.h>

namespace quillo {

template <typename T, PyObject *T::*... Fields>
struct GcFields {
    static void clear_field(PyObject *&field) { Py_CLEAR(field); }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        T *object = reinterpret_cast<T *>(self);
        int result = 0;
        ((result = result ? result : (object->*Fields ? visit(object->*Fields, arg) : 0)), ...);
        return result ? result : visit(reinterpret_cast<PyObject *>(Py_TYPE(self)), arg);
    }

    static int clear(PyObject *self) {
        T *object = reinterpret_cast<T *>(self);
        (clear_field(object->*Fields), ...);
        return 0;
    }

    static void dealloc(PyObject *self) {
        PyTypeObject *type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        clear(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    static inline const PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(&dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(&traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(&clear)},
    };
};

} // namespace quillo
