// The GEOS C library that shapely's compiled module is linked against, found
// the way the dynamic loader resolved it for that module, so that other GEOS
// copies in the process (a system GEOS, GDAL's, another extension's) are never
// mistaken for it. Linux (glibc) only: it reads the module's link map.
#pragma once

#include <stdexcept>
#include <string>

namespace quillo::geos_library {

// Signature of GEOSOrientationIndex_r: -1, 0, 1, or 2 on error.
using OrientationIndexFn = int (*)(void *context, double ax, double ay, double bx, double by, double px, double py);

struct Binding {
    std::string path;        // absolute path of the library
    std::string version;     // what its GEOSversion() reports
    OrientationIndexFn orientation_index;
    void *context;           // from GEOS_init_r; lives as long as the process
};

// Binds the libgeos_c dependency of the already loaded shared object at
// `extension_path`; throws std::runtime_error saying why when it cannot.
Binding bind_dependency_of(const std::string &extension_path);

} // namespace quillo::geos_library
