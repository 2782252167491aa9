// LatestQueue: a queue.Queue subclass whose put drops the oldest item when the
// queue is full and whose drain_fast empties a batch under one lock hold.
//
// The class itself is created with type() over queue.Queue so that every
// inherited operation works on the same store, mutex, conditions and task
// count; only __init__, put and drain_fast are implemented here.
#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"
#include "common/module_attr.hpp"
#include "latestq/thread_lock.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <climits>

namespace nb = nanobind;

namespace quillo::latestq {

namespace {

constexpr const char *kModule = "quillo_sdk.structures.latestq";

constexpr const char *kClassDoc = "\nthread safe rolling queue\n";

constexpr const char *kDrainDoc =
    "Move up to ``max_items`` of the oldest items out of the queue and return them, oldest first.\n"
    "\n"
    "The items are taken under the queue's internal mutex, which is acquired once for the\n"
    "whole batch. That is faster than calling ``get_nowait`` in a loop, which takes the lock\n"
    "once per item: typically about 2 to 3 times faster in single-threaded use, and more under\n"
    "heavy multi-threaded contention, where taking and releasing the lock dominates.\n"
    "\n"
    "``dest_factory`` (keyword only) receives the list of removed items and its result is\n"
    "returned, unless it is ``list`` itself, in which case the list is returned as it is.\n"
    "If it raises, the items go back to the front of the queue.\n"
    "\n"
    "``adjust_unfinished`` (keyword only, default true) counts the removed items as done in\n"
    "``unfinished_tasks``, which keeps the semantics of ``join`` intact; pass false to call\n"
    "``task_done`` per item yourself.";

constexpr const char *kDropWarning = "Throwing away element";

// Interned attribute names and objects captured at import.
struct Names {
    PyObject *mutex, *queue, *maxsize, *not_empty, *all_tasks_done, *unfinished_tasks, *debug,
        *logger, *waiters, *notify, *notify_all, *warning, *qsize, *put, *get, *init, *maxsize_kw;
} names;

PyTypeObject *latest_queue_type = nullptr;
PyObject *deque_append = nullptr;    // collections.deque.append, called unbound
PyObject *deque_popleft = nullptr;
PyObject *deque_extendleft = nullptr;
PyObject *drop_warning = nullptr;
PyObject *logger_name = nullptr;
ModuleNamespace module_ns;

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw nb::python_error();
    return s;
}

nb::object check(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// The queue's own attributes. For LatestQueue itself they are read straight
// from the instance dict; subclasses go through normal attribute lookup and
// their own _qsize/_put/_get.
class Instance {
public:
    explicit Instance(PyObject *self) : self_(self) {
        if (Py_TYPE(self) == latest_queue_type)
            dict_ = check(PyObject_GenericGetDict(self, nullptr));
    }

    bool exact() const { return dict_.is_valid(); }

    nb::object get(PyObject *name) const {
        if (dict_.is_valid()) {
            if (PyObject *value = PyDict_GetItemWithError(dict_.ptr(), name))
                return nb::borrow(value);
            if (PyErr_Occurred())
                throw nb::python_error();
        }
        return check(PyObject_GetAttr(self_, name));
    }

    void set(PyObject *name, PyObject *value) const {
        int rc = dict_.is_valid() ? PyDict_SetItem(dict_.ptr(), name, value)
                                  : PyObject_SetAttr(self_, name, value);
        if (rc < 0)
            throw nb::python_error();
    }

    nb::object call_hook(PyObject *name, PyObject *arg = nullptr) const {
        PyObject *args[2] = {self_, arg};
        return check(PyObject_VectorcallMethod(name, args, (arg ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               nullptr));
    }

private:
    PyObject *self_;
    nb::object dict_;
};

nb::object call_unbound(PyObject *method, PyObject *self, PyObject *arg = nullptr) {
    PyObject *args[2] = {self, arg};
    return check(PyObject_Vectorcall(method, args, arg ? 2 : 1, nullptr));
}

bool check_or_report(PyObject *result) {
    Py_XDECREF(result);
    return result != nullptr;
}

Py_ssize_t length(PyObject *obj) {
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0)
        throw nb::python_error();
    return n;
}

bool truth(PyObject *obj) {
    int t = PyObject_IsTrue(obj);
    if (t < 0)
        throw nb::python_error();
    return t == 1;
}

// Whether anyone waits on a threading.Condition; an unknown condition type is
// assumed to have waiters, so it is always notified.
bool has_waiters(PyObject *condition) {
    PyObject *waiters = nullptr;
    if (Py_TYPE(condition)->tp_dictoffset != 0) {
        nb::object dict = check(PyObject_GenericGetDict(condition, nullptr));
        waiters = PyDict_GetItemWithError(dict.ptr(), names.waiters);
        if (!waiters) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return true;
        }
        return length(waiters) > 0;
    }
    return true;
}

void notify(PyObject *condition, PyObject *method_name) {
    if (has_waiters(condition))
        check(PyObject_CallMethodNoArgs(condition, method_name));
}

// unfinished_tasks + delta, never below zero.
nb::object add_to_count(PyObject *count, long long delta) {
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (!overflow && value < (LLONG_MAX >> 1)) {
            if (value == -1 && PyErr_Occurred())
                throw nb::python_error();
            return check(PyLong_FromLongLong(std::max(value + delta, 0LL)));
        }
    }
    nb::object delta_obj = check(PyLong_FromLongLong(delta));
    nb::object result = check(PyNumber_Add(count, delta_obj.ptr()));
    nb::object zero = check(PyLong_FromLong(0));
    int negative = PyObject_RichCompareBool(result.ptr(), zero.ptr(), Py_LT);
    if (negative < 0)
        throw nb::python_error();
    return negative ? zero : result;
}

bool is_full(Py_ssize_t size, PyObject *maxsize) {
    if (PyLong_CheckExact(maxsize)) {
        int overflow = 0;
        long long cap = PyLong_AsLongLongAndOverflow(maxsize, &overflow);
        if (cap == -1 && PyErr_Occurred())
            throw nb::python_error();
        return !overflow && cap == size;
    }
    nb::object size_obj = check(PyLong_FromSsize_t(size));
    int eq = PyObject_RichCompareBool(size_obj.ptr(), maxsize, Py_EQ);
    if (eq < 0)
        throw nb::python_error();
    return eq == 1;
}

// ---------------------------------------------------------------- __init__

const char *const init_names[] = {"self", "batch_size", "debug"};
const Parameters init_params{"__init__", init_names, 3, 3, 2};

nb::object init_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[3];
    if (!bind_arguments(init_params, args, nargs, kwnames, a))
        throw nb::python_error();
    PyObject *self = a[0], *batch_size = a[1], *debug = a[2] ? a[2] : Py_False;
    require_int(batch_size, "batch_size");

    nb::object base = check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                                         latest_queue_type, self, nullptr));
    nb::object base_init = check(PyObject_GetAttr(base.ptr(), names.init));
    nb::dict kwargs;
    kwargs[names.maxsize_kw] = nb::handle(batch_size);
    check(PyObject_Call(base_init.ptr(), nb::tuple().ptr(), kwargs.ptr()));

    if (PyObject_SetAttr(self, names.debug, debug) < 0)
        throw nb::python_error();
    if (truth(debug)) {
        nb::object logger = module_ns.get("get_logger")(nb::handle(logger_name));
        if (PyObject_SetAttr(self, names.logger, logger.ptr()) < 0)
            throw nb::python_error();
    }
    return nb::none();
}

// ---------------------------------------------------------------- put

const char *const put_names[] = {"self", "item", "block", "timeout"};
const Parameters put_params{"put", put_names, 4, 4, 2};

nb::object put_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[4];
    if (kwnames || nargs != 2) {
        if (!bind_arguments(put_params, args, nargs, kwnames, a))
            throw nb::python_error();
    } else {
        a[0] = args[0];
        a[1] = args[1];
    }
    PyObject *self = a[0], *item = a[1];
    Instance q(self);
    nb::object mutex = q.get(names.mutex);
    MutexHold hold(mutex.ptr());

    nb::object store;
    Py_ssize_t size;
    if (q.exact()) {
        store = q.get(names.queue);
        size = length(store.ptr());
    } else {
        size = PyLong_AsSsize_t(q.call_hook(names.qsize).ptr());
        if (size == -1 && PyErr_Occurred())
            throw nb::python_error();
    }

    long long count_delta = 1;
    if (is_full(size, q.get(names.maxsize).ptr())) {
        if (truth(q.get(names.debug).ptr()))
            check(PyObject_CallMethodOneArg(q.get(names.logger).ptr(), names.warning, drop_warning));
        if (q.exact())
            call_unbound(deque_popleft, store.ptr());
        else
            q.call_hook(names.get);
        count_delta = 0;  // the dropped item will never be marked done
    }
    if (q.exact())
        call_unbound(deque_append, store.ptr(), item);
    else
        q.call_hook(names.put, item);

    nb::object count = q.get(names.unfinished_tasks);
    if (count_delta == 0) {
        // Dropping counts the old item out before the new one is counted in;
        // the count never goes below zero on the way.
        count = add_to_count(count.ptr(), -1);
        count_delta = 1;
    }
    q.set(names.unfinished_tasks, add_to_count(count.ptr(), count_delta).ptr());
    notify(q.get(names.not_empty).ptr(), names.notify);
    return nb::none();
}

// ---------------------------------------------------------------- drain_fast

const char *const drain_names[] = {"self", "max_items", "dest_factory", "adjust_unfinished"};
const Parameters drain_params{"drain_fast", drain_names, 4, 2, 2};

long long requested_count(PyObject *max_items) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(max_items, &overflow);
    if (n == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : n;
}

nb::object take_oldest(PyObject *store, Py_ssize_t n, Py_ssize_t size) {
    if (n == size) {
        nb::object items = check(PySequence_List(store));
        check(PyObject_CallMethod(store, "clear", nullptr));
        return items;
    }
    nb::object items = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(items.ptr(), i, call_unbound(deque_popleft, store).release().ptr());
    return items;
}

nb::object drain_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[4];
    if (!bind_arguments(drain_params, args, nargs, kwnames, a))
        throw nb::python_error();
    PyObject *self = a[0], *max_items = a[1];
    require_int(max_items, "max_items");
    PyObject *factory = a[2] && a[2] != reinterpret_cast<PyObject *>(&PyList_Type) ? a[2] : nullptr;
    bool adjust = a[3] ? truth(a[3]) : true;
    long long requested = requested_count(max_items);

    Instance q(self);
    nb::object mutex = q.get(names.mutex);
    MutexHold hold(mutex.ptr());

    nb::object store = q.get(names.queue);
    Py_ssize_t size = length(store.ptr());
    Py_ssize_t n = static_cast<Py_ssize_t>(std::clamp<long long>(requested, 0, size));
    nb::object items = take_oldest(store.ptr(), n, size);

    nb::object result = items;
    if (factory) {
        PyObject *made = PyObject_CallOneArg(factory, items.ptr());
        if (!made) {
            // Nothing is lost: the items go back to the front in their order.
            nb::python_error factory_error;
            PyObject *back[2] = {store.ptr(), items.ptr()};
            if (PyList_Reverse(items.ptr()) < 0 || !check_or_report(PyObject_Vectorcall(deque_extendleft, back, 2, nullptr)))
                PyErr_WriteUnraisable(self);
            throw factory_error;
        }
        result = nb::steal(made);
    }

    if (adjust && n > 0) {
        nb::object count = add_to_count(q.get(names.unfinished_tasks).ptr(), -static_cast<long long>(n));
        q.set(names.unfinished_tasks, count.ptr());
        if (PyLong_AsLong(count.ptr()) == 0)
            notify(q.get(names.all_tasks_done).ptr(), names.notify_all);
    }
    return result;
}

// ---------------------------------------------------------------- assembly

// drain_fast's default factory is the list type, which a text signature cannot show.
nb::object drain_signature() {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object P = inspect.attr("Parameter");
    nb::object empty = P.attr("empty");
    auto param = [&](const char *name, const char *kind, nb::handle fallback, nb::handle annotation) {
        return P(name, P.attr(kind), nb::arg("default") = fallback, nb::arg("annotation") = annotation);
    };
    nb::list params;
    params.append(param("self", "POSITIONAL_ONLY", empty, empty));
    params.append(param("max_items", "POSITIONAL_OR_KEYWORD", empty, nb::str("int")));
    params.append(param("dest_factory", "KEYWORD_ONLY", reinterpret_cast<PyObject *>(&PyList_Type), empty));
    params.append(param("adjust_unfinished", "KEYWORD_ONLY", Py_True, empty));
    return inspect.attr("Signature")(params);
}

nb::object make_class(nb::handle queue_base) {
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = "LatestQueue";
    ns["__doc__"] = kClassDoc;
    ns["__init__"] = make_method({"__init__", "LatestQueue.__init__", kModule, nullptr,
                                  "($self, /, batch_size, debug=False)",
                                  {{"batch_size", "int"}, {"return", "None"}},
                                  vectorcall_entry<init_impl>});
    ns["put"] = make_method({"put", "LatestQueue.put", kModule,
                             "Store ``item`` as the newest element, dropping the oldest one when the "
                             "queue is full. Never blocks; ``block`` and ``timeout`` are accepted for "
                             "compatibility and ignored.",
                             "($self, /, item, block=True, timeout=None)",
                             {{"item", "Any"}, {"block", "bool"}, {"timeout", "float | None"}, {"return", "None"}},
                             vectorcall_entry<put_impl>});
    ns["drain_fast"] = make_method({"drain_fast", "LatestQueue.drain_fast", kModule, kDrainDoc,
                                    nullptr, {{"max_items", "int"}}, vectorcall_entry<drain_impl>,
                                    drain_signature});
    return nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))("LatestQueue", nb::make_tuple(queue_base), ns);
}

void init_names_table() {
    names = Names{intern("mutex"),          intern("queue"),     intern("maxsize"),
                  intern("not_empty"),      intern("all_tasks_done"), intern("unfinished_tasks"),
                  intern("debug"),          intern("logger"),    intern("_waiters"),
                  intern("notify"),         intern("notify_all"), intern("warning"),
                  intern("_qsize"),         intern("_put"),      intern("_get"),
                  intern("__init__"),       intern("maxsize")};
    drop_warning = intern(kDropWarning);
    logger_name = intern("RQ: ");
}

} // namespace

void init_module(nb::module_ &m) {
    module_ns.bind(m);
    nb::module_ queue_module = nb::module_::import_("queue");
    m.attr("queue") = queue_module;
    m.attr("Any") = import_name("typing", "Any");
    m.attr("get_logger") = import_name("quillo_sdk.logging", "get_logger");

    init_names_table();
    init_thread_lock_access();
    nb::object deque = import_name("collections", "deque");
    deque_append = nb::object(deque.attr("append")).release().ptr();
    deque_popleft = nb::object(deque.attr("popleft")).release().ptr();
    deque_extendleft = nb::object(deque.attr("extendleft")).release().ptr();

    nb::object cls = make_class(queue_module.attr("Queue"));
    latest_queue_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    m.attr("LatestQueue") = cls;
    cls.release();  // the module keeps it alive for the process lifetime
}

} // namespace quillo::latestq

NB_MODULE(latestq, m) {
    quillo::latestq::init_module(m);
}
