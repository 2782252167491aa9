#include "common/errors.hpp"

#include <new>
#include <stdexcept>

namespace quillo {

void raise_wrong_type(const char *param, const char *expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

void require_exact(nb::handle value, const char *param, PyTypeObject *expected) {
    if (Py_TYPE(value.ptr()) != expected)
        raise_wrong_type(param, expected->tp_name, value);
}

nb::object take_exception(nb::python_error &e) {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::borrow(e.value());
#else
    e.restore();
    return nb::steal(PyErr_GetRaisedException());
#endif
}

namespace {

PyObject *builtin_exception_type(nb::exception_type type) {
    switch (type) {
    case nb::exception_type::stop_iteration: return PyExc_StopIteration;
    case nb::exception_type::index_error: return PyExc_IndexError;
    case nb::exception_type::key_error: return PyExc_KeyError;
    case nb::exception_type::value_error: return PyExc_ValueError;
    case nb::exception_type::type_error: return PyExc_TypeError;
    case nb::exception_type::buffer_error: return PyExc_BufferError;
    case nb::exception_type::import_error: return PyExc_ImportError;
    case nb::exception_type::attribute_error: return PyExc_AttributeError;
    default: return PyExc_RuntimeError;
    }
}

} // namespace

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyErr_SetString(builtin_exception_type(e.type()), e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

} // namespace quillo
