// Reading shapely geometries into the geometry core, once per zone.
#pragma once

#include "zone_gate/geometry.hpp"

#include <nanobind/nanobind.h>

#include <vector>

namespace quillo::zone_gate {

namespace nb = nanobind;

// Binds the shapely functions used to take geometries apart and chooses how
// the cases the floating-point filter cannot settle are decided: by the GEOS
// library shapely is linked against (shortcut "geos_predicate"), or by asking
// shapely. Sets the module's `_geos_library`. Called at import.
void init_shapes(nb::handle module);

// shapely's `contains` of the geometry `geom` and the point `p`.
bool ask_shapely(nb::handle geom, geometry::Point p);

// Whether `region`, read from the shapely geometry `geom`, has `p` in its
// interior; shapely is asked only for points the core cannot settle.
inline bool contains(const geometry::Region &region, nb::handle geom, geometry::Point p) {
    try {
        return region.contains(p);
    } catch (const geometry::Undecided &) {
        return ask_shapely(geom, p);
    }
}

// The region of any shapely geometry: polygons, multi-parts and collections
// are flattened, lower-dimensional parts kept for their own containment rules.
geometry::Region region_from_geometry(nb::handle geom);

// Reads a 1-D sequence of numbers as contiguous doubles (numpy does the conversion).
std::vector<double> as_doubles(nb::handle values);

} // namespace quillo::zone_gate
