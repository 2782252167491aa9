// Exact point location in planar regions, independent of Python.
//
// A Region is what a zone or an exclusion geometry reduces to: areal parts
// (polygons with holes), linear parts and single points. contains() answers
// "is the point in the interior" with the rules of the geometry engine the
// zones come from: outline points are outside, rings use the even-odd
// crossing rule, lines have Mod-2 endpoint boundaries, and the orientation
// test behind every decision is exact for any pair of doubles.
#pragma once

#include <cstddef>
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

// Sign of the turn a -> b -> c: +1 when c lies left of the directed line a->b,
// -1 when right, 0 when the three points are collinear. Exact for all finite doubles.
int orientation(Point a, Point b, Point c);

// A closed vertex ring (last vertex equals the first).
struct Ring {
    std::vector<Point> pts;
    Box box;
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

    bool contains(Point p) const;
    bool is_empty() const { return polygons_.empty() && lines_.empty() && points_.empty(); }
    const Box &box() const { return box_; }

private:
    Location locate_on_polygons(Point p) const;
    Location locate_on_lines(Point p) const;
    bool is_line_boundary(Point p) const;

    std::vector<Polygon> polygons_;
    std::vector<Ring> lines_;  // open vertex chains; Ring only for the bounding box
    std::vector<Point> points_;
    Box box_ = Box::empty();
};

} // namespace quillo::geometry
