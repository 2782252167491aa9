#include "common/deque_ops.hpp"

#include "common/py_ops.hpp"
#include "common/shortcuts.hpp"

#include <string>

namespace quillo::deque_ops {

namespace {

PyTypeObject *deque_type = nullptr;     // collections.deque
bool use_c_functions = false;
PyCFunction deque_append = nullptr;     // METH_O
PyCFunction deque_popleft = nullptr;    // METH_NOARGS
PyObject *append_name = nullptr;
PyObject *popleft_name = nullptr;
PyObject *extendleft_name = nullptr;
PyObject *clear_name = nullptr;

bool fast(nb::handle store) { return use_c_functions && Py_TYPE(store.ptr()) == deque_type; }

nb::object call_method(nb::handle store, PyObject *name, nb::handle arg = nb::handle()) {
    return take(PyObject_CallMethodObjArgs(store.ptr(), name, arg.ptr(), nullptr));
}

// The C function of a method descriptor, when it has the calling convention `flags`.
PyCFunction c_function(nb::handle descriptor, int flags, std::string &why) {
    if (Py_TYPE(descriptor.ptr()) != &PyMethodDescr_Type) {
        why = "collections.deque methods are not method descriptors";
        return nullptr;
    }
    PyMethodDef *def = reinterpret_cast<PyMethodDescrObject *>(descriptor.ptr())->d_method;
    if ((def->ml_flags & ~METH_COEXIST) != flags) {
        why = "collections.deque methods have an unexpected calling convention";
        return nullptr;
    }
    return def->ml_meth;
}

// The C functions must do what the methods do on a live deque.
std::string check(nb::handle deque) {
    std::string why;
    PyCFunction append_fn = c_function(deque.attr("append"), METH_O, why);
    PyCFunction popleft_fn = why.empty() ? c_function(deque.attr("popleft"), METH_NOARGS, why) : nullptr;
    if (!why.empty())
        return why;
    nb::object probe = deque(nb::make_tuple(1));
    nb::object two = nb::int_(2);
    take(append_fn(probe.ptr(), two.ptr()));
    nb::object first = take(popleft_fn(probe.ptr(), nullptr));
    if (!first.equal(nb::int_(1)) || nb::len(probe) != 1 || !probe.attr("pop")().is(two))
        return "collections.deque's C functions do not behave as its methods";
    deque_append = append_fn;
    deque_popleft = popleft_fn;
    return "";
}

PyObject *interned(const char *text) { return keep_forever(take(PyUnicode_InternFromString(text))).ptr(); }

} // namespace

void init(nb::handle module) {
    append_name = interned("append");
    popleft_name = interned("popleft");
    extendleft_name = interned("extendleft");
    clear_name = interned("clear");
    nb::object deque = nb::module_::import_("collections").attr("deque");
    deque_type = reinterpret_cast<PyTypeObject *>(keep_forever(deque).ptr());
    use_c_functions = shortcuts::choose(module, "deque_c_functions", [&] { return check(deque); });
}

bool is_plain_deque(nb::handle store) { return Py_TYPE(store.ptr()) == deque_type; }

void append(nb::handle store, nb::handle item) {
    if (fast(store))
        take(deque_append(store.ptr(), item.ptr()));
    else
        call_method(store, append_name, item);
}

nb::object popleft(nb::handle store) {
    if (fast(store))
        return take(deque_popleft(store.ptr(), nullptr));
    return call_method(store, popleft_name);
}

nb::object take_all(nb::handle store) {
    nb::object items = take(PySequence_List(store.ptr()));
    call_method(store, clear_name);
    return items;
}

void put_back(nb::handle store, nb::handle items) {
    nb::object reversed = take(PySequence_List(items.ptr()));
    if (PyList_Reverse(reversed.ptr()) < 0)
        throw nb::python_error();
    call_method(store, extendleft_name, reversed);
}

} // namespace quillo::deque_ops
