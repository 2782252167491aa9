#include "zone_gate/items.hpp"

#include "common/instance_copy.hpp"
#include "common/module_attr.hpp"
#include "common/optional_attr.hpp"
#include "common/py_ops.hpp"
#include "common/refs.hpp"

#include <cstdlib>
#include <cstring>

namespace quillo::zone_gate {

namespace {

struct Bound {
    ModuleNamespace ns;             // Point and copy are read from the module at use
    PyObject *dispatch_table;       // copyreg.dispatch_table, consulted by copy.copy
    PyTypeObject *ndarray;
    PyObject *np_floating, *np_integer, *np_longdouble;
    PyObject *one, *get_name, *info_name, *tlwh_name, *rect_name;
    // What a class statement without __slots__ produces, for recognising plain instances.
    Py_ssize_t plain_basicsize, plain_dictoffset;
    // object's own copy hooks; a type that resolves to anything else is copied by copy.copy.
    PyObject *names[7];
    nb::object object_hooks[7];
} *bound = nullptr;

constexpr const char *kCopyHooks[7] = {"__copy__",           "__reduce_ex__", "__reduce__", "__getstate__",
                                       "__getnewargs_ex__", "__getnewargs__", "__setstate__"};

[[noreturn]] void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

// ------------------------------------------------------------ numbers

constexpr long long kExactInDouble = 1LL << 53;

double as_double(const Number &n) { return n.kind == Number::integer ? static_cast<double>(n.i) : n.d; }

Number::Kind real_kind(const Number &a, const Number &b) {
    return a.kind == Number::np_real || b.kind == Number::np_real ? Number::np_real : Number::real;
}

// Each operation returns false where only the host's own arithmetic gives the right answer.
// Integers stay integers (as in Python) unless the result would overflow.
template <typename IntOp, typename RealOp>
bool combine(const Number &a, const Number &b, Number &r, IntOp int_op, RealOp real_op) {
    if (a.kind == Number::other || b.kind == Number::other)
        return false;
    if (a.kind == Number::integer && b.kind == Number::integer) {
        r.kind = Number::integer;
        return !int_op(a.i, b.i, &r.i);
    }
    r.kind = real_kind(a, b);
    r.d = real_op(as_double(a), as_double(b));
    return true;
}

bool mul(const Number &a, const Number &b, Number &r) {
    return combine(
        a, b, r, [](long long x, long long y, long long *z) { return __builtin_mul_overflow(x, y, z); },
        [](double x, double y) { return x * y; });
}

bool add(const Number &a, const Number &b, Number &r) {
    return combine(
        a, b, r, [](long long x, long long y, long long *z) { return __builtin_add_overflow(x, y, z); },
        [](double x, double y) { return x + y; });
}

bool divide(const Number &a, const Number &b, Number &r) {
    if (a.kind == Number::other || b.kind == Number::other)
        return false;
    if (a.kind == Number::integer && b.kind == Number::integer) {
        if (std::llabs(a.i) > kExactInDouble || std::llabs(b.i) > kExactInDouble)
            return false;
        if (b.i == 0)
            raise(PyExc_ZeroDivisionError, "division by zero");
        r.kind = Number::real;
        r.d = static_cast<double>(a.i) / static_cast<double>(b.i);
        return true;
    }
    r.kind = real_kind(a, b);
    if (as_double(b) == 0) {
        if (r.kind == Number::np_real)
            return false;  // numpy answers inf or nan with a warning
        raise(PyExc_ZeroDivisionError, kFloatDivisionByZero);
    }
    r.d = as_double(a) / as_double(b);
    return true;
}

bool above_one(const Number &n) { return n.kind == Number::integer ? n.i > 1 : n.d > 1.0; }

bool fast_anchor(const Number v[4], const AnchorInputs &in, geometry::Point &out) {
    Number px, py, rx, ry;
    if (!mul(v[2], in.nax, px) || !add(v[0], px, rx) || !mul(v[3], in.nay, py) || !add(v[1], py, ry))
        return false;
    if (above_one(v[2]) && above_one(v[3])) {
        Number dx, dy;
        if (!divide(rx, in.nfx, dx) || !divide(ry, in.nfy, dy))
            return false;
        rx = dx;
        ry = dy;
    }
    out = {as_double(rx), as_double(ry)};
    return true;
}

// Four Python floats with float anchors, the usual box: the host's float
// arithmetic done here, without reading each value's kind.
bool float_anchor(PyObject *const *values, const AnchorInputs &in, geometry::Point &out) {
    if (in.nax.kind != Number::real || in.nay.kind != Number::real)
        return false;
    double v[4];
    for (int i = 0; i < 4; ++i) {
        if (!PyFloat_CheckExact(values[i]))
            return false;
        v[i] = PyFloat_AS_DOUBLE(values[i]);
    }
    Number rx, ry;
    rx.kind = ry.kind = Number::real;
    rx.d = v[0] + v[2] * in.nax.d;
    ry.d = v[1] + v[3] * in.nay.d;
    if (v[2] > 1.0 && v[3] > 1.0) {
        Number dx, dy;
        if (!divide(rx, in.nfx, dx) || !divide(ry, in.nfy, dy))
            return false;
        rx = dx;
        ry = dy;
    }
    out = {rx.d, ry.d};
    return true;
}

// Numbers that shapely's Point turns into doubles as float() does. Extended
// precision is not among them: Point refuses to narrow it.
bool plain_number(PyObject *o) {
    if (PyFloat_Check(o) || PyLong_Check(o))
        return true;
    int is = PyObject_IsInstance(o, bound->np_longdouble);
    if (is == 0)
        is = PyObject_IsInstance(o, bound->np_floating);
    else if (is > 0)
        return false;
    if (is == 0)
        is = PyObject_IsInstance(o, bound->np_integer);
    if (is < 0)
        throw nb::python_error();
    return is;
}

double to_double(PyObject *o) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

// The host's arithmetic on arbitrary number objects, in source order.
geometry::Point generic_anchor(const nb::object v[4], const AnchorInputs &in) {
    nb::object px = take(PyNumber_Multiply(v[2].ptr(), in.ax));
    nb::object rx = take(PyNumber_Add(v[0].ptr(), px.ptr()));
    nb::object py = take(PyNumber_Multiply(v[3].ptr(), in.ay));
    nb::object ry = take(PyNumber_Add(v[1].ptr(), py.ptr()));
    bool pixel = truth(take(PyObject_RichCompare(v[2].ptr(), bound->one, Py_GT)).ptr()) &&
                 truth(take(PyObject_RichCompare(v[3].ptr(), bound->one, Py_GT)).ptr());
    if (pixel) {
        rx = take(PyNumber_TrueDivide(rx.ptr(), in.fx));
        ry = take(PyNumber_TrueDivide(ry.ptr(), in.fy));
    }
    if (plain_number(rx.ptr()) && plain_number(ry.ptr()))
        return {to_double(rx.ptr()), to_double(ry.ptr())};
    nb::object point = bound->ns.get("Point")(rx, ry);
    return {to_double(point.attr("x").ptr()), to_double(point.attr("y").ptr())};
}

// A 1-D float64 ndarray of four values, read without creating scalars.
bool read_float64_box(PyObject *box, Number v[4]) {
    if (Py_TYPE(box) != bound->ndarray)
        return false;
    Py_buffer view;
    if (PyObject_GetBuffer(box, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    const char *f = view.format;
    if (*f == '<' || *f == '=' || *f == '@')
        ++f;
    bool ok = view.ndim == 1 && view.shape[0] == 4 && view.itemsize == 8 && std::strcmp(f, "d") == 0;
    if (ok) {
        for (int i = 0; i < 4; ++i) {
            double d;
            std::memcpy(&d, static_cast<const char *>(view.buf) + i * view.strides[0], sizeof d);
            v[i].kind = Number::np_real;
            v[i].d = d;
        }
    }
    PyBuffer_Release(&view);
    return ok;
}

// ------------------------------------------------------------ copies

bool is_plain_type(PyTypeObject *type) {
    if (Py_TYPE(type) != &PyType_Type || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
        (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) ||
        type->tp_new != PyBaseObject_Type.tp_new || type->tp_itemsize != 0 ||
        // copy.copy asks the new instance for __setstate__, which a __getattr__ could answer
        type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_basicsize != bound->plain_basicsize || type->tp_dictoffset != bound->plain_dictoffset)
        return false;
    for (int i = 0; i < 7; ++i)
        if (instance_copy::type_lookup(type, bound->names[i]).ptr() != bound->object_hooks[i].ptr())
            return false;
    int registered = PyDict_Contains(bound->dispatch_table, reinterpret_cast<PyObject *>(type));
    if (registered < 0)
        throw nb::python_error();
    return !registered;
}

} // namespace

Number Number::of(PyObject *value) {
    Number n;
    if (PyFloat_CheckExact(value)) {
        n.kind = real;
        n.d = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_CheckExact(value) || PyBool_Check(value)) {
        int overflow = 0;
        n.i = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (n.i == -1 && PyErr_Occurred())
            throw nb::python_error();
        n.kind = overflow ? other : integer;
    }
    return n;
}

void init_items(nb::handle module) {
    instance_copy::choose(module);
    optional_attr::choose(module);
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::object plain = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))("_Plain", nb::tuple(), nb::dict());
    auto *plain_type = reinterpret_cast<PyTypeObject *>(plain.ptr());
    bound = new Bound{};
    bound->ns.bind(module);
    bound->dispatch_table = keep_forever(import_name("copyreg", "dispatch_table")).ptr();
    bound->ndarray = reinterpret_cast<PyTypeObject *>(keep_forever(numpy.attr("ndarray")).ptr());
    bound->np_floating = keep_forever(numpy.attr("floating")).ptr();
    bound->np_integer = keep_forever(numpy.attr("integer")).ptr();
    bound->np_longdouble = keep_forever(numpy.attr("longdouble")).ptr();
    bound->one = PyFloat_FromDouble(1.0);
    bound->get_name = PyUnicode_InternFromString("get");
    bound->info_name = PyUnicode_InternFromString("info");
    bound->tlwh_name = PyUnicode_InternFromString("tlwh");
    bound->rect_name = PyUnicode_InternFromString("rect");
    bound->plain_basicsize = plain_type->tp_basicsize;
    bound->plain_dictoffset = plain_type->tp_dictoffset;
    for (int i = 0; i < 7; ++i) {
        bound->names[i] = PyUnicode_InternFromString(kCopyHooks[i]);
        bound->object_hooks[i] = instance_copy::type_lookup(&PyBaseObject_Type, bound->names[i]);
    }
    if (!bound->one || !bound->get_name || !bound->info_name || !bound->tlwh_name || !bound->rect_name)
        throw nb::python_error();
}

nb::object get_or(PyObject *mapping, PyObject *key, PyObject *fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *value = PyDict_GetItemWithError(mapping, key);
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return nb::borrow(value ? value : fallback);
    }
    return take(PyObject_CallMethodObjArgs(mapping, bound->get_name, key, fallback, nullptr));
}

nb::object info_of(PyObject *item) {
    try {
        return optional_attr::get(item, bound->info_name);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::object();
    }
}

nb::object box_of(PyObject *item, const nb::object &info) {
    if (!info.is_valid())
        return take(PyObject_GetAttr(item, bound->tlwh_name));
    if (PyDict_CheckExact(info.ptr())) {
        nb::object tlwh = take(PyObject_GetAttr(item, bound->tlwh_name));
        return get_or(info.ptr(), bound->rect_name, tlwh.ptr());
    }
    nb::object get = take(PyObject_GetAttr(info.ptr(), bound->get_name));
    nb::object tlwh = take(PyObject_GetAttr(item, bound->tlwh_name));
    return get(nb::handle(bound->rect_name), tlwh);
}

void unpack(PyObject *seq, Py_ssize_t n, nb::object *out) {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size < n) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, size);
            throw nb::python_error();
        }
        if (size > n) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
            throw nb::python_error();
        }
        PyObject **items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = nb::borrow(items[i]);
        return;
    }
    if (!Py_TYPE(seq)->tp_iter && !PySequence_Check(seq)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(seq)->tp_name);
        throw nb::python_error();
    }
    nb::object it = take(PyObject_GetIter(seq));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *value = PyIter_Next(it.ptr());
        if (!value) {
            if (PyErr_Occurred())
                throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            throw nb::python_error();
        }
        out[i] = nb::steal(value);
    }
    nb::object extra = nb::steal(PyIter_Next(it.ptr()));
    if (extra.is_valid()) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

geometry::Point anchor_point(PyObject *box, const AnchorInputs &in) {
    Number v[4];
    geometry::Point p;
    if (read_float64_box(box, v) && fast_anchor(v, in, p))
        return p;
    // Tuples and lists of four plain numbers: read in place, no references taken.
    if ((PyTuple_CheckExact(box) || PyList_CheckExact(box)) && PySequence_Fast_GET_SIZE(box) == 4) {
        PyObject **items = PySequence_Fast_ITEMS(box);
        if (float_anchor(items, in, p))
            return p;
        for (int i = 0; i < 4; ++i)
            v[i] = Number::of(items[i]);
        if (fast_anchor(v, in, p))
            return p;
    }
    nb::object values[4];
    unpack(box, 4, values);
    for (int i = 0; i < 4; ++i)
        v[i] = Number::of(values[i].ptr());
    if (fast_anchor(v, in, p))
        return p;
    return generic_anchor(values, in);
}

nb::object Copier::copy(PyObject *item, const instance_copy::Attribute *extra, std::size_t n_extra) {
    PyTypeObject *type = Py_TYPE(item);
    if (type != reinterpret_cast<PyTypeObject *>(checked_.ptr())) {
        plain_ = is_plain_type(type);
        // Held, so a type freed mid-call cannot be mistaken for a new one at its address.
        checked_ = nb::borrow(reinterpret_cast<PyObject *>(type));
        extras_plain_ = -1;
    }
    // A call passes the same extra names for every item, so their verdict is kept with the type's.
    if (plain_ && n_extra && extras_plain_ < 0) {
        extras_plain_ = 1;
        for (std::size_t i = 0; i < n_extra && extras_plain_; ++i)
            extras_plain_ = instance_copy::stores_plainly(type, extra[i].name);
    }
    if (plain_ && (!n_extra || extras_plain_)) {
        nb::object copied = instance_copy::copy_with(item, extra, n_extra);
        if (copied.is_valid())
            return copied;
    }
    nb::object copied = bound->ns.get("copy").attr("copy")(nb::handle(item));
    for (std::size_t i = 0; i < n_extra; ++i)
        if (PyObject_SetAttr(copied.ptr(), extra[i].name, extra[i].value) < 0)
            throw nb::python_error();
    return copied;
}

} // namespace quillo::zone_gate
