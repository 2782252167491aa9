// Taking and releasing the queue's mutex (a `_thread.lock` created by
// queue.Queue) without going through its Python-level methods when possible.
//
// Calling `lock.acquire()` parses its arguments on every call and costs more
// than the rest of a put, so for the interpreter's own lock type we try the
// underlying lock directly. The object layout this relies on is checked once
// at import by probing a fresh lock; if the check fails (another interpreter
// version, a replaced lock type) every call goes through the methods.
#pragma once

#include <Python.h>

namespace quillo::latestq {

// Looks at `_thread.LockType` once; must run with the module's imports available.
void init_thread_lock_access();

// Scoped hold of a mutex: acquires in the constructor (blocking, with the
// thread state released while it waits), releases in the destructor.
class MutexHold {
public:
    explicit MutexHold(PyObject *mutex);  // throws nb::python_error on failure
    ~MutexHold();
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;

private:
    PyObject *mutex_;
    bool direct_;
};

} // namespace quillo::latestq
