// Reading detections and tracks: unpacking boxes, the anchor arithmetic and
// shallow copies, each with a direct path for the common plain types and the
// host's own protocol for everything else.
#pragma once

#include "zone_gate/geometry.hpp"

#include <nanobind/nanobind.h>

namespace quillo::zone_gate {

namespace nb = nanobind;

// Binds numpy's scalar and array types and copyreg's table; called at import.
void init_items(nb::handle module);

// Unpacks `seq` into exactly `n` values as `a, b, ... = seq` would, with the host's errors.
void unpack(PyObject *seq, Py_ssize_t n, nb::object *out);

// A number read once per call: the anchor fractions and the frame size.
struct Number {
    enum Kind : unsigned char { other, integer, real, np_real } kind = other;
    long long i = 0;
    double d = 0;

    static Number of(PyObject *value);
};

// The call-wide inputs of the anchor computation.
struct AnchorInputs {
    PyObject *ax, *ay, *fx, *fy;  // borrowed
    Number nax, nay, nfx, nfy;

    AnchorInputs(PyObject *ax, PyObject *ay, PyObject *fx, PyObject *fy)
        : ax(ax), ay(ay), fx(fx), fy(fy), nax(Number::of(ax)), nay(Number::of(ay)), nfx(Number::of(fx)),
          nfy(Number::of(fy)) {}
};

// (x + w*ax, y + h*ay), divided by the frame size for pixel boxes, computed as
// the host computes it on the box's own values and converted to doubles as a
// shapely Point converts its coordinates.
geometry::Point anchor_point(PyObject *box, const AnchorInputs &in);

// copy.copy(item); plain instances are copied directly. Keeps the last type's
// verdict, so use one Copier per call.
class Copier {
public:
    nb::object copy(PyObject *item);

private:
    nb::object checked_;
    bool plain_ = false;
};

} // namespace quillo::zone_gate
