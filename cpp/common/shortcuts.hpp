// Shortcuts past the documented C API, and how each one is chosen.
//
// Some hot paths read a private layout of the interpreter or of a library the
// kit did not build. Each such shortcut has a twin that uses only documented
// API and gives the same results, slower. At import, every shortcut runs a
// self-check on live objects; only a passing check selects the fast twin, and
// a failing one never fails the import. QUILLO_SDK_PORTABLE=1 (read through
// quillo_sdk.constants.PORTABLE) selects every documented twin.
//
// The verdicts are kept in each module's `_shortcuts` attribute as
// {name: (enabled, reason)}, reason None when enabled; `quillo info` shows them.
//
// Every shortcut, what it assumes and how that is checked:
//
// name                module     assumes / checked by
// ------------------  ---------  ---------------------------------------------------
// thread_lock_layout  latestq    `_thread.lock` is {PyObject_HEAD; PyThread_type_lock;
//                                weakreflist; char locked}, so the queue's mutex is taken
//                                with PyThread_acquire_lock(NOWAIT) and released directly.
//                                Checked on a fresh lock: basic size, and that holds made
//                                through acquire()/release()/locked() and through the
//                                layout are seen by the other side. Twin: acquire()/release().
// lock_semaphore      latestq    the lock's PyThread_type_lock is a POSIX sem_t (Linux,
//                                before 3.13), so a non-blocking attempt is sem_trywait.
//                                Checked: sys.thread_info says pthread/semaphore, the
//                                semaphore's value follows acquire/release, and the layout
//                                check passes again with it in use. Twin: as above.
// deque_c_functions   latestq    collections.deque's append/popleft are method descriptors
//                                whose PyMethodDef has METH_O / METH_NOARGS; their C
//                                functions are called directly on exact deques. Checked:
//                                descriptor type, flags, and a probe deque behaves as with
//                                the methods. Twin: the methods, called by name.
// condition_waiters   latestq    threading.Condition keeps its waiters in `_waiters`, a
//                                deque, so an empty one means notify wakes no one and the
//                                call is skipped. Checked: a fresh Condition has an empty
//                                deque `_waiters`, and notify/wait name `_waiters`. Twin:
//                                always call notify.
// state_slot_offset   latestq    the member descriptor of the instance slot holding the
//                                queue's record has its offset in PyMemberDescrObject's
//                                d_member. Checked: T_OBJECT_EX inside the basic size, and
//                                a value set/deleted through __set__/__delete__ appears at
//                                that offset. Twin: the descriptor's __get__/__set__.
// optional_attr       zone_gate  before 3.13, the private _PyObject_LookupAttr reads an
//                                attribute without building the AttributeError (public from
//                                3.13 as PyObject_GetOptionalAttr); checked on present,
//                                absent and raising attributes against getattr.
//                                Twin: PyObject_GetAttr, AttributeError cleared.
// type_lookup         zone_gate  the private _PyType_Lookup resolves a name along a class's
//                                MRO dicts; checked on object and two probe classes for the
//                                copy hooks. Twin: walk __mro__ and each class's __dict__.
// instance_dict       zone_gate  before 3.13, an instance allocated with tp_alloc has no inline
//                                attribute values, and a copied dict can become its __dict__
//                                (3.13+: object.__new__ and an update of its own dict);
//                                checked by copying a probe instance and comparing attributes,
//                                their order and dict independence. Twin: object.__new__(cls)
//                                and new.__dict__.update(state), as copy.copy does.
// geos_predicate      zone_gate  the GEOS C library named in shapely.lib's DT_NEEDED, found
//                                through its link map (dlinfo), exports GEOSOrientationIndex_r
//                                with the engine's own rounding; checked by its GEOSversion()
//                                equal to shapely's and three plain turns. Off for GEOS older
//                                than 3.13, whose point location follows other rules.
//                                Twin: shapely.contains decides the points the
//                                floating-point filter cannot settle.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>

namespace quillo::shortcuts {

namespace nb = nanobind;

// Whether the documented twins are forced; read once from quillo_sdk.constants.
bool portable();

// Decides the shortcut `name` of `module` at import: runs `check` unless the
// twins are forced and records the verdict in `module._shortcuts`. `check`
// returns an empty string when the shortcut holds, else why it does not; an
// exception it throws counts as a failed check with the exception's text.
// Returns whether the fast twin may be used.
bool choose(nb::handle module, const char *name, const std::function<std::string()> &check);

// Records a shortcut that was decided without a check of its own (for example
// one that depends on another's verdict).
void record(nb::handle module, const char *name, bool enabled, const std::string &reason);

} // namespace quillo::shortcuts
