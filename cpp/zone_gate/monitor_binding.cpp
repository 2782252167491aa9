// ZoneMonitor: the Python face of the zone monitor core (monitor.hpp).
//
// An update runs in three steps so that a frame is applied whole or not at
// all: (1) every item is read and located, ids are resolved to track slots,
// and unreadable items are set aside; only this step runs foreign code
// (attribute reads, id hashing and comparison, the logger); (2) the core
// applies the frame; (3) the events are built and forgotten ids set aside,
// to be released once the call has let go of the monitor (Busy).
#include "zone_gate/monitor_binding.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"
#include "common/module_attr.hpp"
#include "common/optional_attr.hpp"
#include "common/py_ops.hpp"
#include "zone_gate/geometry.hpp"
#include "zone_gate/items.hpp"
#include "zone_gate/monitor.hpp"
#include "zone_gate/zone_set.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <new>
#include <unordered_map>
#include <vector>

namespace quillo::zone_gate {

namespace {

namespace zm = quillo::zone_monitor;

constexpr const char *kModule = "quillo_sdk.roi.zone_gate";

ModuleNamespace ns;

// Interned names and fixed objects, for the process lifetime.
struct Bound {
    nb::object track_id, rois, points, include,
        roi_id, label, frame_sz, enter, exit, empty_text, entered, exited, zero, one, default_anchor, engine_error;
    nb::object gate_cls, event_cls, monitor_cls;
    PyTypeObject *gate_type, *event_type, *monitor_type;
} *bound = nullptr;

nb::object intern(const char *text) { return take(PyUnicode_InternFromString(text)); }

nb::object attr(nb::handle obj, const nb::object &name) { return take(PyObject_GetAttr(obj.ptr(), name.ptr())); }

nb::object item(nb::handle obj, const nb::object &key) { return take(PyObject_GetItem(obj.ptr(), key.ptr())); }

[[noreturn]] void raise_format(PyObject *type, const char *format, nb::handle value) {
    PyErr_Format(type, format, value.ptr());
    throw nb::python_error();
}

// inspect.Signature of a class whose constructor is its tp_new.
struct Param {
    const char *name;
    const char *kind;    // an inspect.Parameter kind name
    nb::object fallback; // the default; invalid for a required parameter
};

nb::object signature_of(std::initializer_list<Param> params) {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object P = inspect.attr("Parameter");
    nb::list list;
    for (const Param &p : params)
        list.append(P(p.name, P.attr(p.kind),
                      nb::arg("default") = p.fallback.is_valid() ? p.fallback : nb::object(P.attr("empty"))));
    return inspect.attr("Signature")(list);
}

// ------------------------------------------------------------ ZoneEvent

constexpr int kEventFields = 6;
const char *const kEventFieldNames[kEventFields + 1] = {"kind", "roi_id", "roi_name", "track_id", "timestamp",
                                                        "dwell", nullptr};

struct EventObject {
    PyObject_HEAD
    nb::object field[kEventFields];  // in the order of kEventFieldNames
};

EventObject *as_event(PyObject *self) { return reinterpret_cast<EventObject *>(self); }

nb::object make_event(PyTypeObject *type, std::array<nb::object, kEventFields> fields) {
    nb::object self = take(type->tp_alloc(type, 0));  // zeroed memory is a valid empty nb::object
    EventObject *ev = as_event(self.ptr());
    for (int i = 0; i < kEventFields; ++i)
        new (&ev->field[i]) nb::object(std::move(fields[i]));
    return self;
}

nb::object event_fields(PyObject *self) {
    const EventObject *ev = as_event(self);
    return nb::make_tuple(ev->field[0], ev->field[1], ev->field[2], ev->field[3], ev->field[4], ev->field[5]);
}

nb::object seconds(PyObject *value, const char *param) {
    if (PyBool_Check(value))
        raise_wrong_type(param, "float", value);
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return take(PyFloat_FromDouble(d));
}

PyObject *event_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return guarded([&] {
        PyObject *v[kEventFields];
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOO:ZoneEvent", const_cast<char **>(kEventFieldNames),
                                         &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]))
            throw nb::python_error();
        nb::object kind;
        for (const nb::object *known : {&bound->enter, &bound->exit})
            if (PyUnicode_Check(v[0]) && PyUnicode_Compare(v[0], known->ptr()) == 0)
                kind = *known;
        if (!kind.is_valid())
            raise_format(PyExc_ValueError, "kind must be 'enter' or 'exit', not %R", v[0]);
        return make_event(type, {kind, nb::borrow(v[1]), nb::borrow(v[2]), nb::borrow(v[3]),
                                 seconds(v[4], "timestamp"), seconds(v[5], "dwell")});
    });
}

PyObject *event_get(PyObject *self, void *index) {
    return guarded([&] { return as_event(self)->field[reinterpret_cast<std::intptr_t>(index)]; });
}

PyObject *event_repr(PyObject *self) {
    const EventObject *ev = as_event(self);
    return PyUnicode_FromFormat("ZoneEvent(kind=%R, roi_id=%R, roi_name=%R, track_id=%R, timestamp=%R, dwell=%R)",
                                ev->field[0].ptr(), ev->field[1].ptr(), ev->field[2].ptr(), ev->field[3].ptr(),
                                ev->field[4].ptr(), ev->field[5].ptr());
}

PyObject *event_richcompare(PyObject *self, PyObject *other, int op) {
    return guarded([&] {
        if (!PyObject_TypeCheck(other, bound->event_type) || (op != Py_EQ && op != Py_NE))
            return nb::borrow(Py_NotImplemented);
        return take(PyObject_RichCompare(event_fields(self).ptr(), event_fields(other).ptr(), op));
    });
}

Py_hash_t event_hash(PyObject *self) {
    try {
        return PyObject_Hash(event_fields(self).ptr());
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

PyObject *event_reduce(PyObject *self, PyObject *) {
    return guarded([&] { return nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(self))), event_fields(self)); });
}

int event_traverse(PyObject *self, visitproc visit, void *arg) {
    for (const nb::object &f : as_event(self)->field)
        Py_VISIT(f.ptr());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int event_clear(PyObject *self) {
    for (nb::object &f : as_event(self)->field)
        f = nb::object();
    return 0;
}

void event_dealloc(PyObject *self) {
    nb::object type = nb::steal(reinterpret_cast<PyObject *>(Py_TYPE(self)));  // the instance's reference
    PyObject_GC_UnTrack(self);
    for (nb::object &f : as_event(self)->field)
        f.~object();
    Py_TYPE(self)->tp_free(self);
}

constexpr const char *kEventDoc =
    "An entry into or an exit from a zone, reported by ZoneMonitor.update.\n\n"
    "kind: \"enter\" or \"exit\"; roi_id, roi_name: the zone's \"roi_id\" and \"label\";\n"
    "track_id: the track's identity; timestamp: seconds, the update's timestamp;\n"
    "dwell: seconds the track stayed in the zone (0.0 for an entry).\n"
    "Events compare equal when all six attributes do.";

PyGetSetDef event_getset[] = {
    {"kind", event_get, nullptr, "\"enter\" or \"exit\".", reinterpret_cast<void *>(0)},
    {"roi_id", event_get, nullptr, "The zone's \"roi_id\".", reinterpret_cast<void *>(1)},
    {"roi_name", event_get, nullptr, "The zone's \"label\".", reinterpret_cast<void *>(2)},
    {"track_id", event_get, nullptr, "The track's identity.", reinterpret_cast<void *>(3)},
    {"timestamp", event_get, nullptr, "Seconds: the timestamp of the update that reported it.",
     reinterpret_cast<void *>(4)},
    {"dwell", event_get, nullptr, "Seconds from the entry to the exit; 0.0 for an entry.",
     reinterpret_cast<void *>(5)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef event_methods[] = {
    {"__reduce__", event_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot event_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(event_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(event_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(event_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(event_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(event_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(event_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(event_hash)},
    {Py_tp_getset, event_getset},
    {Py_tp_methods, event_methods},
    {Py_tp_doc, const_cast<char *>(kEventDoc)},
    {0, nullptr},
};

PyType_Spec event_spec = {
    "quillo_sdk.roi.zone_gate.ZoneEvent",
    sizeof(EventObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    event_slots,
};

// ------------------------------------------------------------ watched zones

// A zone the monitor reports on: one of the gate's include zones, or a record
// without vertices, which contains every item.
struct WatchedZone {
    static constexpr std::size_t kEverywhere = static_cast<std::size_t>(-1);
    std::size_t zone = kEverywhere;  // in the gate's zone set
    nb::object roi_id, roi_name;
};

// The gate's include zones in configuration order, each answering as the gate
// does, plus its records with no vertices and a true "include".
struct WatchedZones {
    ZoneSetPtr set;
    std::vector<WatchedZone> list;

    std::size_t size() const { return list.size(); }
    bool contains(std::size_t w, geometry::Point p) const {
        std::size_t z = list[w].zone;
        return z == WatchedZone::kEverywhere || set->contains(z, p);
    }
};

WatchedZones watched_zones(nb::handle gate) {
    WatchedZones zones;
    nb::object rois = attr(gate, bound->rois);
    if (rois.is_none())
        return zones;
    zones.set = zones_of(gate.ptr());
    const std::vector<ZoneSource> &sources = zones.set->sources;
    nb::dict seen_ids;
    for (nb::handle record : rois) {
        WatchedZone zone;
        for (std::size_t z = 0; z < sources.size() && zone.zone == WatchedZone::kEverywhere; ++z)
            if (sources[z].record.is(record))
                zone.zone = z;
        if (zone.zone == WatchedZone::kEverywhere) {
            Py_ssize_t rows = PyObject_Size(item(record, bound->points).ptr());
            if (rows < 0)
                throw nb::python_error();
            if (rows != 0 || !truth(item(record, bound->include)))
                continue;
        }
        zone.roi_id = get_or(record.ptr(), bound->roi_id.ptr(), bound->empty_text.ptr());
        zone.roi_name = get_or(record.ptr(), bound->label.ptr(), bound->empty_text.ptr());
        if (seen_ids.contains(zone.roi_id))
            raise_format(PyExc_ValueError, "two watched zones share the roi_id %R; ZoneMonitor reports by roi_id",
                         zone.roi_id);
        seen_ids[zone.roi_id] = nb::none();
        zones.list.push_back(std::move(zone));
    }
    return zones;
}

// ------------------------------------------------------------ track identities

// A track id with its hash; the object is owned by MonitorState::slot_ids.
struct TrackKey {
    Py_hash_t hash;
    PyObject *id;
};

struct TrackKeyHash {
    std::size_t operator()(const TrackKey &k) const { return static_cast<std::size_t>(k.hash); }
};

// Python equality while an id is looked up; identity only where the answer is
// known without it (see MonitorState), so that no foreign code runs there.
// Foreign code runs only inside a lookup, which changes nothing, and only
// while the call holds the monitor (Busy), so it cannot free the entries
// being compared.
struct TrackKeyEq {
    const bool *python_eq;
    bool operator()(const TrackKey &a, const TrackKey &b) const {
        if (a.id == b.id)
            return true;
        if (a.hash != b.hash || !*python_eq)
            return false;
        int equal = PyObject_RichCompareBool(a.id, b.id, Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        return equal;
    }
};

struct MonitorState {
    nb::object gate;
    WatchedZones zones;
    std::uint32_t min_frames;
    double lost_after;
    zm::Monitor core;
    bool python_eq = true;
    std::unordered_map<TrackKey, zm::Slot, TrackKeyHash, TrackKeyEq> slots;
    // Per slot: its id and hash, and the frame row it has in the update running now.
    std::vector<nb::object> slot_ids;
    std::vector<Py_hash_t> slot_hashes;
    std::vector<std::uint64_t> slot_stamp;
    std::vector<std::uint32_t> slot_row;
    std::uint64_t stamp = 0;  // counts update calls
    bool busy = false;
    std::vector<nb::object> released;  // ids let go of by the running call; dropped once it ends
    // Scratch space reused by every update.
    zm::Frame frame;
    std::vector<std::uint8_t> row;
    std::vector<zm::Event> events;
    std::vector<zm::Slot> freed;

    MonitorState(nb::handle gate, WatchedZones zones, std::uint32_t min_frames, double lost_after)
        : gate(nb::borrow(gate)), zones(std::move(zones)), min_frames(min_frames), lost_after(lost_after),
          core(this->zones.size(), min_frames, lost_after), slots(16, TrackKeyHash{}, TrackKeyEq{&python_eq}) {}

    // Compares ids by identity for the lifetime of this object.
    class IdentityOnly {
    public:
        explicit IdentityOnly(MonitorState &s) : s_(s) { s.python_eq = false; }
        ~IdentityOnly() { s_.python_eq = true; }
        IdentityOnly(const IdentityOnly &) = delete;
        IdentityOnly &operator=(const IdentityOnly &) = delete;

    private:
        MonitorState &s_;
    };

    zm::Slot slot_of(const nb::object &id, Py_hash_t hash) {
        auto found = slots.find({hash, id.ptr()});
        if (found != slots.end())
            return found->second;
        zm::Slot slot = core.add_track();
        if (slot >= slot_ids.size()) {
            slot_ids.resize(slot + 1);
            slot_hashes.resize(slot + 1);
            slot_stamp.resize(slot + 1);
            slot_row.resize(slot + 1);
        }
        slot_ids[slot] = id;  // the slot's previous id was released when it was freed
        slot_hashes[slot] = hash;
        slot_stamp[slot] = 0;
        // The lookup above found no equal id, so the insertion compares by identity.
        // Should it throw, the slot is a blank track the next update frees.
        IdentityOnly identity(*this);
        slots.emplace(TrackKey{hash, id.ptr()}, slot);
        return slot;
    }

    // The stored object itself is looked up, by identity.
    void forget(zm::Slot slot) {
        {
            IdentityOnly identity(*this);
            auto it = slots.find({slot_hashes[slot], slot_ids[slot].ptr()});
            if (it != slots.end() && it->second == slot)
                slots.erase(it);
        }
        released.push_back(std::move(slot_ids[slot]));
    }

    void clear() {
        core.reset();
        slots.clear();
        slot_hashes.clear();
        slot_stamp.clear();
        slot_row.clear();
        for (nb::object &id : slot_ids)
            released.push_back(std::move(id));
        slot_ids.clear();
    }
};

struct MonitorObject {
    PyObject_HEAD
    MonitorState *state;
};

MonitorState &state_of(PyObject *self) {
    if (!PyObject_TypeCheck(self, bound->monitor_type))
        raise_format(PyExc_TypeError, "a ZoneMonitor method was called on %R", self);
    MonitorState *s = reinterpret_cast<MonitorObject *>(self)->state;
    if (!s)
        throw nb::type_error("this ZoneMonitor was cleared by the garbage collector");
    return *s;
}

// Holds the monitor for one call. Every method that reads or changes the track
// table takes it, so a second call while one runs (from an item's or an id's
// own code, or from another thread) is refused rather than interleaved. The
// ids the call let go of are dropped after the monitor is free again: their
// __del__ may use it.
class Busy {
public:
    explicit Busy(MonitorState &s) : s_(s) {
        if (s.busy) {
            PyErr_SetString(PyExc_RuntimeError,
                            "ZoneMonitor is in use by another call; use it from one thread at a time");
            throw nb::python_error();
        }
        s.busy = true;
    }
    ~Busy() {
        s_.busy = false;
        std::vector<nb::object> ids;
        ids.swap(s_.released);
    }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    MonitorState &s_;
};

// ------------------------------------------------------------ construction

const char *const kMonitorKeywords[] = {"gate", "min_frames", "lost_after", nullptr};

std::uint32_t min_frames_of(PyObject *value) {
    if (!value)
        return 1;
    require_int(value, "min_frames");
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow < 0 || (!overflow && n < 1))
        raise_format(PyExc_ValueError, "min_frames must be at least 1, not %R", value);
    if (overflow > 0 || n > std::numeric_limits<std::uint32_t>::max())
        raise_format(PyExc_ValueError, "min_frames must be at most 4294967295, not %R", value);
    return static_cast<std::uint32_t>(n);
}

double lost_after_of(PyObject *value) {
    if (!value)
        return 1.0;
    nb::object s = seconds(value, "lost_after");
    double d = PyFloat_AS_DOUBLE(s.ptr());
    if (!(d >= 0))
        raise_format(PyExc_ValueError, "lost_after must be a non-negative number of seconds, not %R", value);
    return d;
}

PyObject *monitor_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return guarded([&] {
        PyObject *gate = nullptr, *min_frames = nullptr, *lost_after = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$OO:ZoneMonitor", const_cast<char **>(kMonitorKeywords),
                                         &gate, &min_frames, &lost_after))
            throw nb::python_error();
        if (!PyObject_TypeCheck(gate, bound->gate_type))
            raise_wrong_type("gate", "ZoneGate", gate);
        std::uint32_t frames = min_frames_of(min_frames);
        double lost = lost_after_of(lost_after);
        nb::object self = take(type->tp_alloc(type, 0));
        // Deleted by monitor_clear; the object is complete once this returns.
        reinterpret_cast<MonitorObject *>(self.ptr())->state = new MonitorState(gate, watched_zones(gate), frames, lost);
        return self;
    });
}

int monitor_traverse(PyObject *self, visitproc visit, void *arg) {
    if (const MonitorState *s = reinterpret_cast<MonitorObject *>(self)->state) {
        Py_VISIT(s->gate.ptr());
        // The zone set's references are reported by one owner at a time: the
        // gate while it holds the set, the monitor once it holds it alone.
        if (s->zones.set && s->zones.set.use_count() == 1) {
            int rc = 0;
            s->zones.set->for_each_ref([&](PyObject *o) {
                if (o && rc == 0)
                    rc = visit(o, arg);
            });
            if (rc)
                return rc;
        }
        for (const WatchedZone &z : s->zones.list) {
            Py_VISIT(z.roi_id.ptr());
            Py_VISIT(z.roi_name.ptr());
        }
        for (const nb::object &id : s->slot_ids)
            Py_VISIT(id.ptr());
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int monitor_clear(PyObject *self) {
    auto *m = reinterpret_cast<MonitorObject *>(self);
    std::unique_ptr<MonitorState> state(m->state);
    m->state = nullptr;
    return 0;
}

void monitor_dealloc(PyObject *self) {
    nb::object type = nb::steal(reinterpret_cast<PyObject *>(Py_TYPE(self)));  // the instance's reference
    PyObject_GC_UnTrack(self);
    monitor_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject *monitor_get_gate(PyObject *self, void *) {
    return guarded([&] { return state_of(self).gate; });
}

PyObject *monitor_get_min_frames(PyObject *self, void *) {
    return guarded([&] { return take(PyLong_FromUnsignedLong(state_of(self).min_frames)); });
}

PyObject *monitor_get_lost_after(PyObject *self, void *) {
    return guarded([&] { return take(PyFloat_FromDouble(state_of(self).lost_after)); });
}

// ------------------------------------------------------------ update

const char *const update_names[] = {"self", "items", "timestamp", "frame_sz", "anchor_pt"};
const Parameters update_params{"update", update_names, 5, 5, 2};

double timestamp_of(PyObject *value) {
    nb::object t = value && value != Py_None ? nb::borrow(value) : nb::object(ns.get("time").attr("monotonic")());
    nb::object s = seconds(t.ptr(), "timestamp");
    if (!std::isfinite(PyFloat_AS_DOUBLE(s.ptr())))
        raise_format(PyExc_ValueError, "timestamp must be a finite number of seconds, not %R", t);
    return PyFloat_AS_DOUBLE(s.ptr());
}

// None or an empty sequence: the gate's frame size applies.
bool gate_frame_applies(PyObject *frame_sz) {
    if (!frame_sz || frame_sz == Py_None)
        return true;
    Py_ssize_t n = PyObject_Size(frame_sz);
    if (n < 0)
        throw nb::python_error();
    return n == 0;
}

nb::object frame_element(const nb::object &frame_sz, const nb::object &index) {
    nb::object value;
    try {
        value = item(frame_sz, index);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_IndexError))
            throw;
        raise_format(PyExc_ValueError, "frame_sz must hold a width and a height, not %R", frame_sz);
    }
    if (!PyNumber_Check(value.ptr()))
        raise_format(PyExc_TypeError, "frame_sz must hold numbers, not %R", frame_sz);
    return value;
}

// The attribute `track_id`, else info["track_id"]; None or absent when untracked.
nb::object track_id_of(nb::handle obj, const nb::object &info) {
    nb::object id = optional_attr::get(obj.ptr(), bound->track_id.ptr());
    if ((!id.is_valid() || id.is_none()) && info.is_valid())
        id = get_or(info.ptr(), bound->track_id.ptr(), Py_None);
    return id;
}

void read_item(MonitorState &s, nb::handle obj, const AnchorInputs &inputs) {
    nb::object info = info_of(obj.ptr());
    nb::object box = box_of(obj.ptr(), info);
    geometry::Point p = anchor_point(box.ptr(), inputs);
    std::size_t zones = s.zones.size();
    for (std::size_t z = 0; z < zones; ++z)
        s.row[z] = s.zones.contains(z, p);
    nb::object id = track_id_of(obj, info);
    if (!id.is_valid() || id.is_none()) {
        for (std::size_t z = 0; z < zones; ++z)
            s.frame.untracked[z] += s.row[z];
        return;
    }
    Py_hash_t hash = PyObject_Hash(id.ptr());
    if (hash == -1 && PyErr_Occurred())
        throw nb::python_error();
    zm::Slot slot = s.slot_of(id, hash);
    if (s.slot_stamp[slot] == s.stamp) {  // the same track twice in one frame: in every zone either is in
        std::uint8_t *row = s.frame.inside.data() + s.slot_row[slot] * zones;
        for (std::size_t z = 0; z < zones; ++z)
            row[z] |= s.row[z];
        return;
    }
    s.slot_stamp[slot] = s.stamp;
    s.slot_row[slot] = static_cast<std::uint32_t>(s.frame.tracks.size());
    s.frame.tracks.push_back(slot);
    s.frame.inside.insert(s.frame.inside.end(), s.row.begin(), s.row.end());
}

// Step (1): the exception of the first item that could not be read, or an invalid object.
nb::object read_frame(MonitorState &s, PyObject *items, const AnchorInputs &inputs) {
    s.frame.clear(s.zones.size());
    s.row.assign(s.zones.size(), 0);
    ++s.stamp;
    nb::object first_error;
    nb::object it = take(PyObject_GetIter(items));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object obj = nb::steal(raw);
        try {
            read_item(s, obj, inputs);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            if (!first_error.is_valid())
                first_error = take_exception(e);
        } catch (const geometry::NonFinitePoint &e) {
            if (!first_error.is_valid())
                first_error = bound->engine_error(nb::str(("IllegalArgumentException: " + std::string(e.what())).c_str()));
        }
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return first_error;
}

nb::object update_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto a = arguments<5>(update_params, args, nargs, kwnames);
    MonitorState &s = state_of(a[0]);
    Busy busy(s);
    double t = timestamp_of(a[2]);
    if (std::optional<double> last = s.core.last_timestamp(); last && t < *last) {
        PyErr_Format(PyExc_ValueError, "timestamp must not go backwards: %R is before the last update's %R",
                     nb::float_(t).ptr(), nb::float_(*last).ptr());
        throw nb::python_error();
    }
    nb::object frame_sz = gate_frame_applies(a[3]) ? attr(s.gate, bound->frame_sz) : nb::borrow(a[3]);
    nb::object fx = frame_element(frame_sz, bound->zero), fy = frame_element(frame_sz, bound->one);
    nb::object anchor[2];
    PyObject *anchor_pt = a[4] ? a[4] : bound->default_anchor.ptr();
    unpack(anchor_pt, 2, anchor);
    if (!PyNumber_Check(anchor[0].ptr()) || !PyNumber_Check(anchor[1].ptr()))
        raise_format(PyExc_TypeError, "anchor_pt must hold two numbers, not %R", anchor_pt);
    AnchorInputs inputs(anchor[0].ptr(), anchor[1].ptr(), fx.ptr(), fy.ptr());

    nb::object first_error = read_frame(s, a[1], inputs);
    if (first_error.is_valid())
        ns.get("exception_traceback")(ns.get("logger"), first_error);

    // Step (2).
    s.frame.timestamp = t;
    s.events.clear();
    s.freed.clear();
    s.core.update(s.frame, s.events, s.freed);

    // Step (3): ids are taken for the events before the freed slots let go of them.
    std::vector<nb::object> event_ids;
    event_ids.reserve(s.events.size());
    for (const zm::Event &e : s.events)
        event_ids.push_back(s.slot_ids[e.track]);
    for (zm::Slot slot : s.freed)
        s.forget(slot);
    nb::list result;
    for (std::size_t i = 0; i < s.events.size(); ++i) {
        const zm::Event &e = s.events[i];
        const WatchedZone &zone = s.zones.list[e.zone];
        result.append(make_event(bound->event_type,
                                 {e.kind == zm::EventKind::enter ? bound->enter : bound->exit, zone.roi_id,
                                  zone.roi_name, event_ids[i], nb::float_(e.timestamp), nb::float_(e.dwell)}));
    }
    return result;
}

// ------------------------------------------------------------ queries

const char *const self_names[] = {"self"};
const Parameters occupancy_params{"occupancy", self_names, 1, 1, 1};
const Parameters totals_params{"totals", self_names, 1, 1, 1};
const Parameters reset_params{"reset", self_names, 1, 1, 1};

nb::object occupancy_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    MonitorState &s = state_of(arguments<1>(occupancy_params, args, nargs, kwnames)[0]);
    Busy busy(s);
    nb::dict result;
    for (std::size_t z = 0; z < s.zones.size(); ++z)
        result[s.zones.list[z].roi_id] = take(PyLong_FromUnsignedLongLong(s.core.occupancy(z)));
    return result;
}

nb::object totals_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    MonitorState &s = state_of(arguments<1>(totals_params, args, nargs, kwnames)[0]);
    Busy busy(s);
    nb::dict result;
    for (std::size_t z = 0; z < s.zones.size(); ++z) {
        const zm::Totals &t = s.core.totals(z);
        nb::dict counts;
        counts[bound->entered] = take(PyLong_FromUnsignedLongLong(t.entered));
        counts[bound->exited] = take(PyLong_FromUnsignedLongLong(t.exited));
        result[s.zones.list[z].roi_id] = counts;
    }
    return result;
}

const char *const dwell_names[] = {"self", "track_id"};
const Parameters dwell_params{"dwell", dwell_names, 2, 2, 2};

nb::object dwell_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto a = arguments<2>(dwell_params, args, nargs, kwnames);
    MonitorState &s = state_of(a[0]);
    Busy busy(s);
    Py_hash_t hash = PyObject_Hash(a[1]);
    if (hash == -1 && PyErr_Occurred())
        throw nb::python_error();
    nb::dict result;
    auto found = s.slots.find({hash, a[1]});
    if (found == s.slots.end())
        return result;
    zm::Slot slot = found->second;
    for (std::size_t z = 0; z < s.zones.size(); ++z)
        if (std::optional<double> seconds = s.core.dwell(slot, z))
            result[s.zones.list[z].roi_id] = nb::float_(*seconds);
    return result;
}

nb::object reset_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    MonitorState &s = state_of(arguments<1>(reset_params, args, nargs, kwnames)[0]);
    Busy busy(s);
    s.clear();
    return nb::none();
}

// ------------------------------------------------------------ documentation

constexpr const char *kMonitorDoc =
    "Entries, exits and dwell times of tracks in the include zones of a ZoneGate.\n\n"
    "ZoneMonitor(gate, *, min_frames=1, lost_after=1.0)\n\n"
    "The watched zones are the gate's include zones, in configuration order, located as\n"
    "filter_in_roi locates them (the monitor uses the gate's own prepared zones): an anchor\n"
    "point is in a zone when filter_in_roi would give the item that zone's roi_id.\n"
    "A record without vertices whose \"include\" is true is watched too,\n"
    "as a zone that contains every item. The zones are read when the monitor is built; each\n"
    "needs its own \"roi_id\", by which events and counts name it (ValueError otherwise).\n"
    "A track inside two overlapping zones is in both.\n\n"
    ":param gate: the ZoneGate whose zones are watched\n"
    ":param min_frames: how many updates in a row must see a track inside (outside) a zone\n"
    "    before its entry (exit) is reported; an update that does not see the track breaks\n"
    "    the run; an integer, at least 1\n"
    ":param lost_after: seconds after its last sighting at which a track still inside a zone\n"
    "    is taken as gone and exits; at least 0, float('inf') to never lose tracks (their\n"
    "    state is then kept until they are seen outside)\n\n"
    "A track is forgotten once an update does not see it and it is inside no zone, so the\n"
    "memory held follows the tracks of recent frames. Use a monitor from one thread at a\n"
    "time: a call made while another call on the same monitor runs (from another thread, or\n"
    "from an item's or a track id's own code) raises RuntimeError and changes nothing.";

constexpr const char *kUpdateDoc =
    "Takes one frame's detections or tracks and returns the entries and exits it completes.\n\n"
    ":param items: iterable of items, read as ZoneGate.filter_in_roi reads them: the box is\n"
    "    info[\"rect\"] of an item with an `info` mapping, else its `tlwh`; the anchor point\n"
    "    is (x + w*ax, y + h*ay), divided by frame_sz when w and h are both above 1. A track's\n"
    "    identity is its attribute `track_id`, else info[\"track_id\"] (None counts as absent);\n"
    "    items without one count toward occupancy() and make no events. Ids compare as\n"
    "    dict keys do; an id found twice in one frame is one track, inside every zone one of\n"
    "    its items is in, placed where it first occurs.\n"
    ":param timestamp: seconds, default time.monotonic(); finite, never below the last\n"
    "    update's (ValueError)\n"
    ":param frame_sz: (width, height) for pixel boxes; default the gate's frame_sz\n"
    ":param anchor_pt: the anchor as fractions of the box, default its centre\n"
    ":return: list of ZoneEvent: exits before entries, then zones in configuration order,\n"
    "    then tracks in input order (tracks lost now before them, in the order they were\n"
    "    last seen). Every event carries this update's timestamp. An exit's dwell runs from\n"
    "    its entry to the track's last sighting, which for a lost track is an earlier update.\n\n"
    "An item that cannot be read (no tlwh, a box that is not four numbers, an unhashable\n"
    "id, ...) is skipped; the first such error of the update is passed to the module's\n"
    "exception_traceback with the module's logger, once, before anything is applied.\n"
    "Wrong arguments raise TypeError or ValueError and change nothing.";

constexpr const char *kOccupancyDoc =
    "{roi_id: count}: the tracks inside each zone (entered, not yet exited, whether or not\n"
    "the last update saw them) plus the last update's items without a track id whose anchor\n"
    "lay in the zone.";

constexpr const char *kTotalsDoc =
    "{roi_id: {\"entered\": n, \"exited\": m}}: the entries and exits reported per zone since\n"
    "the monitor was built or reset.";

constexpr const char *kDwellDoc =
    "{roi_id: seconds} for each zone the track is inside now: from its entry to its last\n"
    "sighting. Empty for a track the monitor does not hold.";

constexpr const char *kResetDoc =
    "Forgets every track, the totals and the last timestamp, as a new monitor would start.";

PyGetSetDef monitor_getset[] = {
    {"gate", monitor_get_gate, nullptr, "The watched ZoneGate.", nullptr},
    {"min_frames", monitor_get_min_frames, nullptr, "Updates in a row that confirm an entry or exit.", nullptr},
    {"lost_after", monitor_get_lost_after, nullptr, "Seconds without a sighting after which a track exits.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot monitor_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(monitor_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(monitor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(monitor_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(monitor_clear)},
    {Py_tp_getset, monitor_getset},
    {Py_tp_doc, const_cast<char *>(kMonitorDoc)},
    {0, nullptr},
};

PyType_Spec monitor_spec = {
    "quillo_sdk.roi.zone_gate.ZoneMonitor",
    sizeof(MonitorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    monitor_slots,
};

PyTypeObject *as_type(const nb::object &cls) { return reinterpret_cast<PyTypeObject *>(cls.ptr()); }

void add_method(nb::handle cls, const char *name, const char *qualname, const char *doc, const char *signature,
                vectorcallfunc call) {
    cls.attr(name) = make_method({name, qualname, kModule, doc, signature, {}, call});
}

} // namespace

void init_monitor(nb::module_ &m) {
    ns.bind(m);
    m.attr("time") = nb::module_::import_("time");
    bound = new Bound{intern("track_id"), intern("rois"), intern("points"), intern("include"), intern("roi_id"),
                      intern("label"), intern("frame_sz"), intern("enter"), intern("exit"), intern(""),
                      intern("entered"), intern("exited"), nb::int_(0), nb::int_(1), nb::make_tuple(0.5, 0.5),
                      import_name("shapely.errors", "GEOSException")};
    // Held here for the process lifetime, whatever happens to the module's attributes.
    bound->gate_cls = m.attr("ZoneGate");
    bound->event_cls = take(PyType_FromSpec(&event_spec));
    bound->monitor_cls = take(PyType_FromSpec(&monitor_spec));
    bound->gate_type = as_type(bound->gate_cls);
    bound->event_type = as_type(bound->event_cls);
    bound->monitor_type = as_type(bound->monitor_cls);
    m.attr("ZoneEvent") = bound->event_cls;
    m.attr("ZoneMonitor") = bound->monitor_cls;

    nb::handle event_cls = bound->event_cls;
    nb::object required;
    const char *positional = "POSITIONAL_OR_KEYWORD";
    event_cls.attr("__signature__") =
        signature_of({{"kind", positional, required}, {"roi_id", positional, required},
                      {"roi_name", positional, required}, {"track_id", positional, required},
                      {"timestamp", positional, required}, {"dwell", positional, required}});
    event_cls.attr("__match_args__") =
        nb::make_tuple("kind", "roi_id", "roi_name", "track_id", "timestamp", "dwell");

    nb::handle cls = bound->monitor_cls;
    cls.attr("__signature__") = signature_of({{"gate", positional, required},
                                              {"min_frames", "KEYWORD_ONLY", nb::int_(1)},
                                              {"lost_after", "KEYWORD_ONLY", nb::float_(1.0)}});
    add_method(cls, "update", "ZoneMonitor.update", kUpdateDoc,
               "($self, /, items, timestamp=None, frame_sz=None, anchor_pt=(0.5, 0.5))",
               vectorcall_entry<update_impl>);
    add_method(cls, "occupancy", "ZoneMonitor.occupancy", kOccupancyDoc, "($self, /)",
               vectorcall_entry<occupancy_impl>);
    add_method(cls, "totals", "ZoneMonitor.totals", kTotalsDoc, "($self, /)", vectorcall_entry<totals_impl>);
    add_method(cls, "dwell", "ZoneMonitor.dwell", kDwellDoc, "($self, /, track_id)", vectorcall_entry<dwell_impl>);
    add_method(cls, "reset", "ZoneMonitor.reset", kResetDoc, "($self, /)", vectorcall_entry<reset_impl>);
}

} // namespace quillo::zone_gate
