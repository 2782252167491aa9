// Point location in planar regions, independent of Python.
//
// A Region is what a zone or an exclusion geometry reduces to: areal parts
// (polygons with holes), linear parts and single points. contains() answers
// "is the point in the interior" with the rules of the geometry engine the
// zones come from: outline points are outside, rings use the even-odd
// crossing rule, lines have Mod-2 endpoint boundaries, and the orientation
// test behind every decision is the engine's own predicate, so even
// near-degenerate points land where the engine puts them. Where that predicate
// is not at hand, or the engine's rules are not these, the cases the
// floating-point filter cannot settle raise Undecided, and the caller asks the
// engine about that point itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quillo::geometry {

struct Point {
    double x, y;
};

struct Box {
    double minx, miny, maxx, maxy;

    static Box empty();
    void extend(Point p);
    // False for NaN coordinates, so NaN points are never located inside anything.
    bool covers(double x, double y) const { return x >= minx && x <= maxx && y >= miny && y <= maxy; }
};

enum class Location { exterior, boundary, interior };

// Raised where the engine rejects a point with a NaN or infinite coordinate:
// only reachable inside a zone whose bounding box is itself infinite.
struct NonFinitePoint : std::domain_error {
    NonFinitePoint() : std::domain_error("CGAlgorithmsDD::orientationIndex encountered NaN/Inf numbers") {}
};

// Raised for a point the filter cannot locate without the engine.
struct Undecided {};

// The engine's orientation predicate (GEOSOrientationIndex_r): -1, 0, 1, or 2 on error.
struct EnginePredicate {
    int (*orientation)(void *context, double ax, double ay, double bx, double by, double px, double py) = nullptr;
    void *context = nullptr;
};

// Installs the predicate for what the filter cannot decide; without one
// (the default) such cases raise Undecided.
void set_engine_predicate(const EnginePredicate &predicate);

// Whether the engine locates points by the rules written here (GEOS 3.13 and
// newer). When it does not, zones with a non-finite coordinate are left to
// the engine as well.
void set_engine_rules(bool same_rules);

// Sign of the turn p1 -> p2 -> q as the geometry engine computes it: +1 when q
// lies left of the directed line p1->p2, -1 when right, 0 when collinear.
int orientation(Point p1, Point p2, Point q);

struct Edge {
    Point a, b;
};

// A closed vertex ring (last vertex equals the first). Its edges are also kept
// bucketed by horizontal slabs of the bounding box, so a point only visits the
// edges whose height range can reach it.
struct Ring {
    std::vector<Point> pts;
    Box box;
    double slab_origin = 0, slab_scale = 0;
    std::vector<std::uint32_t> slab_start;  // slab k holds slab_edges[slab_start[k] .. slab_start[k + 1])
    std::vector<Edge> slab_edges;

    void build_slabs();
    std::size_t slab_of(double y) const;
};

Location locate_in_ring(const Ring &ring, Point p);

struct Polygon {
    Ring shell;
    std::vector<Ring> holes;
};

Location locate_in_polygon(const Polygon &polygon, Point p);

class Region {
public:
    // `rings`: shell first, then holes; each as given by the geometry (closed or not).
    void add_polygon(const std::vector<std::vector<Point>> &rings);
    void add_line(std::vector<Point> pts);
    void add_point(Point p);

    // The bounding box test is inline: most points of a frame miss most zones.
    bool contains(Point p) const { return box_.covers(p.x, p.y) && contains_within_box(p); }
    bool is_empty() const { return polygons_.empty() && lines_.empty() && points_.empty(); }
    const Box &box() const { return box_; }

private:
    bool contains_within_box(Point p) const;
    Location locate_on_polygons(Point p) const;
    Location locate_on_lines(Point p) const;
    bool is_line_boundary(Point p) const;
    void note_finite(const std::vector<Point> &pts);

    std::vector<Polygon> polygons_;
    std::vector<Ring> lines_;  // open vertex chains; Ring only for the bounding box
    std::vector<Point> points_;
    Box box_ = Box::empty();
    bool finite_ = true;  // every coordinate finite
};

} // namespace quillo::geometry
