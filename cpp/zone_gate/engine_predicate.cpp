#include "zone_gate/engine_predicate.hpp"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace quillo::geometry {

namespace {

using InitFn = void *(*)();

int find_geos_c(struct dl_phdr_info *info, size_t, void *data) {
    const char *name = info->dlpi_name;
    const char *base = name ? std::strrchr(name, '/') : nullptr;
    base = base ? base + 1 : name;
    if (base && std::strncmp(base, "libgeos_c", 9) == 0) {
        *static_cast<std::string *>(data) = name;
        return 1;
    }
    return 0;
}

} // namespace

EnginePredicate load_engine_predicate() {
    std::string path;
    dl_iterate_phdr(find_geos_c, &path);
    void *library = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!library)
        throw std::runtime_error("the GEOS C library that shapely uses is not loaded in this process");
    auto init = reinterpret_cast<InitFn>(dlsym(library, "GEOS_init_r"));
    auto orientation = reinterpret_cast<OrientationFn>(dlsym(library, "GEOSOrientationIndex_r"));
    if (!init || !orientation)
        throw std::runtime_error("the GEOS C library lacks GEOS_init_r or GEOSOrientationIndex_r");
    // The handle and its context live as long as the process, as the module does.
    return {orientation, init()};
}

} // namespace quillo::geometry
