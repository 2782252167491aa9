// Whether a threading.Condition has anyone to wake, read from its private
// `_waiters` deque (shortcut `condition_waiters`), so that a put with no
// waiting consumer skips the Python-level notify call. The twin always
// notifies, which is what notify itself decides from the same deque.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo::condition_waiters {

namespace nb = nanobind;

// Decides the shortcut and records it in `module._shortcuts`.
void init(nb::handle module);

// The waiters deque of `condition` to peek at, or an invalid handle when it
// cannot be trusted (shortcut off, not an exact threading.Condition).
nb::object of(nb::handle condition);

// Whether notify on the condition whose `waiters` were taken may wake
// someone; an invalid `waiters` always may.
inline bool may_have_waiters(nb::handle waiters) {
    if (!waiters.is_valid())
        return true;
    Py_ssize_t n = PyObject_Size(waiters.ptr());
    if (n < 0)
        PyErr_Clear();  // cannot tell: notify anyway
    return n != 0;
}

} // namespace quillo::condition_waiters
