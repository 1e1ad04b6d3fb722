/// A plane sweep over a mesh's edges: whether any two triangles overlap, and which triangle
/// holds each of many points, on meshes of any shape.
///
/// Plain C++ over raw arrays; no Python. A line sweeps the plane from left to right (points
/// in lexicographic order of (x, y), as if the line were turned a hair counter-clockwise, so that
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
#include <memory_resource>
#include <set>
#include <vector>

namespace corvid::locator {

/// An edge as the sweep sees it: its left and right end (lexicographically) and the triangles
/// on either side of it. The ends are copied: comparisons then read one cache line.
struct SweepEdge {
    double l[2], r[2];
    std::int32_t below, above;  ///< the triangle on that side with this edge, or -1
    std::uint32_t lv, rv;       ///< the vertices at l and r
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
///   leave_out - null, or m flags: the triangles whose edges to leave out (each alone, with
///               no neighbour)
/// Cost: O(m); 48 bytes per edge.
template <class I>
std::vector<SweepEdge> sweep_edges(const Mesh<I>& mesh, std::size_t m, bool boundary_only,
                                   const char* leave_out = nullptr) {
    auto wanted = [&](std::size_t t, int k) {
        if (leave_out && leave_out[t]) return false;
        std::int64_t other = mesh.neighbors[3 * t + k];
        if (other >= static_cast<std::int64_t>(m)) other = -1;
        return other < 0 || (!boundary_only && other < static_cast<std::int64_t>(t));
    };
    std::size_t count = 0;
    for (std::size_t t = 0; t < m; ++t)
        for (int k = 0; k < 3; ++k) count += wanted(t, k);
    std::vector<SweepEdge> edges;
    edges.reserve(count);
    for (std::size_t t = 0; t < m; ++t)
        for (int k = 0; k < 3; ++k) {
            if (!wanted(t, k)) continue;
            std::int64_t other = mesh.neighbors[3 * t + k];
            if (other >= static_cast<std::int64_t>(m)) other = -1;
            auto uv = static_cast<std::uint32_t>(mesh.triangles[3 * t + (k + 1) % 3]);
            auto vv = static_cast<std::uint32_t>(mesh.triangles[3 * t + (k + 2) % 3]);
            const double *u = mesh.corner(t, (k + 1) % 3), *v = mesh.corner(t, (k + 2) % 3);
            if (detail::lex_less(v, u)) {
                std::swap(u, v);
                std::swap(uv, vv);
            }
            // The triangle lies on the side of its edge where its third corner is.
            const bool above = orient2d(u, v, mesh.corner(t, k)) > 0.0;
            const auto self = static_cast<std::int32_t>(t), across = static_cast<std::int32_t>(other);
            edges.push_back({{u[0], u[1]}, {v[0], v[1]}, above ? across : self, above ? self : across, uv, vv});
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
/// about 48 (the edge, given) + 40 (its share of the stops and lists) + 48 (a tree node,
/// while the line crosses it) bytes per edge, and 28 per query point.
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

    // Where the line stops, sorted once by value: the edges' vertices, and the queries. Each
    // vertex lists the edges that start and end there.
    struct Stop {
        double x, y;
        std::uint32_t what;  ///< below n_stops: vertex `what` (in order of first mention); else a query
    };
    std::uint32_t top = 0;
    for (const SweepEdge& s : edges) top = std::max({top, s.lv + 1, s.rv + 1});
    constexpr std::uint32_t kUnseen = UINT32_MAX;
    std::vector<std::uint32_t> compact(top, kUnseen);
    std::vector<Stop> stops;
    stops.reserve(edges.size() + k);
    auto mention = [&](std::uint32_t v, const double* at) {
        if (compact[v] == kUnseen) {
            compact[v] = static_cast<std::uint32_t>(stops.size());
            stops.push_back({at[0], at[1], compact[v]});
        }
        return compact[v];
    };
    for (const SweepEdge& s : edges) {
        mention(s.lv, s.l);
        mention(s.rv, s.r);
    }
    const auto n_vertices = static_cast<std::uint32_t>(stops.size());
    // Counting sort of the edges by the vertex they start at, and by the one they end at.
    std::vector<std::uint32_t> start_at(n_vertices + 1, 0), end_at(n_vertices + 1, 0);
    for (const SweepEdge& s : edges) {
        ++start_at[compact[s.lv] + 1];
        ++end_at[compact[s.rv] + 1];
    }
    for (std::uint32_t v = 0; v < n_vertices; ++v) {
        start_at[v + 1] += start_at[v];
        end_at[v + 1] += end_at[v];
    }
    std::vector<std::uint32_t> starts(edges.size()), ends(edges.size());
    {
        std::vector<std::uint32_t> s_at(start_at.begin(), start_at.end() - 1), e_at(end_at.begin(), end_at.end() - 1);
        for (std::uint32_t i = 0; i < edges.size(); ++i) {
            starts[s_at[compact[e[i].lv]]++] = i;
            ends[e_at[compact[e[i].rv]]++] = i;
        }
    }
    for (std::size_t i = 0; i < k; ++i)
        stops.push_back({xy[i * stride], xy[i * stride + 1], static_cast<std::uint32_t>(n_vertices + i)});
    std::sort(stops.begin(), stops.end(), [](const Stop& a, const Stop& b) {
        return a.x < b.x || (a.x == b.x && (a.y < b.y || (a.y == b.y && a.what < b.what)));
    });
    // Tree nodes come and go by the million: from a pool, not one allocation each.
    std::pmr::unsynchronized_pool_resource pool;
    using Status = std::pmr::set<std::uint32_t, Below>;
    Status status(Below{e}, &pool);
    std::vector<typename Status::iterator> handle(edges.size());

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
    auto report = [&](std::int32_t x, std::int32_t y) { found = {std::max(x, y), std::min(x, y)}; };
    // Checks every pair of neighbours from `from` (the last edge below the point where edges
    // came or went, or the first edge) up to `to` (the first above it, or none).
    auto check = [&](typename Status::iterator from, typename Status::iterator to) {
        auto a = from;
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
            if (b == to) return;
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

    std::vector<std::uint32_t> starting, queried, ended;
    std::vector<char> in_tree(edges.size(), 0);
    for (std::size_t at = 0; at < stops.size();) {
        const double p[2] = {stops[at].x, stops[at].y};
        std::size_t next = at;
        std::int64_t ending = -1;  // an edge that ends at p, if any
        ended.clear();
        starting.clear();
        queried.clear();
        for (; next < stops.size() && stops[next].x == p[0] && stops[next].y == p[1]; ++next) {
            const std::uint32_t what = stops[next].what;
            if (what >= n_vertices) {
                queried.push_back(what - n_vertices);
                continue;
            }
            if (end_at[what + 1] > end_at[what]) ending = ends[end_at[what]];
            ended.insert(ended.end(), ends.begin() + end_at[what], ends.begin() + end_at[what + 1]);
            starting.insert(starting.end(), starts.begin() + start_at[what], starts.begin() + start_at[what + 1]);
        }
        const bool ends = ending >= 0;
        // Points at a vertex are looked up both before and after its edges come and go: each
        // of the triangles there has an edge through it at one of the two times.
        SweepHit h;
        if (!queried.empty()) look(p, h);
        if (ends || !starting.empty()) {
            // The edges through p lie together; from one that ends here they are found by
            // walking, without a search from the root.
            typename Status::iterator it;
            if (ends) {
                it = handle[static_cast<std::size_t>(ending)];
                while (it != status.begin() && side_of(*std::prev(it), p) == 0) --it;
            } else {
                it = status.lower_bound(Point{p});
            }
            const bool bottom = it == status.begin();
            const auto below = bottom ? status.end() : std::prev(it);
            bool passing = false;
            while (it != status.end() && side_of(*it, p) == 0) {
                const std::uint32_t i = *it;
                ++it;
                if (same_point(e[i].r, p)) {
                    status.erase(handle[i]);
                    in_tree[i] = 0;
                } else {
                    passing = true;
                }
            }
            // Only where edges cross unseen could one that ends here lie apart from the rest.
            for (std::uint32_t i : ended)
                if (in_tree[i]) {
                    status.erase(handle[i]);
                    in_tree[i] = 0;
                }
            const auto above = it;
            // New edges in order among themselves, each put just below the first edge above
            // p: where they belong, unless an edge passes through p.
            const Below less{e};
            std::sort(starting.begin(), starting.end(), less);
            for (std::uint32_t i : starting) {
                handle[i] = passing ? status.insert(i).first : status.emplace_hint(above, i);
                in_tree[i] = 1;
            }
            check(bottom ? status.begin() : below, above);
            if (found.first >= 0) return found;
        }
        if (!queried.empty()) {
            if (ends || !starting.empty()) {
                SweepHit after;
                look(p, after);
                if (after.on_edge >= 0 && (h.on_edge < 0 || after.on_edge < h.on_edge))
                    h.on_edge = after.on_edge;
                if (after.inside < 0) h.inside = -1;
            }
            if (h.on_edge >= 0) h.inside = -1;
            for (std::uint32_t i : queried) hit(std::size_t{i}, h);
        }
        at = next;
    }
    return found;
}

}  // namespace corvid::locator
