#include "zone_gate/shapes.hpp"
#include "common/geos_library.hpp"
#include "common/module_attr.hpp"
#include "common/py_ops.hpp"
#include "common/shortcuts.hpp"

#include <nanobind/stl/string.h>

#include <cstring>
#include <string>

namespace quillo::zone_gate {

namespace {

struct Shapely {
    nb::object get_type_id, get_parts, get_rings, get_coordinates, ascontiguousarray, float64, contains, point;
};
Shapely *api = nullptr;

enum TypeId { kPoint = 0, kLineString = 1, kLinearRing = 2, kPolygon = 3 };

// A C-contiguous float64 array's buffer, released on scope exit.
class DoubleBuffer {
public:
    DoubleBuffer(nb::handle array, int ndim) {
        if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
            throw nb::python_error();
        held_ = true;
        const char *f = view_.format;
        if (*f == '<' || *f == '=' || *f == '@')
            ++f;
        if (view_.ndim != ndim || view_.itemsize != 8 || std::strcmp(f, "d") != 0 ||
            (ndim == 2 && view_.shape[1] < 2))
            throw nb::type_error("expected a float64 coordinate array");
    }
    ~DoubleBuffer() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    DoubleBuffer(const DoubleBuffer &) = delete;
    DoubleBuffer &operator=(const DoubleBuffer &) = delete;

    const double *data() const { return static_cast<const double *>(view_.buf); }
    Py_ssize_t rows() const { return view_.ndim ? view_.shape[0] : 0; }
    Py_ssize_t cols() const { return view_.ndim == 2 ? view_.shape[1] : 1; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

std::vector<geometry::Point> coordinates(nb::handle geom) {
    nb::object coords = api->get_coordinates(geom);
    DoubleBuffer buf(coords, 2);
    std::vector<geometry::Point> pts;
    pts.reserve(static_cast<std::size_t>(buf.rows()));
    for (Py_ssize_t i = 0; i < buf.rows(); ++i)
        pts.push_back({buf.data()[i * buf.cols()], buf.data()[i * buf.cols() + 1]});
    return pts;
}

void add_geometry(geometry::Region &region, nb::handle geom) {
    nb::object type_id = api->get_type_id(geom);
    long type = PyLong_AsLong(type_id.ptr());
    if (type == -1 && PyErr_Occurred())
        throw nb::python_error();
    switch (type) {
    case kPoint:
        for (geometry::Point p : coordinates(geom))
            region.add_point(p);
        break;
    case kLineString:
    case kLinearRing:
        region.add_line(coordinates(geom));
        break;
    case kPolygon: {
        std::vector<std::vector<geometry::Point>> rings;
        for (nb::handle ring : api->get_rings(geom))
            rings.push_back(coordinates(ring));
        region.add_polygon(rings);
        break;
    }
    default:  // multi-part geometries and collections
        for (nb::handle part : api->get_parts(geom))
            add_geometry(region, part);
    }
}

// The orientation predicate of the GEOS library shapely uses, checked
// against that library's reported version and a few plain turns.
std::string bind_engine(nb::handle shapely, std::string *path) {
    std::string extension = nb::cast<std::string>(shapely.attr("lib").attr("__file__"));
    geos_library::Binding geos = geos_library::bind_dependency_of(extension);
    std::string expected = nb::cast<std::string>(shapely.attr("geos_capi_version_string"));
    if (geos.version != expected)
        return geos.path + " reports GEOS " + geos.version + ", shapely was built with " + expected;
    struct Turn {
        double ax, ay, bx, by, px, py;
        int sign;
    };
    for (const Turn &t : {Turn{0, 0, 1, 0, 0, 1, 1}, Turn{0, 0, 1, 0, 0, -1, -1}, Turn{0, 0, 1, 1, 2, 2, 0}})
        if (geos.orientation_index(geos.context, t.ax, t.ay, t.bx, t.by, t.px, t.py) != t.sign)
            return geos.path + " answers a plain orientation wrongly";
    geometry::set_engine_predicate({geos.orientation_index, geos.context});
    *path = geos.path;
    return {};
}

} // namespace

void init_shapes(nb::handle module) {
    nb::module_ shapely = nb::module_::import_("shapely");
    nb::module_ numpy = nb::module_::import_("numpy");
    api = new Shapely{shapely.attr("get_type_id"),       shapely.attr("get_parts"),
                      shapely.attr("get_rings"),         shapely.attr("get_coordinates"),
                      numpy.attr("ascontiguousarray"),   numpy.attr("float64"),
                      shapely.attr("contains"),          import_name("shapely.geometry", "Point")};
    // GEOS 3.13 rewrote point location (RelateNG); older releases settle some
    // near-degenerate points and non-finite zones differently, so there
    // shapely decides every case the filter cannot.
    nb::tuple geos_version = nb::borrow<nb::tuple>(shapely.attr("geos_version"));
    bool same_rules = nb::cast<int>(geos_version[0]) > 3 ||
                      (nb::cast<int>(geos_version[0]) == 3 && nb::cast<int>(geos_version[1]) >= 13);
    geometry::set_engine_rules(same_rules);
    std::string path;
    if (same_rules) {
        shortcuts::choose(module, "geos_predicate", [&] { return bind_engine(shapely, &path); });
    } else {
        std::string version = nb::cast<std::string>(shapely.attr("geos_version_string"));
        shortcuts::record(module, "geos_predicate", false,
                          "GEOS " + version + " locates points by older rules; shapely decides the hard cases");
    }
    module.attr("_geos_library") = path.empty() ? nb::none() : nb::object(nb::str(path.c_str()));
}

bool ask_shapely(nb::handle geom, geometry::Point p) { return truth(api->contains(geom, api->point(p.x, p.y))); }

geometry::Region region_from_geometry(nb::handle geom) {
    geometry::Region region;
    add_geometry(region, geom);
    return region;
}

std::vector<double> as_doubles(nb::handle values) {
    nb::object array = api->ascontiguousarray(values, nb::arg("dtype") = api->float64);
    DoubleBuffer buf(array, 1);
    return std::vector<double>(buf.data(), buf.data() + buf.rows());
}

} // namespace quillo::zone_gate
