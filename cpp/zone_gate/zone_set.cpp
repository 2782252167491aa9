#include "zone_gate/zone_set.hpp"

#include "common/py_ops.hpp"
#include "zone_gate/items.hpp"

namespace quillo::zone_gate {

namespace {

PyObject *shapely_polygon = nullptr;

// Whether record[key] is `expected`; any failure to read it counts as no.
bool holds(PyObject *record, PyObject *key, PyObject *expected) {
    if (PyDict_CheckExact(record)) {
        PyObject *value = PyDict_GetItemWithError(record, key);
        PyErr_Clear();
        return value == expected;
    }
    nb::object value = nb::steal(PyObject_GetItem(record, key));
    if (!value.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    return value.ptr() == expected;
}

} // namespace

void init_zone_set() { shapely_polygon = check(PyUnicode_InternFromString("shapely_polygon")); }

bool ZoneSet::matches(PyObject *included_now, PyObject *map_now) const {
    if (included_now != included.ptr() || map_now != exclusion_map.ptr() || !PyList_CheckExact(included_now) ||
        !PyDict_CheckExact(map_now) || PyList_GET_SIZE(included_now) != static_cast<Py_ssize_t>(sources.size()))
        return false;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const ZoneSource &s = sources[i];
        // A record's own __getitem__ or a key's __eq__ may have changed the list meanwhile.
        if (PyList_GET_SIZE(included_now) != static_cast<Py_ssize_t>(sources.size()))
            return false;
        PyObject *record = PyList_GET_ITEM(included_now, i);
        if (record != s.record.ptr() || !holds(record, shapely_polygon, s.geometry.ptr()))
            return false;
        PyObject *list = PyDict_GetItemWithError(map_now, s.key.ptr());
        if (list != s.exclusions.ptr())
            return PyErr_Clear(), false;
        if (!list)
            continue;
        if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(s.exclusion_items.size()))
            return false;
        for (std::size_t j = 0; j < s.exclusion_items.size(); ++j)
            if (PyList_GET_ITEM(list, j) != s.exclusion_items[j].ptr())
                return false;
    }
    return true;
}

ZoneSetPtr prepare_zones(nb::handle included, nb::handle exclusion_map) {
    auto set = std::make_shared<ZoneSet>();
    set->included = nb::borrow(included);
    set->exclusion_map = nb::borrow(exclusion_map);
    nb::object it = take(PyObject_GetIter(included.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        ZoneSource s;
        s.record = nb::steal(raw);
        s.geometry = take(PyObject_GetItem(raw, shapely_polygon));
        s.key = take(PyLong_FromVoidPtr(raw));
        Zone zone{region_from_geometry(s.geometry), {}};
        nb::object list = get_or(exclusion_map.ptr(), s.key.ptr(), Py_None);
        if (!list.is_none()) {
            s.exclusions = list;
            for (nb::handle g : list) {
                s.exclusion_items.push_back(nb::borrow(g));
                zone.exclusions.push_back(region_from_geometry(g));
            }
        }
        set->sources.push_back(std::move(s));
        set->zones.push_back(std::move(zone));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return set;
}

} // namespace quillo::zone_gate
