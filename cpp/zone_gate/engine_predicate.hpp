// The geometry engine's own orientation predicate, called through its C API.
//
// shapely decides `contains` with GEOS, whose orientation test is not exact:
// when a fast floating-point filter cannot decide, it evaluates the
// determinant in double-double arithmetic, which can call a nearly collinear
// point collinear or put it on the other side. To give the very answers
// shapely gives, the gate asks the same library for those hard cases, found
// among the libraries shapely has already loaded into the process.
#pragma once

namespace quillo::geometry {

// Signature of GEOSOrientationIndex_r: -1, 0, 1, or 2 on error.
using OrientationFn = int (*)(void *context, double ax, double ay, double bx, double by, double px, double py);

struct EnginePredicate {
    OrientationFn orientation = nullptr;
    void *context = nullptr;
};

// Finds GEOS's C library in the process (shapely must be imported first).
// Throws std::runtime_error when it cannot.
EnginePredicate load_engine_predicate();

// Installs the predicate used when the floating-point filter cannot decide.
void set_engine_predicate(const EnginePredicate &predicate);

} // namespace quillo::geometry
