#include "common/geos_library.hpp"

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quillo::geos_library {

namespace {

using InitFn = void *(*)();
using VersionFn = const char *(*)();

const link_map *link_map_of(void *handle) {
    link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        throw std::runtime_error("no link map for a loaded library");
    return map;
}

// The DT_NEEDED entries of a loaded object, read from its dynamic section.
std::vector<std::string> needed_of(const link_map *map) {
    const char *strtab = nullptr;
    std::vector<ElfW(Xword)> offsets;
    for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_STRTAB) {
            // glibc relocates these in place on most targets; where it does not, the entry is an offset.
            ElfW(Addr) address = d->d_un.d_ptr;
            if (address < map->l_addr)
                address += map->l_addr;
            strtab = reinterpret_cast<const char *>(address);
        } else if (d->d_tag == DT_NEEDED) {
            offsets.push_back(d->d_un.d_val);
        }
    }
    std::vector<std::string> names;
    if (strtab)
        for (ElfW(Xword) offset : offsets)
            names.emplace_back(strtab + offset);
    return names;
}

bool is_geos_c(const std::string &soname) { return soname.compare(0, 9, "libgeos_c") == 0; }

std::string absolute(const char *path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) ? std::string(resolved) : std::string(path);
}

} // namespace

Binding bind_dependency_of(const std::string &extension_path) {
    void *extension = dlopen(extension_path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!extension)
        throw std::runtime_error("shapely's compiled module is not loaded: " + extension_path);
    std::vector<std::string> needed = needed_of(link_map_of(extension));
    dlclose(extension);
    for (const std::string &soname : needed) {
        if (!is_geos_c(soname))
            continue;
        // A bare soname with RTLD_NOLOAD finds the loaded object the loader
        // matched for that name, as it did when it resolved the module's needs.
        void *library = dlopen(soname.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (!library)
            throw std::runtime_error("shapely's " + soname + " is not loaded");
        Binding binding;
        binding.path = absolute(link_map_of(library)->l_name);
        auto init = reinterpret_cast<InitFn>(dlsym(library, "GEOS_init_r"));
        auto version = reinterpret_cast<VersionFn>(dlsym(library, "GEOSversion"));
        binding.orientation_index = reinterpret_cast<OrientationIndexFn>(dlsym(library, "GEOSOrientationIndex_r"));
        if (!init || !version || !binding.orientation_index)
            throw std::runtime_error(binding.path + " lacks GEOS_init_r, GEOSversion or GEOSOrientationIndex_r");
        binding.version = version();
        // The handle stays open and the context alive for the process, as the module does.
        binding.context = init();
        if (!binding.context)
            throw std::runtime_error("GEOS_init_r failed in " + binding.path);
        return binding;
    }
    throw std::runtime_error("shapely's compiled module names no libgeos_c dependency");
}

} // namespace quillo::geos_library
