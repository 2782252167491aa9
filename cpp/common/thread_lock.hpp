// Taking and releasing a queue's mutex (a `_thread.lock`) without going
// through its Python-level methods when the lock's layout allows it.
//
// Calling `lock.acquire()` parses its arguments on every call and costs more
// than the rest of a put, so for the interpreter's own lock type the
// underlying lock is taken directly. Two shortcuts, decided at import:
//   thread_lock_layout  the object layout of `_thread.lock` (a PyThread lock and
//                       a flag up to 3.13, a PyMutex from 3.14);
//   lock_semaphore      non-blocking attempts go straight to sem_trywait.
// Their twin calls `acquire()` / `release()`.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo {

namespace nb = nanobind;

// Decides both lock shortcuts and records them in `module._shortcuts`.
void init_thread_lock_shortcuts(nb::handle module);

// Scoped hold of a mutex: acquires in the constructor (blocking, with the
// thread state released while it waits), releases in the destructor.
class MutexHold {
public:
    explicit MutexHold(nb::handle mutex);  // throws nb::python_error on failure
    ~MutexHold();
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;

private:
    PyObject *mutex_;
    bool direct_;
};

} // namespace quillo
