// Reading shapely geometries into the geometry core, once per zone.
#pragma once

#include "zone_gate/geometry.hpp"

#include <nanobind/nanobind.h>

#include <vector>

namespace quillo::zone_gate {

namespace nb = nanobind;

// Binds the shapely functions used to take geometries apart; called at import.
void init_shapes();

// The region of any shapely geometry: polygons, multi-parts and collections
// are flattened, lower-dimensional parts kept for their own containment rules.
geometry::Region region_from_geometry(nb::handle geom);

// Reads a 1-D sequence of numbers as contiguous doubles (numpy does the conversion).
std::vector<double> as_doubles(nb::handle values);

} // namespace quillo::zone_gate
