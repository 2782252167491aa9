#include "common/call_args.hpp"
#include "common/condition_waiters.hpp"
#include "common/deque_ops.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"
#include "common/module_attr.hpp"
#include "common/py_ops.hpp"
#include "common/thread_lock.hpp"
#include "latestq/queue_state.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <climits>
#include <optional>

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
    "``task_done`` per item yourself.\n"
    "\n"
    "After ``shutdown`` it still returns what is left; once a shut-down queue is empty it\n"
    "raises ``ShutDown``, as ``get_nowait`` does.";

constexpr const char *kPutDoc =
    "Store ``item`` as the newest element, dropping the oldest one when the queue is full. "
    "Never blocks; ``block`` and ``timeout`` are accepted for compatibility and ignored. "
    "Raises ``ShutDown`` once the queue is shut down. A dropped item is passed to the "
    "queue's ``on_drop`` after the queue's lock is released; its exception reaches the "
    "caller with ``item`` already stored.";

constexpr const char *kShutdownDoc =
    "Shut the queue down: ``put`` raises ``ShutDown`` from now on, and ``get`` raises it once "
    "the queue is empty, or at once with ``immediate`` true, which also removes every item, "
    "counts the removed items out of ``unfinished_tasks`` and wakes the threads in ``join``. "
    "Every thread blocked in ``get`` wakes to check again.";

constexpr const char *kDropWarning = "Throwing away element";

constexpr const char *kStateSlot = "_latestq_state";

nb::handle latest_queue_type;
nb::handle shutdown_error;  // queue.ShutDown, or the module's own before Python 3.13
nb::handle drop_warning;
nb::handle logger_name;
ModuleNamespace module_ns;

Py_ssize_t length(nb::handle obj) {
    Py_ssize_t n = PyObject_Size(obj.ptr());
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
    if (condition_waiters::may_have_waiters(waiters))
        field(condition, self, name).attr(method)();
}

bool is_full(const QueueState &s, PyObject *self, Py_ssize_t size) {
    if (s.capacity_known)
        return s.capacity == size;
    nb::object maxsize = field(s.maxsize, self, "maxsize");
    return nb::int_(size).equal(maxsize);
}

[[noreturn]] void raise_shutdown() {
    PyErr_SetNone(shutdown_error.ptr());
    throw nb::python_error();
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

// Whether the instance is a LatestQueue itself, which works on its store
// directly; subclasses keep their own _qsize/_get/_put hooks.
bool is_direct(PyObject *self) { return Py_TYPE(self) == reinterpret_cast<PyTypeObject *>(latest_queue_type.ptr()); }

Py_ssize_t stored_count(PyObject *self, bool direct, nb::handle store) {
    if (direct)
        return length(store);
    return nb::cast<Py_ssize_t>(nb::handle(self).attr("_qsize")());
}

// The n oldest items of the store, oldest first, removed with popleft (all
// at once when a plain deque is emptied).
nb::object take_oldest(nb::handle store, Py_ssize_t n, Py_ssize_t size) {
    if (n == size && deque_ops::is_plain_deque(store))
        return deque_ops::take_all(store);
    nb::object items = take(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        init_list_item(items, i, deque_ops::popleft(store));
    return items;
}

// Lowers unfinished_tasks by n, not below zero, waking join when it reaches zero.
void count_done(QueueState &s, PyObject *self, long long n) {
    s.unfinished = std::max(s.unfinished - n, 0LL);
    if (s.unfinished == 0)
        notify(s.all_tasks_done, s.all_tasks_waiters, self, "all_tasks_done", "notify_all");
}

// ---------------------------------------------------------------- __init__

const char *const init_names[] = {"self", "batch_size", "debug", "on_drop"};
const Parameters init_params{"__init__", init_names, 4, 3, 2};

nb::object init_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[4];
    if (!bind_arguments(init_params, args, nargs, kwnames, a))
        throw nb::python_error();
    PyObject *self = a[0], *batch_size = a[1], *debug = a[2] ? a[2] : Py_False;
    require_int(batch_size, "batch_size");
    nb::handle on_drop = a[3] && a[3] != Py_None ? a[3] : nullptr;
    if (on_drop.is_valid() && !PyCallable_Check(on_drop.ptr()))
        throw nb::type_error("on_drop must be callable or None");

    QueueState &s = attach_state(self);
    set_field(s.on_drop, on_drop);
    nb::object base = nb::handle(reinterpret_cast<PyObject *>(&PySuper_Type))(latest_queue_type, nb::handle(self));
    base.attr("__init__")(nb::arg("maxsize") = nb::handle(batch_size));

    nb::handle instance(self);
    instance.attr("debug") = nb::handle(debug);
    if (truth(debug))
        instance.attr("logger") = module_ns.get("get_logger")(logger_name);
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
    PyObject *self = a[0];
    nb::handle item = a[1];
    HeldState held(self);
    QueueState &s = held.s;
    // Declared before the lock is taken, so released only after it is given
    // back: the item's __del__ or a weakref callback may use this queue.
    nb::object dropped;
    {
        nb::object mutex = field(s.mutex, self, "mutex");
        MutexHold hold(mutex);
        if (s.is_shutdown)
            raise_shutdown();
        bool direct = is_direct(self);
        nb::object store = field(s.store, self, "queue");
        if (is_full(s, self, stored_count(self, direct, store))) {
            if (truth(field(s.debug, self, "debug")))
                nb::handle(self).attr("logger").attr("warning")(drop_warning);
            dropped = direct ? deque_ops::popleft(store) : nb::handle(self).attr("_get")();
            s.dropped += 1;
            // The dropped item will never be marked done, so it leaves the count.
            s.unfinished = std::max(s.unfinished - 1, 0LL);
        }
        if (direct)
            deque_ops::append(store, item);
        else
            nb::handle(self).attr("_put")(item);
        s.unfinished += 1;
        notify(s.not_empty, s.not_empty_waiters, self, "not_empty", "notify");
    }
    if (dropped.is_valid() && s.on_drop)
        nb::handle(s.on_drop)(dropped);
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

// An error to report as unraisable once the queue's lock is released.
struct ReportAfterUnlock {
    explicit ReportAfterUnlock(PyObject *context) : context(context) {}
    ~ReportAfterUnlock() {
        if (error)
            error->discard_as_unraisable(context);
    }
    nb::handle context;
    std::optional<nb::python_error> error;
};

nb::object drain_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[4];
    if (!bind_arguments(drain_params, args, nargs, kwnames, a))
        throw nb::python_error();
    PyObject *self = a[0], *max_items = a[1];
    require_int(max_items, "max_items");
    nb::handle factory = a[2] && a[2] != reinterpret_cast<PyObject *>(&PyList_Type) ? a[2] : nullptr;
    bool adjust = a[3] ? truth(a[3]) : true;
    long long requested = requested_count(max_items);

    HeldState held(self);
    QueueState &s = held.s;
    // Released only after the lock is: the factory may keep none of the items.
    ReportAfterUnlock lost_items(self);
    nb::object items, result;
    {
        nb::object mutex = field(s.mutex, self, "mutex");
        MutexHold hold(mutex);
        nb::object store = field(s.store, self, "queue");
        Py_ssize_t size = length(store);
        if (s.is_shutdown && size == 0)
            raise_shutdown();
        Py_ssize_t n = static_cast<Py_ssize_t>(std::clamp<long long>(requested, 0, size));
        items = take_oldest(store, n, size);
        result = items;
        if (factory.is_valid()) {
            try {
                result = factory(items);
            } catch (nb::python_error &) {
                // Nothing is lost: the items go back to the front in their order.
                try {
                    deque_ops::put_back(store, items);
                } catch (nb::python_error &e) {
                    lost_items.error.emplace(e);
                }
                throw;
            }
        }
        if (adjust && n > 0)
            count_done(s, self, n);
    }
    return result;
}

// ---------------------------------------------------------------- shutdown

const char *const shutdown_names[] = {"self", "immediate"};
const Parameters shutdown_params{"shutdown", shutdown_names, 2, 2, 1};

nb::object shutdown_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    if (!bind_arguments(shutdown_params, args, nargs, kwnames, a))
        throw nb::python_error();
    PyObject *self = a[0];
    HeldState held(self);
    bool immediate = a[1] && truth(a[1]);
    QueueState &s = held.s;
    nb::object removed;  // released after the lock, as in put
    {
        nb::object mutex = field(s.mutex, self, "mutex");
        MutexHold hold(mutex);
        s.is_shutdown = true;
        if (immediate) {
            nb::object store = field(s.store, self, "queue");
            if (is_direct(self)) {
                Py_ssize_t size = length(store);
                removed = take_oldest(store, size, size);
            } else {
                nb::list taken;
                removed = taken;
                while (stored_count(self, false, store) > 0)
                    taken.append(nb::handle(self).attr("_get")());
            }
            s.unfinished = std::max(s.unfinished - static_cast<long long>(nb::len(removed)), 0LL);
            // Every thread in join wakes to check the count.
            field(s.all_tasks_done, self, "all_tasks_done").attr("notify_all")();
        }
        // Blocked getters (and putters of subclasses) check again and raise.
        notify(s.not_empty, s.not_empty_waiters, self, "not_empty", "notify_all");
        nb::handle(self).attr("not_full").attr("notify_all")();
    }
    return nb::none();
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

nb::object make_class(nb::handle module, nb::handle queue_base, nb::handle backport) {
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = "LatestQueue";
    ns["__doc__"] = kClassDoc;
    ns["__slots__"] = nb::make_tuple(kStateSlot);
    ns["__init__"] = make_method({"__init__", "LatestQueue.__init__", kModule, nullptr,
                                  "($self, /, batch_size, debug=False, *, on_drop=None)",
                                  {{"batch_size", "int"}, {"return", "None"}},
                                  vectorcall_entry<init_impl>});
    ns["put"] = make_method({"put", "LatestQueue.put", kModule, kPutDoc,
                             "($self, /, item, block=True, timeout=None)",
                             {{"item", "Any"}, {"block", "bool"}, {"timeout", "float | None"}, {"return", "None"}},
                             vectorcall_entry<put_impl>});
    ns["drain_fast"] = make_method({"drain_fast", "LatestQueue.drain_fast", kModule, kDrainDoc,
                                    nullptr, {{"max_items", "int"}}, vectorcall_entry<drain_impl>,
                                    drain_signature});
    ns["shutdown"] = make_method({"shutdown", "LatestQueue.shutdown", kModule, kShutdownDoc,
                                  "($self, /, immediate=False)", {{"immediate", "bool"}, {"return", "None"}},
                                  vectorcall_entry<shutdown_impl>});
    // Before Python 3.13 the inherited get knows nothing of shutdown.
    if (!nb::hasattr(queue_base, "shutdown"))
        ns["get"] = backport.attr("get");
    nb::object cls = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))("LatestQueue", nb::make_tuple(queue_base), ns);
    install_state_descriptors(module, cls, kStateSlot);
    return cls;
}

nb::handle interned(const char *text) { return keep_forever(take(PyUnicode_InternFromString(text))); }

} // namespace

void init_module(nb::module_ &m) {
    module_ns.bind(m);
    nb::module_ queue_module = nb::module_::import_("queue");
    m.attr("queue") = queue_module;
    m.attr("Any") = import_name("typing", "Any");
    m.attr("get_logger") = import_name("quillo_sdk.logging", "get_logger");
    nb::module_ backport = nb::module_::import_("quillo_sdk.structures._queue_backport");
    m.attr("ShutDown") = backport.attr("ShutDown");
    shutdown_error = keep_forever(backport.attr("ShutDown"));

    drop_warning = interned(kDropWarning);
    logger_name = interned("RQ: ");
    init_thread_lock_shortcuts(m);
    deque_ops::init(m);
    condition_waiters::init(m);
    init_queue_state_type();

    nb::object cls = make_class(m, queue_module.attr("Queue"), backport);
    m.attr("LatestQueue") = cls;
    latest_queue_type = keep_forever(cls);
}

} // namespace quillo::latestq

NB_MODULE(latestq, m) {
    quillo::latestq::init_module(m);
}
