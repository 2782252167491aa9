#include "latestq/thread_lock.hpp"

#include <nanobind/nanobind.h>
#include <pythread.h>

namespace nb = nanobind;

namespace quillo::latestq {

namespace {

#if PY_VERSION_HEX < 0x030D0000
// Layout of `_thread.lock` objects in CPython 3.10 to 3.12.
struct LockObject {
    PyObject_HEAD
    PyThread_type_lock lock_lock;
    PyObject *in_weakreflist;
    char locked;
};
#endif

PyTypeObject *direct_lock_type = nullptr;  // set only when the layout check passed

#if PY_VERSION_HEX < 0x030D0000
bool try_acquire_direct(PyObject *mutex) {
    auto *lock = reinterpret_cast<LockObject *>(mutex);
    if (!PyThread_acquire_lock(lock->lock_lock, NOWAIT_LOCK))
        return false;
    lock->locked = 1;
    return true;
}

void release_direct(PyObject *mutex) {
    auto *lock = reinterpret_cast<LockObject *>(mutex);
    lock->locked = 0;
    PyThread_release_lock(lock->lock_lock);
}

bool call_bool_method(PyObject *obj, const char *name) {
    nb::object result = nb::handle(obj).attr(name)();
    return PyObject_IsTrue(result.ptr()) == 1;
}

// Checks that a fresh lock behaves as the layout above says, in both directions.
bool layout_matches(nb::handle allocate_lock) {
    nb::object probe = allocate_lock();
    if (Py_TYPE(probe.ptr())->tp_basicsize != static_cast<Py_ssize_t>(sizeof(LockObject)))
        return false;
    auto *lock = reinterpret_cast<LockObject *>(probe.ptr());
    if (!lock->lock_lock || lock->locked != 0)
        return false;
    call_bool_method(probe.ptr(), "acquire");
    bool held_seen = lock->locked == 1 && !PyThread_acquire_lock(lock->lock_lock, NOWAIT_LOCK);
    probe.attr("release")();
    if (!held_seen || lock->locked != 0)
        return false;
    if (!try_acquire_direct(probe.ptr()))
        return false;
    bool direct_seen = call_bool_method(probe.ptr(), "locked");
    release_direct(probe.ptr());
    return direct_seen && !call_bool_method(probe.ptr(), "locked");
}
#endif

} // namespace

void init_thread_lock_access() {
#if PY_VERSION_HEX < 0x030D0000 && !defined(Py_GIL_DISABLED)
    nb::object allocate_lock = nb::module_::import_("_thread").attr("allocate_lock");
    if (layout_matches(allocate_lock)) {
        nb::object lock = allocate_lock();
        direct_lock_type = Py_TYPE(lock.ptr());
        Py_INCREF(direct_lock_type);  // a static type in practice; held for the process lifetime
    }
#endif
}

MutexHold::MutexHold(PyObject *mutex) : mutex_(mutex), direct_(false) {
#if PY_VERSION_HEX < 0x030D0000
    if (Py_TYPE(mutex) == direct_lock_type && try_acquire_direct(mutex)) {
        direct_ = true;
        return;
    }
#endif
    // Contended or unknown lock: the method waits with the thread state released.
    nb::handle(mutex).attr("acquire")();
}

MutexHold::~MutexHold() {
#if PY_VERSION_HEX < 0x030D0000
    if (direct_) {
        release_direct(mutex_);
        return;
    }
#endif
    // May run while an error is pending (a step under the lock failed).
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *result = PyObject_CallMethod(mutex_, "release", nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(mutex_);
    PyErr_Restore(type, value, traceback);
}

} // namespace quillo::latestq
