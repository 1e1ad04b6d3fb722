/// A plane sweep over a mesh's edges: whether any two triangles overlap, and which triangle
/// holds each of many points, on meshes of any shape.
///
/// Plain C++ over raw arrays; no Python. A line sweeps the plane from left to right (points
/// in lexicographic order of (x, y), as if the line were turned a hair clockwise, so that
/// vertical edges need no special case) and keeps the edges it crosses in order from bottom
/// to top in a balanced tree. Each edge is labelled with the triangle above it and the one
/// below it (-1: none); in a mesh whose triangles do not overlap, the gap between two edges
/// next to each other on the line lies in at most one triangle, which both of them name. The
/// sweep checks that for every pair of edges that become neighbours, and that neighbours do
/// not cross (Shamos and Hoey, 1976: the first crossing is always between neighbours), so it
/// finds any overlap; a point is located by looking up the gap or the edges it lies on when
/// the line reaches it. Orientation tests are exact (predicates.hpp); the cost does not
/// depend on the triangles' shapes.
#pragma once

#include "locator/kernels/mesh.hpp"
#include "locator/kernels/predicates.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <set>
#include <vector>

namespace corvid::locator {

/// An edge as the sweep sees it: its left and right end (lexicographically) and the triangles
/// on either side of it.
struct SweepEdge {
    const double* l;
    const double* r;
    std::int32_t below, above;  ///< the triangle on that side with this edge, or -1
};

namespace detail {

inline bool lex_less(const double* a, const double* b) {
    return a[0] < b[0] || (a[0] == b[0] && a[1] < b[1]);
}
inline bool same_point(const double* a, const double* b) { return a[0] == b[0] && a[1] == b[1]; }

/// 1 when p lies above edge s (to the left of it, from its left end to its right end), -1
/// below, 0 on its line.
inline int side(const SweepEdge& s, const double* p) {
    const double o = orient2d(s.l, s.r, p);
    return (o > 0.0) - (o < 0.0);
}

}  // namespace detail

/// The edges of the first m triangles of a mesh, each once, labelled with the triangles on
/// either side among those m. With `boundary_only`, only the edges of one triangle among
/// them (the boundary of their union, holes included): enough to tell whether they overlap.
///
///   mesh - complete, with neighbours and areas; none flat, no folds
/// Cost: O(m); 24 bytes per edge.
template <class I>
std::vector<SweepEdge> sweep_edges(const Mesh<I>& mesh, std::size_t m, bool boundary_only) {
    std::vector<SweepEdge> edges;
    edges.reserve(boundary_only ? m : 2 * m);
    for (std::size_t t = 0; t < m; ++t)
        for (int k = 0; k < 3; ++k) {
            std::int64_t other = mesh.neighbors[3 * t + k];
            if (other >= static_cast<std::int64_t>(m)) other = -1;
            if (other >= 0 && (boundary_only || other < static_cast<std::int64_t>(t))) continue;
            const double *u = mesh.corner(t, (k + 1) % 3), *v = mesh.corner(t, (k + 2) % 3);
            if (detail::lex_less(v, u)) std::swap(u, v);
            // The triangle lies on the side of its edge where its third corner is.
            const bool above = orient2d(u, v, mesh.corner(t, k)) > 0.0;
            const auto self = static_cast<std::int32_t>(t), across = static_cast<std::int32_t>(other);
            edges.push_back({u, v, above ? across : self, above ? self : across});
        }
    return edges;
}

/// What a point meets when the sweep reaches it.
struct SweepHit {
    std::int64_t on_edge = -1;  ///< the lowest triangle with an edge through the point
    std::int64_t inside = -1;   ///< with no edge through it: the triangle around it, if any
};

/// Two triangles found overlapping, or none (first = -1). Either may be -1 when the overlap
/// was seen between a triangle and the outside of another: then `first` is the other's.
struct SweepOverlap {
    std::int64_t first = -1, second = -1;
};

/// Sweeps over `edges`, checking that the triangles they bound do not overlap, and reports
/// where each query point lies.
///
///   edges                      - from sweep_edges
///   by_triangle                - neighbours must name the same triangle (all edges of the
///                                triangles given); else only agree whether the gap between
///                                them is covered at all (enough for boundary edges)
///   const double xy[k * stride] - query point i at (xy[i * stride], xy[i * stride + 1]);
///                                all finite
///   hit(i, SweepHit)           - called once for each query point, in sweep order, until
///                                an overlap is found
/// Returns the first overlap found (the sweep stops there). Cost: O((e + k) log(e + k)) for
/// e edges, whatever their shapes, plus the edges through each vertex and query point;
/// about 24 + 64 bytes per edge and 4 per query point.
template <class Hit>
SweepOverlap sweep(const std::vector<SweepEdge>& edges, bool by_triangle, const double* xy,
                   std::size_t stride, std::size_t k, Hit&& hit) {
    using detail::lex_less;
    using detail::same_point;
    using detail::side;
    const SweepEdge* e = edges.data();
    struct Point {
        const double* p;
    };
    /// Bottom-to-top order of the edges the line crosses, and of points among them.
    struct Below {
        const SweepEdge* e;
        using is_transparent = void;
        bool operator()(std::uint32_t a, Point p) const { return side(e[a], p.p) > 0; }
        bool operator()(Point p, std::uint32_t a) const { return side(e[a], p.p) < 0; }
        bool operator()(std::uint32_t a, std::uint32_t b) const {
            if (a == b) return false;
            const SweepEdge &x = e[a], &y = e[b];
            // Where the later-starting edge begins against the other decides, or else which
            // way it leaves it: the same all along, for edges that do not cross.
            int above;  // 1 when y lies above x
            if (same_point(x.l, y.l)) {
                above = -side(y, x.r);
            } else if (lex_less(y.l, x.l)) {
                above = side(y, x.l);
                if (above == 0) above = side(y, x.r);
                above = -above;
            } else {
                above = side(x, y.l);
                if (above == 0) above = side(x, y.r);
            }
            if (above != 0) return above > 0;
            // Overlapping on one line: those with a triangle below only, then both, then
            // above only, so that nothing lies between two of them.
            const int rx = (x.above >= 0) - (x.below >= 0), ry = (y.above >= 0) - (y.below >= 0);
            return rx != ry ? rx < ry : a < b;
        }
    };
    auto side_of = [&](std::uint32_t i, const double* p) { return side(e[i], p); };
    using Status = std::set<std::uint32_t, Below>;
    Status status(Below{e});
    std::vector<typename Status::iterator> handle(edges.size());

    std::vector<std::uint32_t> starts(edges.size()), ends(edges.size()), queries(k);
    std::iota(starts.begin(), starts.end(), 0u);
    std::iota(ends.begin(), ends.end(), 0u);
    std::iota(queries.begin(), queries.end(), 0u);
    std::sort(starts.begin(), starts.end(),
              [&](std::uint32_t a, std::uint32_t b) { return lex_less(e[a].l, e[b].l); });
    std::sort(ends.begin(), ends.end(),
              [&](std::uint32_t a, std::uint32_t b) { return lex_less(e[a].r, e[b].r); });
    std::sort(queries.begin(), queries.end(), [&](std::uint32_t a, std::uint32_t b) {
        return lex_less(xy + a * stride, xy + b * stride);
    });

    SweepOverlap found;
    auto agree = [&](std::int32_t below_gap, std::int32_t above_gap) {
        return by_triangle ? below_gap == above_gap : (below_gap >= 0) == (above_gap >= 0);
    };
    auto crossing = [&](std::uint32_t a, std::uint32_t b) {
        const int s1 = side_of(a, e[b].l), s2 = side_of(a, e[b].r);
        if (s1 == 0 || s2 == 0 || s1 == s2) return false;
        const int s3 = side_of(b, e[a].l), s4 = side_of(b, e[a].r);
        return s3 != 0 && s4 != 0 && s3 != s4;
    };
    // A triangle of edge i: the one on the given side, or else the other.
    auto triangle_of = [&](std::uint32_t i, bool upper) {
        const std::int32_t t = upper ? e[i].above : e[i].below;
        return t >= 0 ? t : (upper ? e[i].below : e[i].above);
    };
    auto report = [&](std::int32_t x, std::int32_t y) {
        found = {std::max(x, y), std::min(x, y)};
    };
    // Checks every pair of neighbours around point p, where edges came or went.
    auto check_at = [&](const double* p) {
        const auto first = status.lower_bound(Point{p});
        auto last = first;
        while (last != status.end() && side_of(*last, p) == 0) ++last;
        auto a = first == status.begin() ? first : std::prev(first);
        if (a == status.end()) return;
        if (a == status.begin() && !agree(-1, e[*a].below)) return report(e[*a].below, -1);
        for (;;) {
            const auto b = std::next(a);
            if (b == status.end()) {
                if (!agree(e[*a].above, -1)) report(e[*a].above, -1);
                return;
            }
            if (!agree(e[*a].above, e[*b].below) || crossing(*a, *b))
                return report(triangle_of(*a, true), triangle_of(*b, false));
            if (b == last) return;
            a = b;
        }
    };
    // The lowest triangle with an edge through p, and the gap p lies in when none passes.
    auto look = [&](const double* p, SweepHit& h) {
        auto it = status.lower_bound(Point{p});
        h.inside = it == status.begin() ? -1 : e[*std::prev(it)].above;
        for (; it != status.end() && side_of(*it, p) == 0; ++it) {
            h.inside = -1;
            for (std::int32_t t : {e[*it].below, e[*it].above})
                if (t >= 0 && (h.on_edge < 0 || t < h.on_edge)) h.on_edge = t;
        }
    };

    std::size_t si = 0, ei = 0, qi = 0;
    while (si < starts.size() || ei < ends.size() || qi < k) {
        // The next position the line stops at.
        const double* next = nullptr;
        for (const double* c : {si < starts.size() ? e[starts[si]].l : nullptr,
                                ei < ends.size() ? e[ends[ei]].r : nullptr,
                                qi < k ? xy + queries[qi] * stride : nullptr})
            if (c && (!next || lex_less(c, next))) next = c;
        const double p[2] = {next[0], next[1]};
        std::size_t q_end = qi;
        while (q_end < k && same_point(xy + queries[q_end] * stride, p)) ++q_end;
        // Points at a vertex are looked up both before and after its edges come and go: each
        // of the triangles there has an edge through it at one of the two times.
        SweepHit h;
        if (q_end > qi) look(p, h);
        bool changed = false;
        for (; ei < ends.size() && same_point(e[ends[ei]].r, p); ++ei, changed = true)
            status.erase(handle[ends[ei]]);
        for (; si < starts.size() && same_point(e[starts[si]].l, p); ++si, changed = true)
            handle[starts[si]] = status.insert(starts[si]).first;
        if (changed) {
            check_at(p);
            if (found.first >= 0) return found;
        }
        if (q_end > qi) {
            if (changed) {
                SweepHit after;
                look(p, after);
                if (after.on_edge >= 0 && (h.on_edge < 0 || after.on_edge < h.on_edge))
                    h.on_edge = after.on_edge;
                if (after.inside < 0) h.inside = -1;
            }
            if (h.on_edge >= 0) h.inside = -1;
            for (; qi < q_end; ++qi) hit(std::size_t{queries[qi]}, h);
        }
    }
    return found;
}

}  // namespace corvid::locator
