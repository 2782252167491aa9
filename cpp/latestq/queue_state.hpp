// Per-queue state that put and drain_fast read on every call.
//
// queue.Queue keeps its store, mutex, conditions, capacity and task count as
// instance attributes. Looking those up in the instance dict costs more than
// the rest of a put, so LatestQueue turns them into data descriptors backed by
// this C++ record, which lives in a slot of the instance. Every read and write
// from Python (the inherited get, task_done, join, ...) goes through the
// descriptors, so both sides always see the same values.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo::latestq {

namespace nb = nanobind;

struct QueueState {
    PyObject_HEAD
    PyObject *mutex;
    PyObject *store;              // the deque of items
    PyObject *maxsize;
    PyObject *not_empty;
    PyObject *not_empty_waiters;  // its _waiters deque, or nullptr when unknown
    PyObject *all_tasks_done;
    PyObject *all_tasks_waiters;
    PyObject *debug;
    PyObject *on_drop;            // called with each dropped item, or nullptr
    long long capacity;           // maxsize as a C integer, valid when capacity_known
    bool capacity_known;
    bool unfinished_set;
    bool is_shutdown;
    long long unfinished;         // unfinished_tasks
    long long dropped;            // items dropped since creation
};

// Creates the state type; called once at import.
void init_queue_state_type();

// Installs the slot holding the state and the descriptors on the new class.
// `slot_name` must be listed in the class's __slots__; decides the slot's
// shortcut for `module`.
void install_state_descriptors(nb::handle module, nb::handle cls, const char *slot_name);

// A new, empty state record for an instance being initialised.
QueueState &attach_state(PyObject *self);

// The record of `self`; throws AttributeError when __init__ has not run.
QueueState &state_of(PyObject *self);

// Attribute value of the record, or AttributeError named like the instance attribute.
PyObject *require_field(PyObject *value, PyObject *self, const char *name);

// Sets a reference field of the record.
void set_field(PyObject *&field, nb::handle value);

} // namespace quillo::latestq
