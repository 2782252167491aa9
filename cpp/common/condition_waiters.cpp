#include "common/condition_waiters.hpp"

#include "common/py_ops.hpp"
#include "common/shortcuts.hpp"

#include <string>

namespace quillo::condition_waiters {

namespace {

PyTypeObject *condition_type = nullptr;  // set only when the shortcut is on
PyTypeObject *deque_type = nullptr;

bool uses_waiters(nb::handle function) {
    nb::object names = function.attr("__code__").attr("co_names");
    return PySequence_Contains(names.ptr(), nb::str("_waiters").ptr()) == 1;
}

// notify and wait must keep their waiters in `_waiters`, a deque that starts empty.
std::string check(nb::handle condition) {
    nb::object probe = condition(nb::module_::import_("threading").attr("Lock")());
    nb::object waiters = nb::getattr(probe, "_waiters", nb::none());
    if (Py_TYPE(waiters.ptr()) != deque_type || nb::len(waiters) != 0)
        return "threading.Condition has no _waiters deque";
    if (!uses_waiters(condition.attr("notify")) || !uses_waiters(condition.attr("wait")))
        return "threading.Condition.notify or wait does not use _waiters";
    return "";
}

} // namespace

void init(nb::handle module) {
    nb::object condition = nb::module_::import_("threading").attr("Condition");
    deque_type = reinterpret_cast<PyTypeObject *>(
        keep_forever(nb::module_::import_("collections").attr("deque")).ptr());
    if (shortcuts::choose(module, "condition_waiters", [&] { return check(condition); }))
        condition_type = reinterpret_cast<PyTypeObject *>(keep_forever(condition).ptr());
}

nb::object of(nb::handle condition) {
    if (!condition_type || !condition.is_valid() || Py_TYPE(condition.ptr()) != condition_type)
        return nb::object();
    nb::object waiters = nb::steal(PyObject_GetAttrString(condition.ptr(), "_waiters"));
    if (!waiters.is_valid())
        PyErr_Clear();
    if (!waiters.is_valid() || Py_TYPE(waiters.ptr()) != deque_type)
        return nb::object();
    return waiters;
}

} // namespace quillo::condition_waiters
