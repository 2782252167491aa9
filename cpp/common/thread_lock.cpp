#include "common/thread_lock.hpp"

#include "common/py_ops.hpp"
#include "common/shortcuts.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <pythread.h>

#include <cstdint>
#include <string>

#if defined(__linux__) && PY_VERSION_HEX < 0x030D0000
#include <semaphore.h>
#define QUILLO_SEMAPHORE_LOCKS 1
#endif

namespace quillo {

namespace {

#if PY_VERSION_HEX >= 0x030E0000
// Layout of `_thread.lock` objects from 3.14 (checked against a live lock at
// import): a PyMutex in the object, whose bit 0 says held. A non-blocking
// attempt is the compare-and-swap that PyMutex_Lock tries first; a mutex with
// parked waiters is left to the lock's own method.
struct LockObject {
    PyObject_HEAD
    PyMutex mutex;
};

bool well_formed(const LockObject *) { return true; }

bool is_held(LockObject *lock) { return PyMutex_IsLocked(&lock->mutex); }

bool try_acquire_direct(PyObject *mutex) {
    auto *lock = reinterpret_cast<LockObject *>(mutex);
    std::uint8_t unlocked = 0;
    return __atomic_compare_exchange_n(&lock->mutex._bits, &unlocked, std::uint8_t{1}, false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

void release_direct(PyObject *mutex) { PyMutex_Unlock(&reinterpret_cast<LockObject *>(mutex)->mutex); }

#else
// Layout of `_thread.lock` objects up to 3.13 (checked against a live lock at
// import).
struct LockObject {
    PyObject_HEAD
    PyThread_type_lock lock_lock;
    PyObject *in_weakreflist;
    char locked;
};

bool well_formed(const LockObject *lock) { return lock->lock_lock != nullptr; }

bool is_held(LockObject *lock) { return lock->locked == 1; }

#ifdef QUILLO_SEMAPHORE_LOCKS
// Where the interpreter builds its locks on POSIX semaphores, a non-blocking
// attempt can go straight to sem_trywait: PyThread_acquire_lock would first
// read the clock to compute a deadline it does not need.
bool semaphore_locks = false;
#endif

bool try_acquire_direct(PyObject *mutex) {
    auto *lock = reinterpret_cast<LockObject *>(mutex);
#ifdef QUILLO_SEMAPHORE_LOCKS
    if (semaphore_locks) {
        if (sem_trywait(static_cast<sem_t *>(lock->lock_lock)) != 0)
            return false;
        lock->locked = 1;
        return true;
    }
#endif
    if (!PyThread_acquire_lock(lock->lock_lock, NOWAIT_LOCK))
        return false;
    lock->locked = 1;
    return true;
}

void release_direct(PyObject *mutex) {
    auto *lock = reinterpret_cast<LockObject *>(mutex);
    lock->locked = 0;
#ifdef QUILLO_SEMAPHORE_LOCKS
    if (semaphore_locks) {
        sem_post(static_cast<sem_t *>(lock->lock_lock));
        return;
    }
#endif
    PyThread_release_lock(lock->lock_lock);
}
#endif

PyTypeObject *direct_lock_type = nullptr;  // set only when the layout check passed

bool call_bool_method(nb::handle obj, const char *name, nb::handle arg = nb::handle()) {
    nb::object result = arg.is_valid() ? obj.attr(name)(arg) : obj.attr(name)();
    return PyObject_IsTrue(result.ptr()) == 1;
}

// A fresh lock must look and behave as the layout says, in both directions:
// changes made through the methods are seen here and vice versa.
bool layout_matches(nb::handle allocate_lock) {
    nb::object probe = allocate_lock();
    if (Py_TYPE(probe.ptr())->tp_basicsize != static_cast<Py_ssize_t>(sizeof(LockObject)))
        return false;
    auto *lock = reinterpret_cast<LockObject *>(probe.ptr());
    if (!well_formed(lock) || is_held(lock))
        return false;
    call_bool_method(probe, "acquire");
    bool held_seen = is_held(lock) && !try_acquire_direct(probe.ptr());
    probe.attr("release")();
    if (!held_seen || is_held(lock) || !try_acquire_direct(probe.ptr()))
        return false;
    bool direct_seen = call_bool_method(probe, "locked") && !call_bool_method(probe, "acquire", Py_False);
    release_direct(probe.ptr());
    bool released_seen = !call_bool_method(probe, "locked") && call_bool_method(probe, "acquire", Py_False);
    if (released_seen)
        probe.attr("release")();
    return direct_seen && released_seen;
}

#ifdef QUILLO_SEMAPHORE_LOCKS
bool semaphore_matches(nb::handle allocate_lock) {
    nb::object info = nb::module_::import_("sys").attr("thread_info");
    if (nb::cast<std::string>(nb::str(info.attr("name"))) != "pthread" ||
        nb::cast<std::string>(nb::str(info.attr("lock"))) != "semaphore")
        return false;
    nb::object probe = allocate_lock();
    auto *sem = static_cast<sem_t *>(reinterpret_cast<LockObject *>(probe.ptr())->lock_lock);
    int free_value = -1, held_value = -1;
    sem_getvalue(sem, &free_value);
    probe.attr("acquire")();
    sem_getvalue(sem, &held_value);
    probe.attr("release")();
    return free_value == 1 && held_value == 0;
}
#endif

} // namespace

void init_thread_lock_shortcuts(nb::handle module) {
#if defined(Py_GIL_DISABLED)
    shortcuts::record(module, "thread_lock_layout", false, "free-threaded build");
    shortcuts::record(module, "lock_semaphore", false, "free-threaded build");
#else
    nb::object allocate_lock = nb::module_::import_("_thread").attr("allocate_lock");
    bool layout = shortcuts::choose(module, "thread_lock_layout", [&]() -> std::string {
        return layout_matches(allocate_lock) ? "" : "_thread.lock does not have the expected layout";
    });
#ifdef QUILLO_SEMAPHORE_LOCKS
    semaphore_locks = shortcuts::choose(module, "lock_semaphore", [&]() -> std::string {
        if (!layout)
            return "needs thread_lock_layout";
        if (!semaphore_matches(allocate_lock))
            return "the interpreter's locks are not POSIX semaphores";
        semaphore_locks = true;  // checked again with the shortcut in use
        bool still_matches = layout_matches(allocate_lock);
        semaphore_locks = false;
        return still_matches ? "" : "sem_trywait does not agree with the lock's methods";
    });
#else
    shortcuts::record(module, "lock_semaphore", false, "not built for this platform or Python version");
#endif
    if (layout)
        direct_lock_type = reinterpret_cast<PyTypeObject *>(
            keep_forever(nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(allocate_lock().ptr())))).ptr());
#endif
}

MutexHold::MutexHold(nb::handle mutex) : mutex_(mutex.ptr()), direct_(false) {
    if (Py_TYPE(mutex_) == direct_lock_type && try_acquire_direct(mutex_)) {
        direct_ = true;
        return;
    }
    // Contended or unknown lock, or the twin: the method waits with the thread state released.
    mutex.attr("acquire")();
}

MutexHold::~MutexHold() {
    if (direct_) {
        release_direct(mutex_);
        return;
    }
    // May run while an error is pending (a step under the lock failed).
    call_keeping_error(mutex_, "release", true);
}

} // namespace quillo
