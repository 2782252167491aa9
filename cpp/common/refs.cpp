#include "common/refs.hpp"

namespace quillo {

nb::object fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return nb::steal(value);
}

HandledException::HandledException(nb::handle exc) {
#if PY_VERSION_HEX >= 0x030B0000
    previous_ = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.ptr());
#else
    PyErr_GetExcInfo(&type_, &previous_, &tb_);
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()));
    Py_INCREF(type);
    Py_INCREF(exc.ptr());
    PyErr_SetExcInfo(type, exc.ptr(), PyException_GetTraceback(exc.ptr()));
#endif
}

HandledException::~HandledException() {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
#else
    PyErr_SetExcInfo(type_, previous_, tb_);
#endif
}

} // namespace quillo
