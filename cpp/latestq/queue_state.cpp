#include "latestq/queue_state.hpp"

#include "common/condition_waiters.hpp"
#include "common/gc_object.hpp"
#include "common/py_ops.hpp"
#include "common/slot_access.hpp"

#include <climits>
#include <cstddef>

namespace quillo::latestq {

namespace {

PyTypeObject *state_type = nullptr;
SlotAccess state_slot;
PyTypeObject *owner_type = nullptr;  // LatestQueue: only its instances have the slot

using StateGc = GcFields<QueueState, &QueueState::mutex, &QueueState::store, &QueueState::maxsize,
                         &QueueState::not_empty, &QueueState::not_empty_waiters, &QueueState::all_tasks_done,
                         &QueueState::all_tasks_waiters, &QueueState::debug, &QueueState::on_drop>;

PyType_Slot state_slots[] = {
    StateGc::slots[0],
    StateGc::slots[1],
    StateGc::slots[2],
    {0, nullptr},
};

PyType_Spec state_spec = {
    "quillo_sdk.structures.latestq._QueueState",
    sizeof(QueueState),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    state_slots,
};

QueueState *find_state(PyObject *self) {
    PyObject *s = state_slot.peek(self);
    return s && Py_TYPE(s) == state_type ? reinterpret_cast<QueueState *>(s) : nullptr;
}

// Descriptor closures carry the offset of the field within QueueState.
template <PyObject *QueueState::*Field>
struct ObjectField {
    static PyObject *get(PyObject *self, void *name) {
        QueueState *s = find_state(self);
        return new_reference(require_field(s ? s->*Field : nullptr, self, static_cast<const char *>(name)));
    }
    static int set(PyObject *self, PyObject *value, void *name) {
        QueueState *s = find_state(self);
        if (!s) {
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s' before __init__",
                         Py_TYPE(self)->tp_name, static_cast<const char *>(name));
            return -1;
        }
        replace_owned(s->*Field, value);
        return 0;
    }
};

template <PyObject *QueueState::*Field, PyObject *QueueState::*Waiters>
struct ConditionField {
    static int set(PyObject *self, PyObject *value, void *name) {
        if (ObjectField<Field>::set(self, value, name) < 0)
            return -1;
        QueueState *s = find_state(self);
        try {
            // The cached _waiters deque, so a put can tell whether anyone waits.
            replace_owned(s->*Waiters, condition_waiters::of(value).ptr());
        } catch (nb::python_error &e) {
            e.restore();
            return -1;
        }
        return 0;
    }
};

int set_maxsize(PyObject *self, PyObject *value, void *name) {
    if (ObjectField<&QueueState::maxsize>::set(self, value, name) < 0)
        return -1;
    QueueState *s = find_state(self);
    s->capacity_known = false;
    if (value && PyLong_CheckExact(value)) {
        int overflow = 0;
        long long capacity = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (capacity == -1 && PyErr_Occurred())
            return -1;
        s->capacity = capacity;
        s->capacity_known = !overflow;
    }
    return 0;
}

PyObject *get_unfinished(PyObject *self, void *name) {
    QueueState *s = find_state(self);
    if (!s || !s->unfinished_set)
        return require_field(nullptr, self, static_cast<const char *>(name));
    return PyLong_FromLongLong(s->unfinished);
}

int set_unfinished(PyObject *self, PyObject *value, void *name) {
    QueueState *s = find_state(self);
    if (!s || !value) {
        PyErr_Format(PyExc_AttributeError, "cannot %s '%s'", value ? "set" : "delete",
                     static_cast<const char *>(name));
        return -1;
    }
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be an int, not %.100s", static_cast<const char *>(name),
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    long long count = PyLong_AsLongLong(value);
    if (count == -1 && PyErr_Occurred())
        return -1;
    s->unfinished = count;
    s->unfinished_set = true;
    return 0;
}

PyObject *get_is_shutdown(PyObject *self, void *name) {
    QueueState *s = find_state(self);
    if (!s)
        return require_field(nullptr, self, static_cast<const char *>(name));
    return PyBool_FromLong(s->is_shutdown);
}

int set_is_shutdown(PyObject *self, PyObject *value, void *name) {
    QueueState *s = find_state(self);
    if (!s || !value) {
        PyErr_Format(PyExc_AttributeError, "cannot %s '%s'", value ? "set" : "delete",
                     static_cast<const char *>(name));
        return -1;
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0)
        return -1;
    s->is_shutdown = truth;
    return 0;
}

PyObject *get_dropped(PyObject *self, void *name) {
    QueueState *s = find_state(self);
    if (!s)
        return require_field(nullptr, self, static_cast<const char *>(name));
    return PyLong_FromLongLong(s->dropped);
}

PyGetSetDef descriptors[] = {
    {"mutex", ObjectField<&QueueState::mutex>::get, ObjectField<&QueueState::mutex>::set, nullptr,
     const_cast<char *>("mutex")},
    {"queue", ObjectField<&QueueState::store>::get, ObjectField<&QueueState::store>::set, nullptr,
     const_cast<char *>("queue")},
    {"maxsize", ObjectField<&QueueState::maxsize>::get, set_maxsize, nullptr, const_cast<char *>("maxsize")},
    {"not_empty", ObjectField<&QueueState::not_empty>::get,
     ConditionField<&QueueState::not_empty, &QueueState::not_empty_waiters>::set, nullptr,
     const_cast<char *>("not_empty")},
    {"all_tasks_done", ObjectField<&QueueState::all_tasks_done>::get,
     ConditionField<&QueueState::all_tasks_done, &QueueState::all_tasks_waiters>::set, nullptr,
     const_cast<char *>("all_tasks_done")},
    {"debug", ObjectField<&QueueState::debug>::get, ObjectField<&QueueState::debug>::set, nullptr,
     const_cast<char *>("debug")},
    {"unfinished_tasks", get_unfinished, set_unfinished, nullptr, const_cast<char *>("unfinished_tasks")},
    {"is_shutdown", get_is_shutdown, set_is_shutdown, nullptr, const_cast<char *>("is_shutdown")},
    {"dropped", get_dropped, nullptr, const_cast<char *>("Number of items dropped since the queue was made."),
     const_cast<char *>("dropped")},
};

} // namespace

PyObject *require_field(PyObject *value, PyObject *self, const char *name) {
    if (!value)
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name, name);
    return value;
}

void init_queue_state_type() {
    state_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&state_spec));
    if (!state_type)
        throw nb::python_error();
}

void set_field(PyObject *&field, nb::handle value) { replace_owned(field, value.ptr()); }

void install_state_descriptors(nb::handle module, nb::handle cls, const char *slot_name) {
    state_slot.bind(module, "state_slot_offset", cls, slot_name);
    owner_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    for (PyGetSetDef &def : descriptors) {
        nb::object descr = nb::steal(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject *>(cls.ptr()), &def));
        if (!descr.is_valid())
            throw nb::python_error();
        cls.attr(def.name) = descr;
    }
}

// The slot exists only in LatestQueue instances; anything else must not be touched.
void require_instance(PyObject *self) {
    if (!PyObject_TypeCheck(self, owner_type)) {
        PyErr_Format(PyExc_TypeError, "descriptor requires a '%s' object but received '%.100s'",
                     owner_type->tp_name, Py_TYPE(self)->tp_name);
        throw nb::python_error();
    }
}

QueueState &attach_state(PyObject *self) {
    require_instance(self);
    auto *s = PyObject_GC_New(QueueState, state_type);
    if (!s)
        throw nb::python_error();
    s->mutex = s->store = s->maxsize = s->not_empty = s->not_empty_waiters = nullptr;
    s->all_tasks_done = s->all_tasks_waiters = s->debug = s->on_drop = nullptr;
    s->capacity = 0;
    s->capacity_known = false;
    s->unfinished_set = false;
    s->is_shutdown = false;
    s->unfinished = 0;
    s->dropped = 0;
    PyObject_GC_Track(s);
    nb::object record = nb::steal(reinterpret_cast<PyObject *>(s));
    state_slot.store(self, record);
    return *s;  // the slot keeps it
}

QueueState &state_of(PyObject *self) {
    require_instance(self);
    QueueState *s = find_state(self);
    if (!s) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object is not initialised (LatestQueue.__init__ was not called)",
                     Py_TYPE(self)->tp_name);
        throw nb::python_error();
    }
    return *s;
}

} // namespace quillo::latestq
