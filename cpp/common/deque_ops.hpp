// The store operations of a queue whose items live in a collections.deque.
//
// For an exact collections.deque, append and popleft are called through the
// C functions behind the type's method descriptors (shortcut
// `deque_c_functions`), which skips the generic call machinery on the hottest
// path. Anything else, a deque subclass with its own methods included, and
// every deque under the twin, is called through its methods by name.
#pragma once

#include <nanobind/nanobind.h>

namespace quillo::deque_ops {

namespace nb = nanobind;

// Decides the shortcut and records it in `module._shortcuts`.
void init(nb::handle module);

// Whether `store` is exactly a collections.deque (no subclass methods to honour).
bool is_plain_deque(nb::handle store);

void append(nb::handle store, nb::handle item);
nb::object popleft(nb::handle store);  // IndexError from an empty deque propagates
// Every item, oldest first, as a new list; the store is left empty.
nb::object take_all(nb::handle store);
// Puts `items` back at the left end in their order (the first becomes the leftmost).
void put_back(nb::handle store, nb::handle items);

} // namespace quillo::deque_ops
