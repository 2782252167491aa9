// The include zones of a gate in prepared form: the geometry core's regions
// next to the shapely geometries and records they were read from. A gate
// builds one at construction; its filter_in_roi and every ZoneMonitor built
// on it answer "is this point in that zone" through ZoneSet::contains alone.
#pragma once

#include "zone_gate/geometry.hpp"
#include "zone_gate/shapes.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace quillo::zone_gate {

namespace nb = nanobind;

struct ZoneSource {
    nb::object record, geometry, key, exclusions;  // exclusions: the list found under id(record), or null
    std::vector<nb::object> exclusion_items;
};

struct Zone {
    geometry::Region area;
    std::vector<geometry::Region> exclusions;
};

struct ZoneSet {
    nb::object included, exclusion_map;
    std::vector<ZoneSource> sources;  // one per include zone, in the order of `included`
    std::vector<Zone> zones;

    // Whether `p` lies in the interior of include zone `z` and outside the
    // interior of each of its exclusions. Shapely settles the points the
    // core cannot.
    bool contains(std::size_t z, geometry::Point p) const {
        const Zone &zone = zones[z];
        const ZoneSource &source = sources[z];
        if (!zone_gate::contains(zone.area, source.geometry, p))
            return false;
        for (std::size_t e = 0; e < zone.exclusions.size(); ++e)
            if (zone_gate::contains(zone.exclusions[e], source.exclusion_items[e], p))
                return false;
        return true;
    }

    // True when the gate's fields still hold exactly the objects the zones were read from.
    bool matches(PyObject *included_now, PyObject *map_now) const;

    template <typename Visit>
    void for_each_ref(Visit &&visit) const {
        visit(included.ptr());
        visit(exclusion_map.ptr());
        for (const ZoneSource &s : sources) {
            visit(s.record.ptr());
            visit(s.geometry.ptr());
            visit(s.exclusions.ptr());
            for (const nb::object &o : s.exclusion_items)
                visit(o.ptr());
        }
    }
};

using ZoneSetPtr = std::shared_ptr<const ZoneSet>;

// Reads the records of `included` and the exclusion lists `exclusion_map`
// holds under their id(), as a gate's fields keep them.
ZoneSetPtr prepare_zones(nb::handle included, nb::handle exclusion_map);

// The zone set calls on `gate` work with: the one the gate prepared while its
// fields still hold the objects that set was read from, else one read afresh
// from the fields.
ZoneSetPtr zones_of(PyObject *gate);

// Binds the names the zone set reads; called at import.
void init_zone_set();

} // namespace quillo::zone_gate
