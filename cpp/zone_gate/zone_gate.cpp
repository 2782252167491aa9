// ZoneGate: keeps the detections and tracks of a frame whose anchor point lies
// in an include zone and outside that zone's exclusions.
//
// The gate's fields live in an ordinary instance dict. Next to it the gate
// keeps the zones in prepared form (a ZoneSet: the geometry core's regions,
// together with the objects they were read from); every call checks by
// identity that the fields still hold those objects, and reads them afresh
// when they don't. A ZoneMonitor built on the gate shares its ZoneSet.
#include "common/atomic_shared.hpp"
#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"
#include "common/module_attr.hpp"
#include "common/py_ops.hpp"
#include "common/refs.hpp"
#include "zone_gate/geometry.hpp"
#include "zone_gate/items.hpp"
#include "zone_gate/monitor_binding.hpp"
#include "zone_gate/shapes.hpp"
#include "zone_gate/zone_set.hpp"

#include <nanobind/nanobind.h>
#include <structmember.h>

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace nb = nanobind;

namespace quillo::zone_gate {

namespace {

constexpr const char *kModule = "quillo_sdk.roi.zone_gate";

constexpr const char *kInitDoc =
    ":param polygons: polygon information in the previous roi node\n"
    ":param frame_sz: size of the frame";

constexpr const char *kFilterDoc =
    ":param det_or_trk: this param is detection result or tracking result\n"
    ":param frame_sz: frame size of the image frame\n"
    ":param anchor_pt: anchored position of tracking result or detection result";

ModuleNamespace ns;

struct Names {
    PyObject *polygons, *rois, *frame_sz, *included, *empty_polygon, *exclusions, *points, *shapely_polygon,
        *include, *info, *roi_id, *roi_name, *label, *contains, *intersection, *is_empty,
        *empty_text, *roi_id_attr, *roi_name_attr, *zero, *one, *default_anchor;
} names;

nb::object attr(PyObject *obj, PyObject *name) { return take(PyObject_GetAttr(obj, name)); }

nb::object item(PyObject *obj, PyObject *key) { return take(PyObject_GetItem(obj, key)); }

// "Absent or empty" for an optional sequence: None, or a length of zero. Objects
// without a length fall back to their truth value. Going by the length lets
// numpy arrays serve as frame sizes and record lists.
bool absent_or_empty(PyObject *o) {
    if (!o || o == Py_None)
        return true;
    Py_ssize_t n = PyObject_Size(o);
    if (n >= 0)
        return n == 0;
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        throw nb::python_error();
    PyErr_Clear();
    return !truth(o);
}

void set_attr(PyObject *obj, PyObject *name, PyObject *value) {
    if (PyObject_SetAttr(obj, name, value) < 0)
        throw nb::python_error();
}

void set_item(PyObject *obj, PyObject *key, PyObject *value) {
    if (PyObject_SetItem(obj, key, value) < 0)
        throw nb::python_error();
}

// The geometry library's own exception type, for the errors it would raise itself.
PyObject *engine_error = nullptr;

void set_engine_error(const std::exception &e) noexcept {
    PyErr_Format(engine_error, "IllegalArgumentException: %s", e.what());
}

// ------------------------------------------------------------ the gate object

using PreparedSlot = AtomicShared<const ZoneSet>;

struct GateObject {
    PyObject_HEAD
    PyObject *dict;
    PyObject *weakrefs;
    PreparedSlot prepared;
};

PyTypeObject *gate_type = nullptr;

GateObject *as_gate(PyObject *self) {
    return PyObject_TypeCheck(self, gate_type) ? reinterpret_cast<GateObject *>(self) : nullptr;
}

PyObject *gate_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self)
        new (&reinterpret_cast<GateObject *>(self)->prepared) PreparedSlot();
    return self;
}

int gate_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *g = reinterpret_cast<GateObject *>(self);
    Py_VISIT(g->dict);
    if (ZoneSetPtr p = g->prepared.load()) {
        int rc = 0;
        p->for_each_ref([&](PyObject *o) {
            if (o && rc == 0)
                rc = visit(o, arg);
        });
        if (rc)
            return rc;
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int gate_clear(PyObject *self) {
    auto *g = reinterpret_cast<GateObject *>(self);
    clear_field(g->dict);
    g->prepared.store(nullptr);
    return 0;
}

void gate_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    auto *g = reinterpret_cast<GateObject *>(self);
    if (g->weakrefs)
        PyObject_ClearWeakRefs(self);
    gate_clear(self);
    g->prepared.~PreparedSlot();
    free_heap_instance(self);
}

PyMemberDef gate_members[] = {
    {"__dictoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(GateObject, dict)), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(GateObject, weakrefs)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef gate_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot gate_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(gate_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gate_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(gate_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(gate_clear)},
    {Py_tp_members, gate_members},
    {Py_tp_getset, gate_getset},
    {Py_tp_doc, const_cast<char *>(kInitDoc)},  // the class documents its constructor
    {0, nullptr},
};

PyType_Spec gate_spec = {
    "quillo_sdk.roi.zone_gate.ZoneGate",
    sizeof(GateObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    gate_slots,
};

// ------------------------------------------------------------ __init__

const char *const init_names[] = {"self", "polygons", "frame_sz"};
const Parameters init_params{"__init__", init_names, 3, 3, 1};

nb::object frame_size(PyObject *frame_sz) {
    if (absent_or_empty(frame_sz))
        return take(Py_BuildValue("[dd]", 1.0, 1.0));
    nb::object w = take(PyNumber_Float(item(frame_sz, names.zero).ptr()));
    nb::object h = take(PyNumber_Float(item(frame_sz, names.one).ptr()));
    nb::list frame;
    frame.append(w);
    frame.append(h);
    return frame;
}

nb::object init_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto a = arguments<3>(init_params, args, nargs, kwnames);
    PyObject *self = a[0];
    nb::object polygons = nb::borrow(a[1] ? a[1] : Py_None);

    nb::object copy_of_polygons = nb::none();
    if (!absent_or_empty(polygons.ptr()))
        copy_of_polygons = ns.get("copy").attr("deepcopy")(polygons);
    nb::object rois = polygons;
    nb::object frame = frame_size(a[2]);
    nb::list included;
    nb::object empty_polygon = nb::none();
    nb::dict exclusion_map;

    if (!absent_or_empty(rois.ptr())) {
        nb::object np = ns.get("np");
        nb::object polygon_type = ns.get("Polygon");
        nb::object float32 = np.attr("float32");
        for (nb::handle record : rois) {
            nb::object vertices = np.attr("array")(item(record.ptr(), names.points), nb::arg("dtype") = float32);
            set_item(record.ptr(), names.points, vertices.ptr());
            set_item(record.ptr(), names.shapely_polygon, polygon_type(vertices).ptr());
        }
        nb::list exclusion_records;
        for (nb::handle record : rois)
            if (!truth(item(record.ptr(), names.include).ptr()))
                exclusion_records.append(record);
        for (nb::handle record : rois) {
            Py_ssize_t rows = PyObject_Size(item(record.ptr(), names.points).ptr());
            if (rows < 0)
                throw nb::python_error();
            if (rows == 0) {
                empty_polygon = nb::borrow(record);
                continue;
            }
            if (!truth(item(record.ptr(), names.include).ptr()))
                continue;
            included.append(record);
            nb::list intersections;
            nb::object zone = item(record.ptr(), names.shapely_polygon);
            for (nb::handle exclusion : exclusion_records) {
                nb::object part = zone.attr(names.intersection)(item(exclusion.ptr(), names.shapely_polygon));
                if (!truth(attr(part.ptr(), names.is_empty).ptr()))
                    intersections.append(part);
            }
            nb::object key = take(PyLong_FromVoidPtr(record.ptr()));
            exclusion_map[key] = intersections;
        }
    }

    // Everything that can fail has run; only now does the gate take its new state.
    ZoneSetPtr prepared = prepare_zones(included, exclusion_map);
    set_attr(self, names.polygons, copy_of_polygons.ptr());
    set_attr(self, names.rois, rois.ptr());
    set_attr(self, names.frame_sz, frame.ptr());
    set_attr(self, names.included, included.ptr());
    set_attr(self, names.empty_polygon, empty_polygon.ptr());
    set_attr(self, names.exclusions, exclusion_map.ptr());
    if (GateObject *g = as_gate(self))
        g->prepared.store(std::move(prepared));
    return nb::none();
}

// ------------------------------------------------------------ annotations

struct Keys {
    nb::object roi_id, roi_name;
};

Keys track_keys() {
    nb::object key = ns.get("KEY");
    return {attr(key.ptr(), names.roi_id_attr), attr(key.ptr(), names.roi_name_attr)};
}

// Puts the zone ids and labels on a copy: into its `info` for tracks, as
// attributes for detections.
void annotate(PyObject *item_copy, PyObject *ids, PyObject *labels, bool has_info, Keys *keys) {
    if (has_info) {
        if (!keys->roi_id.is_valid())
            *keys = track_keys();
        nb::object info = attr(item_copy, names.info);
        set_item(info.ptr(), keys->roi_id.ptr(), ids);
        set_item(info.ptr(), keys->roi_name.ptr(), labels);
    } else {
        set_attr(item_copy, names.roi_id, ids);
        set_attr(item_copy, names.roi_name, labels);
    }
}

// An include zone's id and label, read from its record the first time a call needs them.
struct ZoneText {
    nb::object id, label;
};

// ------------------------------------------------------------ filter_in_roi

const char *const filter_names[] = {"self", "det_or_trk", "frame_sz", "anchor_pt", "on_error"};
const Parameters filter_params{"filter_in_roi", filter_names, 5, 4, 2};

ZoneSetPtr zones_for_call(PyObject *self, PyObject *included) {
    nb::object exclusion_map = attr(self, names.exclusions);
    if (GateObject *g = as_gate(self)) {
        ZoneSetPtr p = g->prepared.load();
        if (p && p->matches(included, exclusion_map.ptr()))
            return p;
    }
    return prepare_zones(included, exclusion_map);
}

nb::object filter_body(PyObject *self, PyObject *items, PyObject *frame_sz_arg, PyObject *anchor_arg) {
    nb::object frame_sz = absent_or_empty(frame_sz_arg) ? attr(self, names.frame_sz) : nb::borrow(frame_sz_arg);
    nb::object rois = attr(self, names.rois);
    if (absent_or_empty(rois.ptr()))
        return nb::borrow(items);
    nb::object fx = item(frame_sz.ptr(), names.zero);
    nb::object fy = item(frame_sz.ptr(), names.one);
    nb::object anchor[2];
    unpack(anchor_arg ? anchor_arg : names.default_anchor, 2, anchor);
    nb::object included = attr(self, names.included);
    nb::object empty_polygon = attr(self, names.empty_polygon);
    ZoneSetPtr prepared = zones_for_call(self, included.ptr());
    const std::vector<Zone> &zones = prepared->zones;
    const std::vector<ZoneSource> &sources = prepared->sources;

    AnchorInputs inputs(anchor[0].ptr(), anchor[1].ptr(), fx.ptr(), fy.ptr());
    Copier copier;
    Keys keys;
    std::vector<ZoneText> texts(zones.size());
    std::vector<std::size_t> matched;
    nb::list result;
    nb::object it = take(PyObject_GetIter(items));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object obj = nb::steal(raw);
        nb::object info = info_of(raw);
        nb::object box = box_of(raw, info);
        geometry::Point p = anchor_point(box.ptr(), inputs);

        matched.clear();
        for (std::size_t z = 0; z < zones.size(); ++z)
            if (prepared->contains(z, p))
                matched.push_back(z);
        if (matched.empty()) {
            if (!empty_polygon.is_none())
                result.append(obj);
            continue;
        }
        auto n = static_cast<Py_ssize_t>(matched.size());
        nb::object ids = take(PyList_New(n)), labels = take(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::size_t z = matched[static_cast<std::size_t>(i)];
            ZoneText &text = texts[z];
            if (!text.id.is_valid()) {
                PyObject *record = sources[z].record.ptr();
                text.id = get_or(record, names.roi_id, names.empty_text);
                text.label = get_or(record, names.label, names.empty_text);
            }
            init_list_item(ids, i, text.id);
            init_list_item(labels, i, text.label);
        }
        nb::object copied;
        if (info.is_valid()) {
            copied = copier.copy(raw);
            annotate(copied.ptr(), ids.ptr(), labels.ptr(), true, &keys);
        } else {
            const instance_copy::Attribute extra[] = {{names.roi_id, ids.ptr()}, {names.roi_name, labels.ptr()}};
            copied = copier.copy(raw, extra, 2);
        }
        result.append(copied);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return result;
}

// Hands an ordinary exception to `on_error`, or logs it through the module's
// logger when there is none, and answers an empty list; anything else
// (interrupts, exit) goes on to the caller.
nb::object log_and_drop(PyObject *on_error) {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw nb::python_error();
    nb::object exc = fetch_exception();
    {
        // As inside an except block, so the handler sees the exception as the one being handled.
        HandledException handling(exc);
        nb::handle handler(on_error);
        if (handler.is_valid() && !handler.is_none())
            handler(exc);
        else
            ns.get("exception_traceback")(ns.get("logger"), exc);
    }
    return nb::list();
}

nb::object filter_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto a = arguments<5>(filter_params, args, nargs, kwnames);
    try {
        return filter_body(a[0], a[1], a[2], a[3]);
    } catch (const geometry::NonFinitePoint &e) {
        set_engine_error(e);
    } catch (...) {
        set_error_from_current_exception();
    }
    return log_and_drop(a[4]);
}

nb::object filter_signature() {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object P = inspect.attr("Parameter");
    nb::object kind = P.attr("POSITIONAL_OR_KEYWORD");
    nb::list params;
    params.append(P("self", kind));
    params.append(P("det_or_trk", kind));
    params.append(P("frame_sz", kind, nb::arg("default") = nb::none()));
    params.append(P("anchor_pt", kind, nb::arg("default") = nb::make_tuple(0.5, 0.5)));
    params.append(P("on_error", P.attr("KEYWORD_ONLY"), nb::arg("default") = nb::none()));
    return inspect.attr("Signature")(params);
}

// ------------------------------------------------------------ helper operations

const char *const in_polygon_names[] = {"point_shapely", "polygon"};
const Parameters in_polygon_params{"_is_point_in_polygon", in_polygon_names, 2, 2, 2};

nb::object in_polygon_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto a = arguments<2>(in_polygon_params, args, nargs, kwnames);
    nb::object zone = item(a[1], names.shapely_polygon);
    return zone.attr(names.contains)(nb::handle(a[0]));
}

const char *const excluded_names[] = {"self", "point_shapely", "polygon"};
const Parameters excluded_params{"_is_point_excluded_for_polygon", excluded_names, 3, 3, 3};

nb::object excluded_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto a = arguments<3>(excluded_params, args, nargs, kwnames);
    nb::object map = attr(a[0], names.exclusions);
    nb::object key = take(PyLong_FromVoidPtr(a[2]));
    nb::object no_entry = nb::list();
    for (nb::handle part : get_or(map.ptr(), key.ptr(), no_entry.ptr()))
        if (truth(part.attr(names.contains)(nb::handle(a[1])).ptr()))
            return nb::borrow(Py_True);
    return nb::borrow(Py_False);
}

const char *const assign_names[] = {"item_copy", "matched_polygons", "has_info_attr"};
const Parameters assign_params{"_assign_roi_info", assign_names, 3, 3, 3};

nb::object assign_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto a = arguments<3>(assign_params, args, nargs, kwnames);
    std::vector<nb::object> records;
    for (nb::handle record : nb::handle(a[1]))
        records.push_back(nb::borrow(record));
    auto values = [&](PyObject *key) {
        nb::object list = take(PyList_New(static_cast<Py_ssize_t>(records.size())));
        Py_ssize_t i = 0;
        for (const nb::object &record : records)
            init_list_item(list, i++, get_or(record.ptr(), key, names.empty_text));
        return list;
    };
    nb::object ids = values(names.roi_id);
    nb::object labels = values(names.label);
    Keys keys;
    annotate(a[0], ids.ptr(), labels.ptr(), truth(a[2]), &keys);
    return nb::none();
}

// ------------------------------------------------------------ test hook

// Interior test of `geometry` at every (xs[i], ys[i]), through the same path the
// gate uses; returns a numpy bool array.
nb::object contains_xy(nb::handle geometry, nb::handle xs, nb::handle ys) {
    geometry::Region region = region_from_geometry(geometry);
    std::vector<double> x = as_doubles(xs), y = as_doubles(ys);
    if (x.size() != y.size())
        throw nb::value_error("xs and ys differ in length");
    nb::object buffer = take(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(x.size())));
    char *data = PyByteArray_AS_STRING(buffer.ptr());
    try {
        for (std::size_t i = 0; i < x.size(); ++i)
            data[i] = contains(region, geometry, {x[i], y[i]});
    } catch (const geometry::NonFinitePoint &e) {
        set_engine_error(e);
        throw nb::python_error();
    }
    return ns.get("np").attr("frombuffer")(buffer, nb::arg("dtype") = nb::handle(reinterpret_cast<PyObject *>(&PyBool_Type)));
}

// The anchor point filter_in_roi computes for `box`, as the pair of doubles it locates.
nb::object anchor_xy(nb::handle box, nb::handle anchor_pt, nb::handle frame_sz) {
    nb::object anchor[2];
    unpack(anchor_pt.ptr(), 2, anchor);
    nb::object fx = item(frame_sz.ptr(), names.zero), fy = item(frame_sz.ptr(), names.one);
    geometry::Point p = anchor_point(box.ptr(), AnchorInputs(anchor[0].ptr(), anchor[1].ptr(), fx.ptr(), fy.ptr()));
    return nb::make_tuple(p.x, p.y);
}

// The anchor point filter_in_roi computes for `item` (a track's info["rect"]
// when it has one, else its tlwh), with the gate's default frame size when
// `frame_sz` is absent or empty.
nb::object anchor_of(nb::handle item, nb::handle anchor_pt, nb::handle frame_sz) {
    nb::object box = box_of(item.ptr(), info_of(item.ptr()));
    if (absent_or_empty(frame_sz.ptr()))
        return anchor_xy(box, anchor_pt, frame_size(frame_sz.ptr()));
    return anchor_xy(box, anchor_pt, frame_sz);
}

// ------------------------------------------------------------ assembly

PyObject *intern(const char *text) {
    return check(PyUnicode_InternFromString(text));
}

void init_names_table() {
    names = Names{intern("polygons"),     intern("rois"),         intern("frame_sz"),
                  intern("_included_rois"), intern("_empty_polygon"), intern("_exclusion_intersections"),
                  intern("points"),       intern("shapely_polygon"), intern("include"),
                  intern("info"),         intern("roi_id"),       intern("roi_name"),
                  intern("label"),        intern("contains"),     intern("intersection"),
                  intern("is_empty"),     intern(""),             intern("ROI_ID"),
                  intern("ROI_NAME"),     check(PyLong_FromLong(0)), check(PyLong_FromLong(1)),
                  check(Py_BuildValue("(dd)", 0.5, 0.5))};
}

nb::object make_roi_data() {
    nb::dict ns_dict;
    ns_dict["__module__"] = kModule;
    ns_dict["__qualname__"] = "RoiData";
    ns_dict["__doc__"] = "Keys of a region record, and values applications use alongside them.";
    ns_dict["POLYGON_INFO"] = "polygon_roi";
    ns_dict["ROI_ID_KEY"] = "roi_id";
    ns_dict["ROI_LABEL_KEY"] = "label";
    ns_dict["INCLUDE_KEY"] = "include";
    ns_dict["POINTS_KEY"] = "points";
    ns_dict["POLYGON_EDGE"] = 1;
    return nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))("RoiData", nb::tuple(), ns_dict);
}

nb::object make_gate_class() {
    nb::object cls = take(PyType_FromSpec(&gate_spec));
    gate_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    nb::object staticmethod = nb::borrow(reinterpret_cast<PyObject *>(&PyStaticMethod_Type));
    cls.attr("__init__") = make_method({"__init__", "ZoneGate.__init__", kModule, kInitDoc,
                                        "($self, /, polygons=None, frame_sz=None)", {},
                                        vectorcall_entry<init_impl>});
    cls.attr("filter_in_roi") = make_method({"filter_in_roi", "ZoneGate.filter_in_roi", kModule, kFilterDoc,
                                             nullptr, {}, vectorcall_entry<filter_impl>, filter_signature});
    cls.attr("_is_point_in_polygon") = staticmethod(make_method(
        {"_is_point_in_polygon", "ZoneGate._is_point_in_polygon", kModule, nullptr, "(point_shapely, polygon)", {},
         vectorcall_entry<in_polygon_impl>}));
    cls.attr("_is_point_excluded_for_polygon") = make_method(
        {"_is_point_excluded_for_polygon", "ZoneGate._is_point_excluded_for_polygon", kModule, nullptr,
         "($self, /, point_shapely, polygon)", {}, vectorcall_entry<excluded_impl>});
    cls.attr("_assign_roi_info") = staticmethod(make_method(
        {"_assign_roi_info", "ZoneGate._assign_roi_info", kModule, nullptr,
         "(item_copy, matched_polygons, has_info_attr)", {}, vectorcall_entry<assign_impl>}));
    return cls;
}

} // namespace

ZoneSetPtr zones_of(PyObject *gate) {
    nb::object included = attr(gate, names.included);
    return zones_for_call(gate, included.ptr());
}

void init_module(nb::module_ &m) {
    ns.bind(m);
    init_names_table();
    init_zone_set();
    // The names a module of the kit binds at import; read back from here at use.
    m.attr("copy") = nb::module_::import_("copy");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("Polygon") = import_name("shapely.geometry", "Polygon");
    m.attr("Point") = import_name("shapely.geometry", "Point");
    engine_error = keep_forever(import_name("shapely.errors", "GEOSException")).ptr();
    m.attr("KEY") = import_name("quillo_sdk.constants", "KEY");
    m.attr("get_logger") = import_name("quillo_sdk.logging", "get_logger");
    m.attr("exception_traceback") = import_name("quillo_sdk.logging", "exception_traceback");
    m.attr("logger") = m.attr("get_logger")("ZoneGate");
    init_shapes(m);
    init_items(m);

    m.attr("RoiData") = make_roi_data();
    nb::object gate = make_gate_class();
    m.attr("ZoneGate") = gate;
    keep_forever(gate);  // gate_type points to it for the process lifetime
    m.def("_contains_xy", &contains_xy, nb::arg("geometry"), nb::arg("xs"), nb::arg("ys"),
          "Interior test of a shapely geometry at the points (xs[i], ys[i]), as the gate decides it.");
    m.def("_anchor_xy", &anchor_xy, nb::arg("box"), nb::arg("anchor_pt"), nb::arg("frame_sz"),
          "The anchor point of `box` as the gate computes and locates it.");
    m.def("_anchor_of", &anchor_of, nb::arg("item"), nb::arg("anchor_pt"), nb::arg("frame_sz").none(),
          "The anchor point of a detection or track as the gate computes and locates it.");
    init_monitor(m);
}

} // namespace quillo::zone_gate

NB_MODULE(zone_gate, m) {
    quillo::zone_gate::init_module(m);
}
