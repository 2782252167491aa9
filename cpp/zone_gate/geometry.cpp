#include "zone_gate/geometry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillo::geometry {

namespace {

// ------------------------------------------------------------ exact orientation
//
// Fast path: Shewchuk's floating-point filter, trusted only while every
// difference is either zero or far from underflow and overflow. Otherwise the
// determinant is evaluated exactly as a floating-point expansion in long
// double, whose wider exponent range keeps every partial product of doubles
// free of underflow and overflow.

using ld = long double;
static_assert(std::numeric_limits<ld>::digits >= 64 && std::numeric_limits<ld>::max_exponent >= 16384,
              "exact orientation needs an extended long double");

constexpr double kEps = std::numeric_limits<double>::epsilon() / 2;  // 2^-53
constexpr double kErrBound = (3.0 + 16.0 * kEps) * kEps;
// Differences in [2^-480, 2^480] give products that are normal doubles, where the filter's bound holds.
const double kTiny = std::ldexp(1.0, -480);
const double kHuge = std::ldexp(1.0, 480);

constexpr int kSplitShift = (std::numeric_limits<ld>::digits + 1) / 2;
const ld kSplitter = std::ldexp(ld(1), kSplitShift) + 1;

inline void two_sum(ld a, ld b, ld &x, ld &y) {
    x = a + b;
    ld bv = x - a;
    ld av = x - bv;
    y = (a - av) + (b - bv);
}

inline void split(ld a, ld &hi, ld &lo) {
    ld c = kSplitter * a;
    ld big = c - a;
    hi = c - big;
    lo = a - hi;
}

inline void two_product(ld a, ld b, ld &x, ld &y) {
    x = a * b;
    ld ahi, alo, bhi, blo;
    split(a, ahi, alo);
    split(b, bhi, blo);
    ld err1 = x - ahi * bhi;
    ld err2 = err1 - alo * bhi;
    ld err3 = err2 - ahi * blo;
    y = alo * blo - err3;
}

// Adds `b` to the nonoverlapping expansion e[0..n) (increasing magnitude), in place.
inline int grow_expansion(ld *e, int n, ld b) {
    ld q = b;
    int m = 0;
    for (int i = 0; i < n; ++i) {
        ld sum, err;
        two_sum(q, e[i], sum, err);
        q = sum;
        if (err != 0)
            e[m++] = err;
    }
    if (q != 0 || m == 0)
        e[m++] = q;
    return m;
}

int exact_orientation(Point a, Point b, Point c) {
    // det = (a.x - c.x) * (b.y - c.y) - (a.y - c.y) * (b.x - c.x), each difference kept as hi + lo.
    ld d[4][2];
    const double lhs[4] = {a.x, b.y, a.y, b.x};
    const double rhs[4] = {c.x, c.y, c.y, c.x};
    for (int i = 0; i < 4; ++i)
        two_sum(ld(lhs[i]), -ld(rhs[i]), d[i][0], d[i][1]);

    ld e[17];
    int n = 0;
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) {
            ld x, y;
            two_product(d[0][i], d[1][j], x, y);
            n = grow_expansion(e, n, y);
            n = grow_expansion(e, n, x);
            two_product(d[2][i], d[3][j], x, y);
            n = grow_expansion(e, n, -y);
            n = grow_expansion(e, n, -x);
        }
    }
    ld top = e[n - 1];
    return top > 0 ? 1 : top < 0 ? -1 : 0;
}

inline bool filter_safe(double d) {
    double m = std::fabs(d);
    return d == 0 || (m >= kTiny && m <= kHuge);
}

} // namespace

int orientation(Point a, Point b, Point c) {
    double acx = a.x - c.x, bcy = b.y - c.y, acy = a.y - c.y, bcx = b.x - c.x;
    if (filter_safe(acx) && filter_safe(bcy) && filter_safe(acy) && filter_safe(bcx)) {
        double detleft = acx * bcy;
        double detright = acy * bcx;
        double det = detleft - detright;
        double detsum;
        if (detleft > 0) {
            if (detright <= 0)
                return det > 0 ? 1 : det < 0 ? -1 : 0;
            detsum = detleft + detright;
        } else if (detleft < 0) {
            if (detright >= 0)
                return det > 0 ? 1 : det < 0 ? -1 : 0;
            detsum = -detleft - detright;
        } else {
            return det > 0 ? 1 : det < 0 ? -1 : 0;
        }
        double bound = kErrBound * detsum;
        if (det >= bound && det != 0)
            return 1;
        if (-det >= bound && det != 0)
            return -1;
    }
    if (!(std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(b.x) && std::isfinite(b.y) &&
          std::isfinite(c.x) && std::isfinite(c.y)))
        return 0;  // callers never pass these: points outside a finite bounding box are rejected first
    return exact_orientation(a, b, c);
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
    for (std::size_t i = 0; i < edges; ++i) {
        std::size_t lo = slab_of(std::min(pts[i].y, pts[i + 1].y)), hi = slab_of(std::max(pts[i].y, pts[i + 1].y));
        for (std::size_t k = lo; k <= hi; ++k)
            ++slab_start[k + 1];
    }
    for (std::size_t k = 0; k < count; ++k)
        slab_start[k + 1] += slab_start[k];
    slab_edges.resize(slab_start[count]);
    std::vector<std::uint32_t> fill(slab_start.begin(), slab_start.end() - 1);
    for (std::size_t i = 0; i < edges; ++i) {
        std::size_t lo = slab_of(std::min(pts[i].y, pts[i + 1].y)), hi = slab_of(std::max(pts[i].y, pts[i + 1].y));
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
            // An edge wholly to the right crosses the ray; its orientation is certain.
            if (p1.x > p.x && p2.x > p.x) {
                ++crossings;
                continue;
            }
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
    polygons_.push_back(std::move(polygon));
}

void Region::add_line(std::vector<Point> pts) {
    if (pts.empty())
        return;
    Ring line = make_ring(std::move(pts), false);
    box_.extend({line.box.minx, line.box.miny});
    box_.extend({line.box.maxx, line.box.maxy});
    lines_.push_back(std::move(line));
}

void Region::add_point(Point p) {
    points_.push_back(p);
    box_.extend(p);
}

// Areal parts decide first; lines and points only where no area touches the point.
bool Region::contains(Point p) const {
    if (!box_.covers(p.x, p.y))
        return false;
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
