// Reading detections and tracks: unpacking boxes, the anchor arithmetic and
// shallow copies, each with a direct path for the common plain types and the
// host's own protocol for everything else.
#pragma once

#include "common/instance_copy.hpp"
#include "zone_gate/geometry.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>

namespace quillo::zone_gate {

namespace nb = nanobind;

// Binds numpy's scalar and array types and copyreg's table; called at import.
void init_items(nb::handle module);

// `mapping.get(key, fallback)`, directly for dicts.
nb::object get_or(PyObject *mapping, PyObject *key, PyObject *fallback);

// The item's `info`, or an invalid object when it has none; any ordinary
// error while reading it also means none, as hasattr-like probing has it.
nb::object info_of(PyObject *item);

// The item's box: info.get("rect", item.tlwh) when it has an `info`, else
// its `tlwh`, read in that order.
nb::object box_of(PyObject *item, const nb::object &info);

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

// copy.copy(item) with the attributes `extra` then set on the copy; plain
// instances are copied directly, the attributes going into the copy's dict as
// it is built. Keeps the last type's verdicts, so use one Copier per call and
// the same extra names throughout.
class Copier {
public:
    nb::object copy(PyObject *item, const instance_copy::Attribute *extra = nullptr, std::size_t n_extra = 0);

private:
    nb::object checked_;
    bool plain_ = false;
    signed char extras_plain_ = -1;  // whether `extra` stores plainly on the checked type; -1 not yet known
};

} // namespace quillo::zone_gate
