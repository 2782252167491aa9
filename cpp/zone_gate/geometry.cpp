#include "zone_gate/geometry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace quillo::geometry {

// ------------------------------------------------------------ orientation
//
// A double-precision filter with a relative error bound settles almost every
// case; it is the same test the geometry engine applies first, so a decided
// sign is the engine's sign. What the filter cannot decide goes to the
// engine's own predicate, or is left to the caller (Undecided).

namespace {

constexpr double kFilterBound = 1e-15;
constexpr int kUndecided = 2;
constexpr double kSmallestSafeProduct = 1e-280;

EnginePredicate engine;
bool engine_rules = true;

int sign_of(double x) { return x < 0 ? -1 : x > 0 ? 1 : 0; }

int orientation_filter(Point a, Point b, Point c) {
    double detsum;
    const double detleft = (a.x - c.x) * (b.y - c.y);
    const double detright = (a.y - c.y) * (b.x - c.x);
    const double det = detleft - detright;
    if (detleft > 0.0) {
        if (detright <= 0.0)
            return sign_of(det);
        detsum = detleft + detright;
    } else if (detleft < 0.0) {
        if (detright >= 0.0)
            return sign_of(det);
        detsum = -detleft - detright;
    } else {
        return sign_of(det);
    }
    const double errbound = kFilterBound * detsum;
    if (det >= errbound || -det >= errbound)
        return sign_of(det);
    return kUndecided;
}

// Whether the filter's relative error bound holds: products that overflow, or
// that fall below the normal range, lose more than the bound allows for.
// GEOS 3.13 and newer apply the filter regardless, older releases do not.
bool products_in_range(Point a, Point b, Point c) {
    const double f[4] = {a.x - c.x, b.y - c.y, a.y - c.y, b.x - c.x};
    for (int k = 0; k < 4; k += 2) {
        double product = f[k] * f[k + 1];
        if (!std::isfinite(product) || (f[k] != 0 && f[k + 1] != 0 && std::fabs(product) < kSmallestSafeProduct))
            return false;
    }
    return true;
}

} // namespace

void set_engine_predicate(const EnginePredicate &predicate) { engine = predicate; }

void set_engine_rules(bool same_rules) { engine_rules = same_rules; }

int orientation(Point p1, Point p2, Point q) {
    if (!std::isfinite(q.x) || !std::isfinite(q.y))
        throw NonFinitePoint();
    if (!engine_rules && !products_in_range(p1, p2, q))
        throw Undecided();
    int index = orientation_filter(p1, p2, q);
    if (index != kUndecided)
        return index;
    if (!engine.orientation)
        throw Undecided();
    index = engine.orientation(engine.context, p1.x, p1.y, p2.x, p2.y, q.x, q.y);
    if (index == kUndecided)  // the engine reports its own failure this way
        throw NonFinitePoint();
    return index;
}

// ------------------------------------------------------------ boxes and rings

Box Box::empty() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    return {inf, inf, -inf, -inf};
}

void Box::extend(Point p) {
    minx = std::min(minx, p.x);
    miny = std::min(miny, p.y);
    maxx = std::max(maxx, p.x);
    maxy = std::max(maxy, p.y);
}

// The slab function is monotone in y, so an edge registered in the slabs of
// its lowest and highest point is found from every height in between.
std::size_t Ring::slab_of(double y) const {
    std::size_t count = slab_start.size() - 1;
    double t = (y - slab_origin) * slab_scale;
    if (!(t >= 0))
        return 0;
    if (t >= static_cast<double>(count))
        return count - 1;
    return static_cast<std::size_t>(t);
}

void Ring::build_slabs() {
    std::size_t edges = pts.size() > 1 ? pts.size() - 1 : 0;
    std::size_t count = std::clamp<std::size_t>(4 * edges, 1, 4096);  // about two edges per slab
    double height = box.maxy - box.miny;
    slab_origin = box.miny;
    slab_scale = count / height;
    if (!std::isfinite(slab_scale) || !(height > 0)) {
        count = 1;
        slab_scale = 0;
    }
    slab_start.assign(count + 1, 0);
    // An edge with a NaN height crosses nothing, but still ends at its other
    // vertex, where a point is on the outline: it goes to that vertex's slab.
    auto slabs_of = [&](std::size_t i) {
        double y1 = pts[i].y, y2 = pts[i + 1].y;
        if (std::isnan(y1))
            y1 = y2;
        if (std::isnan(y2))
            y2 = y1;
        return std::pair{slab_of(std::min(y1, y2)), slab_of(std::max(y1, y2))};
    };
    for (std::size_t i = 0; i < edges; ++i) {
        auto [lo, hi] = slabs_of(i);
        for (std::size_t k = lo; k <= hi; ++k)
            ++slab_start[k + 1];
    }
    for (std::size_t k = 0; k < count; ++k)
        slab_start[k + 1] += slab_start[k];
    slab_edges.resize(slab_start[count]);
    std::vector<std::uint32_t> fill(slab_start.begin(), slab_start.end() - 1);
    for (std::size_t i = 0; i < edges; ++i) {
        auto [lo, hi] = slabs_of(i);
        for (std::size_t k = lo; k <= hi; ++k)
            slab_edges[fill[k]++] = {pts[i], pts[i + 1]};
    }
}

namespace {

Ring make_ring(std::vector<Point> pts, bool close) {
    Ring ring{std::move(pts), Box::empty()};
    if (close && !ring.pts.empty()) {
        const Point &f = ring.pts.front(), &l = ring.pts.back();
        if (f.x != l.x || f.y != l.y)
            ring.pts.push_back(f);
    }
    for (const Point &p : ring.pts)
        ring.box.extend(p);
    if (close)
        ring.build_slabs();
    return ring;
}

bool same(Point a, Point b) { return a.x == b.x && a.y == b.y; }

// Whether p lies on the closed segment a-b.
bool on_segment(Point a, Point b, Point p) {
    if (p.x < std::min(a.x, b.x) || p.x > std::max(a.x, b.x) || p.y < std::min(a.y, b.y) ||
        p.y > std::max(a.y, b.y))
        return false;
    return orientation(a, b, p) == 0;
}

} // namespace

// Crossing number along a ray to the right of p. An upward edge includes its
// start and excludes its end, a downward edge the reverse, so shared vertices
// are counted once; horizontal edges only matter for touching.
Location locate_in_ring(const Ring &ring, Point p) {
    if (ring.pts.size() < 2 || !ring.box.covers(p.x, p.y))
        return Location::exterior;
    int crossings = 0;
    std::size_t k = ring.slab_of(p.y);
    for (std::uint32_t i = ring.slab_start[k], end = ring.slab_start[k + 1]; i < end; ++i) {
        Point p1 = ring.slab_edges[i].a, p2 = ring.slab_edges[i].b;
        if (p1.x < p.x && p2.x < p.x)
            continue;
        if (same(p, p2))
            return Location::boundary;
        if (p1.y == p.y && p2.y == p.y) {
            if (p.x >= std::min(p1.x, p2.x) && p.x <= std::max(p1.x, p2.x))
                return Location::boundary;
            continue;
        }
        if ((p1.y > p.y && p2.y <= p.y) || (p2.y > p.y && p1.y <= p.y)) {
            int orient = orientation(p1, p2, p);
            if (orient == 0)
                return Location::boundary;
            if (p2.y < p1.y)
                orient = -orient;
            if (orient > 0)
                ++crossings;
        }
    }
    return (crossings & 1) ? Location::interior : Location::exterior;
}

Location locate_in_polygon(const Polygon &polygon, Point p) {
    Location shell = locate_in_ring(polygon.shell, p);
    if (shell != Location::interior)
        return shell;
    for (const Ring &hole : polygon.holes) {
        Location in_hole = locate_in_ring(hole, p);
        if (in_hole == Location::boundary)
            return Location::boundary;
        if (in_hole == Location::interior)
            return Location::exterior;
    }
    return Location::interior;
}

// ------------------------------------------------------------ regions

void Region::add_polygon(const std::vector<std::vector<Point>> &rings) {
    if (rings.empty() || rings.front().empty())
        return;
    Polygon polygon{make_ring(rings.front(), true), {}};
    for (std::size_t i = 1; i < rings.size(); ++i)
        if (!rings[i].empty())
            polygon.holes.push_back(make_ring(rings[i], true));
    box_.extend({polygon.shell.box.minx, polygon.shell.box.miny});
    box_.extend({polygon.shell.box.maxx, polygon.shell.box.maxy});
    for (const std::vector<Point> &ring : rings)
        note_finite(ring);
    polygons_.push_back(std::move(polygon));
}

void Region::add_line(std::vector<Point> pts) {
    if (pts.empty())
        return;
    note_finite(pts);
    Ring line = make_ring(std::move(pts), false);
    box_.extend({line.box.minx, line.box.miny});
    box_.extend({line.box.maxx, line.box.maxy});
    lines_.push_back(std::move(line));
}

void Region::note_finite(const std::vector<Point> &pts) {
    for (const Point &p : pts)
        finite_ = finite_ && std::isfinite(p.x) && std::isfinite(p.y);
}

void Region::add_point(Point p) {
    note_finite({p});
    points_.push_back(p);
    box_.extend(p);
}

// Areal parts decide first; lines and points only where no area touches the point.
bool Region::contains_within_box(Point p) const {
    if (!finite_ && !engine_rules)
        throw Undecided();
    Location loc = locate_on_polygons(p);
    if (loc != Location::exterior)
        return loc == Location::interior;
    loc = locate_on_lines(p);
    if (loc != Location::exterior)
        return loc == Location::interior;
    return std::any_of(points_.begin(), points_.end(), [&](Point q) { return same(p, q); });
}

Location Region::locate_on_polygons(Point p) const {
    bool boundary = false;
    for (const Polygon &polygon : polygons_) {
        Location loc = locate_in_polygon(polygon, p);
        if (loc == Location::interior)
            return loc;
        boundary |= loc == Location::boundary;
    }
    return boundary ? Location::boundary : Location::exterior;
}

// Mod-2 rule: an endpoint shared by an even number of line ends is interior.
bool Region::is_line_boundary(Point p) const {
    int ends = 0;
    for (const Ring &line : lines_)
        ends += same(line.pts.front(), p) + same(line.pts.back(), p);
    return ends & 1;
}

Location Region::locate_on_lines(Point p) const {
    if (lines_.empty())
        return Location::exterior;
    if (is_line_boundary(p))
        return Location::boundary;
    for (const Ring &line : lines_) {
        if (!line.box.covers(p.x, p.y))
            continue;
        if (line.pts.size() == 1 && same(line.pts[0], p))
            return Location::interior;
        for (std::size_t i = 1; i < line.pts.size(); ++i)
            if (on_segment(line.pts[i - 1], line.pts[i], p))
                return Location::interior;
    }
    return Location::exterior;
}

} // namespace quillo::geometry
