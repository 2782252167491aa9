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
#include "common/py_ops.hpp"
#include "latestq/queue_state.hpp"
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

constexpr const char *kStateSlot = "_latestq_state";

PyTypeObject *latest_queue_type = nullptr;
// collections.deque methods. append and popleft are called through their C
// functions (checked to be METH_O / METH_NOARGS at import), which skips the
// generic call machinery on the hottest path.
PyObject *deque_extendleft = nullptr;
PyObject *deque_clear = nullptr;
PyCFunction deque_append = nullptr;
PyCFunction deque_popleft = nullptr;
PyTypeObject *deque_type = nullptr;
PyObject *drop_warning = nullptr;
PyObject *logger_name = nullptr;
ModuleNamespace module_ns;

nb::object call_unbound(PyObject *method, PyObject *self, PyObject *arg = nullptr) {
    PyObject *args[2] = {self, arg};
    return take(PyObject_Vectorcall(method, args, arg ? 2 : 1, nullptr));
}

nb::object call_method(PyObject *self, const char *name, PyObject *arg = nullptr) {
    return take(arg ? PyObject_CallMethod(self, name, "O", arg) : PyObject_CallMethod(self, name, nullptr));
}

PyCFunction c_function(nb::handle descriptor, int flags) {
    if (Py_TYPE(descriptor.ptr()) != &PyMethodDescr_Type)
        throw nb::type_error("collections.deque methods are not method descriptors");
    PyMethodDef *def = reinterpret_cast<PyMethodDescrObject *>(descriptor.ptr())->d_method;
    if ((def->ml_flags & ~METH_COEXIST) != flags)
        throw nb::type_error("collections.deque methods have an unexpected calling convention");
    return def->ml_meth;
}

nb::object append(PyObject *store, PyObject *item) {
    if (!PyObject_TypeCheck(store, deque_type))
        return call_method(store, "append", item);
    return take(deque_append(store, item));
}

nb::object popleft(PyObject *store) {
    if (!PyObject_TypeCheck(store, deque_type))
        return call_method(store, "popleft");
    return take(deque_popleft(store, nullptr));
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

// A field of the state as a strong reference; AttributeError when it is unset.
nb::object field(PyObject *value, PyObject *self, const char *name) {
    if (!require_field(value, self, name))
        throw nb::python_error();
    return nb::borrow(value);
}

void notify(PyObject *condition, PyObject *waiters, PyObject *self, const char *name, const char *method) {
    if (may_have_waiters(waiters))
        call_method(field(condition, self, name).ptr(), method);
}

bool is_full(const QueueState &s, PyObject *self, Py_ssize_t size) {
    if (s.capacity_known)
        return s.capacity == size;
    nb::object maxsize = field(s.maxsize, self, "maxsize");
    nb::object size_obj = take(PyLong_FromSsize_t(size));
    int eq = PyObject_RichCompareBool(size_obj.ptr(), maxsize.ptr(), Py_EQ);
    if (eq < 0)
        throw nb::python_error();
    return eq == 1;
}

// The state plus a reference that keeps it alive while Python code runs.
struct HeldState {
    explicit HeldState(PyObject *self) : s(state_of(self)), ref(nb::borrow(reinterpret_cast<PyObject *>(&s))) {
        if (!s.unfinished_set) {
            require_field(nullptr, self, "unfinished_tasks");
            throw nb::python_error();
        }
    }
    QueueState &s;
    nb::object ref;
};

// ---------------------------------------------------------------- __init__

const char *const init_names[] = {"self", "batch_size", "debug"};
const Parameters init_params{"__init__", init_names, 3, 3, 2};

nb::object init_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[3];
    if (!bind_arguments(init_params, args, nargs, kwnames, a))
        throw nb::python_error();
    PyObject *self = a[0], *batch_size = a[1], *debug = a[2] ? a[2] : Py_False;
    require_int(batch_size, "batch_size");

    attach_state(self);
    nb::object base = take(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                                         latest_queue_type, self, nullptr));
    base.attr("__init__")(nb::arg("maxsize") = nb::handle(batch_size));

    nb::handle instance(self);
    instance.attr("debug") = nb::handle(debug);
    if (truth(debug))
        instance.attr("logger") = module_ns.get("get_logger")(nb::handle(logger_name));
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
    HeldState held(self);
    QueueState &s = held.s;
    nb::object mutex = field(s.mutex, self, "mutex");
    MutexHold hold(mutex.ptr());

    // LatestQueue itself works on the deque; subclasses keep their own hooks.
    bool direct = Py_TYPE(self) == latest_queue_type;
    nb::object store = field(s.store, self, "queue");
    Py_ssize_t size;
    if (direct) {
        size = length(store.ptr());
    } else {
        size = PyLong_AsSsize_t(call_method(self, "_qsize").ptr());
        if (size == -1 && PyErr_Occurred())
            throw nb::python_error();
    }

    if (is_full(s, self, size)) {
        if (truth(field(s.debug, self, "debug").ptr()))
            take(PyObject_CallMethodOneArg(nb::handle(self).attr("logger").ptr(),
                                            nb::str("warning").ptr(), drop_warning));
        if (direct)
            popleft(store.ptr());
        else
            call_method(self, "_get");
        // The dropped item will never be marked done, so it leaves the count.
        s.unfinished = std::max(s.unfinished - 1, 0LL);
    }
    if (direct)
        append(store.ptr(), item);
    else
        call_method(self, "_put", item);
    s.unfinished += 1;
    notify(s.not_empty, s.not_empty_waiters, self, "not_empty", "notify");
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
        nb::object items = take(PySequence_List(store));
        call_unbound(deque_clear, store);
        return items;
    }
    nb::object items = take(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(items.ptr(), i, popleft(store).release().ptr());
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

    HeldState held(self);
    QueueState &s = held.s;
    nb::object mutex = field(s.mutex, self, "mutex");
    MutexHold hold(mutex.ptr());

    nb::object store = field(s.store, self, "queue");
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
            if (PyList_Reverse(items.ptr()) < 0 ||
                !check_or_report(PyObject_Vectorcall(deque_extendleft, back, 2, nullptr)))
                PyErr_WriteUnraisable(self);
            throw factory_error;
        }
        result = nb::steal(made);
    }

    if (adjust && n > 0) {
        s.unfinished = std::max(s.unfinished - static_cast<long long>(n), 0LL);
        if (s.unfinished == 0)
            notify(s.all_tasks_done, s.all_tasks_waiters, self, "all_tasks_done", "notify_all");
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
    ns["__slots__"] = nb::make_tuple(kStateSlot);
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
    nb::object cls = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))("LatestQueue", nb::make_tuple(queue_base), ns);
    install_state_descriptors(cls, kStateSlot);
    return cls;
}

void init_constants() {
    drop_warning = PyUnicode_InternFromString(kDropWarning);
    logger_name = PyUnicode_InternFromString("RQ: ");
    if (!drop_warning || !logger_name)
        throw nb::python_error();
}

} // namespace

void init_module(nb::module_ &m) {
    module_ns.bind(m);
    nb::module_ queue_module = nb::module_::import_("queue");
    m.attr("queue") = queue_module;
    m.attr("Any") = import_name("typing", "Any");
    m.attr("get_logger") = import_name("quillo_sdk.logging", "get_logger");

    init_constants();
    init_thread_lock_access();
    init_queue_state_type();
    nb::object deque = import_name("collections", "deque");
    deque_type = reinterpret_cast<PyTypeObject *>(deque.inc_ref().ptr());
    deque_append = c_function(deque.attr("append"), METH_O);
    deque_popleft = c_function(deque.attr("popleft"), METH_NOARGS);
    deque_extendleft = nb::object(deque.attr("extendleft")).release().ptr();
    deque_clear = nb::object(deque.attr("clear")).release().ptr();

    nb::object cls = make_class(queue_module.attr("Queue"));
    latest_queue_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    m.attr("LatestQueue") = cls;
    cls.release();  // the module keeps it alive for the process lifetime
}

} // namespace quillo::latestq

NB_MODULE(latestq, m) {
    quillo::latestq::init_module(m);
}
