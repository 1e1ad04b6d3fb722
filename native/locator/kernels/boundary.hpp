/// The nearest point on a mesh's boundary, for points outside the mesh.
///
/// Plain C++ over raw arrays; no Python. The boundary edges are held in a tree of boxes, each
/// turned to follow its edges (so that long thin holes side by side at any angle get thin
/// boxes); a query descends it nearest box first and leaves out the subtrees that cannot hold
/// a nearer point. Distances are compared in floating point with an error bound, and exactly
/// (exact.hpp) when two candidates lie within that bound of each other: far from the mesh,
/// where squared distances tie after rounding, the nearest point is still the true one.
#pragma once

#include "locator/kernels/exact.hpp"
#include "locator/kernels/mesh.hpp"
#include "locator/kernels/predicates.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace corvid::locator {

/// The boundary edges of a mesh (edges of one triangle only: the outer boundary and the
/// boundaries of holes), for nearest-point queries.
template <class I>
class Boundary {
public:
    /// mesh - with neighbours; it must outlive this. `shift`: the mesh's coordinates are the
    /// caller's times 2^shift (exact), as are the framed query points given to `nearest`.
    /// Cost: O(n_triangles), plus O(b log b) for the tree over the b boundary edges;
    /// about 72 bytes per boundary edge.
    explicit Boundary(const Mesh<I>& mesh, int shift = 0) : mesh_(mesh), shift_(shift) {
        for (std::size_t s = 0; s < 3 * mesh.n_triangles; ++s) {
            if (mesh.neighbors[s] >= 0) continue;
            const double *a = end(s, 1), *b = end(s, 2);
            segments_.push_back({{a[0], a[1]}, {b[0], b[1]}, s});
            extent_ = std::max({extent_, std::fabs(a[0]), std::fabs(a[1]), std::fabs(b[0]), std::fabs(b[1])});
        }
        if (segments_.empty()) return;
        nodes_.reserve(2 * segments_.size() / kLeaf + 2);
        build(0, segments_.size());
        diameter_ = 2.0 * std::hypot(nodes_[0].half[0], nodes_[0].half[1]);
    }

    /// The boundary point nearest to a point outside the mesh: its triangle, and its weights
    /// in the order of that triangle's corners. On an edge two weights are non-zero, at a
    /// vertex one is exactly 1.0. Of equally near points, the one on the edge of lowest
    /// triangle, then corner, index. Returns -1 and zero weights for a mesh without
    /// triangles.
    ///
    ///   framed  - the point times 2^shift, in floating point (may be infinite when that
    ///             overflows)
    ///   point   - the point itself, finite
    /// Cost: O(log b) for most points and meshes; more where many boundary edges of different
    /// directions pass close to the point.
    std::int64_t nearest(const double* framed, const double* point, double* w) const {
        w[0] = w[1] = w[2] = 0.0;
        if (segments_.empty()) return -1;
        Query q;
        q.exact = ExactPoint::of(point, shift_);
        q.p[0] = framed[0];
        q.p[1] = framed[1];
        // Squared distances must stay within the double range for the floating-point filter.
        const double far = std::min(0x1p400 * std::max(extent_, std::numeric_limits<double>::min()), 0x1p500);
        q.far = !(std::fabs(q.p[0]) <= far && std::fabs(q.p[1]) <= far);
        if (q.far) {
            // Pruning needs the direction from the mesh to the point: in a frame scaled down
            // by 2^-down, from the point's own coordinates, which are finite.
            const int top = std::max(point[0] == 0.0 ? -1100 : std::ilogb(point[0]),
                                     point[1] == 0.0 ? -1100 : std::ilogb(point[1]));
            q.down = std::max(0, top + shift_ - 500);
            q.scaled[0] = std::ldexp(point[0], shift_ - q.down);
            q.scaled[1] = std::ldexp(point[1], shift_ - q.down);
            const double norm = std::hypot(q.scaled[0], q.scaled[1]);
            q.u[0] = q.scaled[0] / norm;
            q.u[1] = q.scaled[1] / norm;
        }
        search(q);
        const Candidate& best = q.best;
        const std::size_t t = best.slot / 3;
        const int k = static_cast<int>(best.slot % 3);
        double along = best.kind == 1 ? 0.0 : (best.kind == 2 ? 1.0 : exact_along(q, best.slot));
        if (best.kind == 0) along = std::clamp(along, 0.0, 1.0);
        w[(k + 1) % 3] = 1.0 - along;
        w[(k + 2) % 3] = along;
        if (along == 1.0) w[(k + 1) % 3] = 0.0;
        return static_cast<std::int64_t>(t);
    }

private:
    static constexpr std::size_t kLeaf = 4;
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    static constexpr double kEps = 0x1p-53;
    /// Slack of the pruning test far out, relative to the boundary's size: it only costs
    /// visits.
    static constexpr double kSlack = 0x1p-80;

    /// A boundary edge: its ends (1 and 2) and its slot 3t + k, the edge opposite corner k of
    /// triangle t.
    struct Segment {
        double a[2], b[2];
        std::size_t slot;
    };

    /// A box around some edges: centre c, axes u and v = (-u[1], u[0]), half-sides `half`.
    struct Node {
        double c[2], u[2], half[2];
        std::uint32_t first;    ///< leaf: segments_[first, first + count); else the left child
        std::uint32_t count;    ///< 0 for an inner node, whose right child is `right`
        std::uint32_t right;

        /// x - c in the box's axes.
        void local(const double* x, double& a, double& b) const {
            const double dx = x[0] - c[0], dy = x[1] - c[1];
            a = dx * u[0] + dy * u[1];
            b = dy * u[0] - dx * u[1];
        }
        /// Squared distance from x to the box.
        double distance2(const double* x) const {
            double a, b;
            local(x, a, b);
            const double da = std::max(std::fabs(a) - half[0], 0.0);
            const double db = std::max(std::fabs(b) - half[1], 0.0);
            return da * da + db * db;
        }
        /// The largest w.(x - o) over the box.
        double reach(const double* w, const double* o) const {
            const double wa = w[0] * u[0] + w[1] * u[1], wb = w[1] * u[0] - w[0] * u[1];
            return w[0] * (c[0] - o[0]) + w[1] * (c[1] - o[1]) + std::fabs(wa) * half[0] +
                   std::fabs(wb) * half[1];
        }
    };

    /// A boundary edge's point nearest to the query: at end 1 (kind 1), end 2 (kind 2) or
    /// inside (kind 0), with its squared distance within [lo, hi] and the point itself (q),
    /// both in floating point.
    struct Candidate {
        std::size_t slot = kNone;
        int kind = 0;
        double lo = 0.0, hi = std::numeric_limits<double>::infinity();
        double q[2] = {0.0, 0.0};
    };

    /// A node waiting in `search`, with its distance key.
    struct Open {
        double key;
        std::uint32_t node;
        bool operator<(const Open& o) const { return key > o.key; }  // a min-heap
    };

    struct Query {
        double p[2];
        ExactPoint exact;
        bool far = false;  ///< so far out that the filter would overflow: all exact
        int down = 0;      ///< far: `scaled` is the point in the mesh's frame times 2^-down
        double scaled[2] = {0.0, 0.0};
        double u[2] = {0.0, 0.0};  ///< far: the direction of `scaled`
        Candidate best;
    };

    /// End j (1 or 2) of the edge in `slot` = 3t + k: corner k + j of triangle t.
    const double* end(std::size_t slot, int j) const {
        return mesh_.corner(slot / 3, static_cast<int>((slot % 3 + j) % 3));
    }

    /// The boxes around the edges segments_[first, last) with axis (1, 0) (straight) and
    /// axis t (turned), grown by a bound on the rounding of the projections so that they hold
    /// them; and the spread of the edges' midpoints along each box's two axes.
    void fit(std::size_t first, std::size_t last, const double* t, Node* box,
             double spread[2][2]) const {
        constexpr double inf = std::numeric_limits<double>::infinity();
        double lo[2][2] = {{inf, inf}, {inf, inf}}, hi[2][2] = {{-inf, -inf}, {-inf, -inf}};
        double mlo[2][2] = {{inf, inf}, {inf, inf}}, mhi[2][2] = {{-inf, -inf}, {-inf, -inf}};
        const double axis[2][2] = {{1.0, 0.0}, {t[0], t[1]}};
        for (std::size_t i = first; i < last; ++i) {
            const Segment& g = segments_[i];
            for (int f = 0; f < 2; ++f) {
                const double ux = axis[f][0], uy = axis[f][1];
                const double a0 = g.a[0] * ux + g.a[1] * uy, a1 = g.a[1] * ux - g.a[0] * uy;
                const double b0 = g.b[0] * ux + g.b[1] * uy, b1 = g.b[1] * ux - g.b[0] * uy;
                lo[f][0] = std::min({lo[f][0], a0, b0});
                hi[f][0] = std::max({hi[f][0], a0, b0});
                lo[f][1] = std::min({lo[f][1], a1, b1});
                hi[f][1] = std::max({hi[f][1], a1, b1});
                mlo[f][0] = std::min(mlo[f][0], a0 + b0);
                mhi[f][0] = std::max(mhi[f][0], a0 + b0);
                mlo[f][1] = std::min(mlo[f][1], a1 + b1);
                mhi[f][1] = std::max(mhi[f][1], a1 + b1);
            }
        }
        const double grow = 64.0 * kEps * extent_ + std::numeric_limits<double>::min();
        for (int f = 0; f < 2; ++f) {
            Node& n = box[f];
            const double ux = axis[f][0], uy = axis[f][1];
            n.u[0] = ux;
            n.u[1] = uy;
            const double ca = 0.5 * (lo[f][0] + hi[f][0]), cb = 0.5 * (lo[f][1] + hi[f][1]);
            n.c[0] = ca * ux - cb * uy;
            n.c[1] = ca * uy + cb * ux;
            n.half[0] = 0.5 * (hi[f][0] - lo[f][0]) + grow;
            n.half[1] = 0.5 * (hi[f][1] - lo[f][1]) + grow;
            spread[f][0] = mhi[f][0] - mlo[f][0];
            spread[f][1] = mhi[f][1] - mlo[f][1];
        }
    }

    std::uint32_t build(std::size_t first, std::size_t last) {
        const auto index = static_cast<std::uint32_t>(nodes_.size());
        nodes_.push_back({});
        // The box along the edges' mean direction (their directions doubled as angles, so
        // that opposite ones agree), or along the axes when that is smaller.
        double sx = 0.0, sy = 0.0;
        for (std::size_t i = first; i < last; ++i) {
            const Segment& g = segments_[i];
            const double dx = g.b[0] - g.a[0], dy = g.b[1] - g.a[1];
            sx += dx * dx - dy * dy;
            sy += 2.0 * dx * dy;
        }
        const double angle = 0.5 * std::atan2(sy, sx);
        const double turn[2] = {std::cos(angle), std::sin(angle)};
        Node box[2];
        double spread[2][2];
        fit(first, last, turn, box, spread);
        const int f = box[1].half[0] * box[1].half[1] < box[0].half[0] * box[0].half[1] ? 1 : 0;
        nodes_[index] = box[f];
        if (last - first <= kLeaf) {
            nodes_[index].first = static_cast<std::uint32_t>(first);
            nodes_[index].count = static_cast<std::uint32_t>(last - first);
            return index;
        }
        // Split at the median of the edges' midpoints along whichever of the box's own axes
        // spreads them more: side by side edges at an angle then part by where they lie.
        const double u[2] = {box[f].u[0], box[f].u[1]}, v[2] = {-box[f].u[1], box[f].u[0]};
        const double* axis = spread[f][0] >= spread[f][1] ? u : v;
        auto along = [&](const Segment& g) {
            return (g.a[0] + g.b[0]) * axis[0] + (g.a[1] + g.b[1]) * axis[1];
        };
        const std::size_t half = first + (last - first) / 2;
        std::nth_element(segments_.begin() + static_cast<std::ptrdiff_t>(first),
                         segments_.begin() + static_cast<std::ptrdiff_t>(half),
                         segments_.begin() + static_cast<std::ptrdiff_t>(last),
                         [&](const Segment& x, const Segment& y) { return along(x) < along(y); });
        const std::uint32_t left = build(first, half);
        const std::uint32_t right = build(half, last);
        nodes_[index].first = left;
        nodes_[index].count = 0;
        nodes_[index].right = right;
        return index;
    }

    /// Which child to visit first: the one whose box is nearer (by direction, far out).
    double order_key(const Query& q, const Node& n) const {
        static constexpr double origin[2] = {0.0, 0.0};
        return q.far ? -n.reach(q.u, origin) : n.distance2(q.p);
    }

    /// True when no point of the node's box can be as near to the query as the best so far:
    /// |p - x|^2 - |p - q*|^2 = |x - q*|^2 - 2 (p - q*).(x - q*), bounded below over the box.
    bool beyond(const Query& q, const Node& n) const {
        if (q.best.slot == kNone) return false;
        const double* b = q.best.q;
        if (q.far) {
            // Only the linear term of the bound, which is the larger by far; w = p - q* in
            // the scaled frame, as a direction.
            double w[2] = {q.scaled[0] - std::ldexp(b[0], -q.down), q.scaled[1] - std::ldexp(b[1], -q.down)};
            const double norm = std::hypot(w[0], w[1]);
            w[0] /= norm;
            w[1] /= norm;
            // The direction is off by about 2^-400 at most (the point is that far out).
            return n.reach(w, b) < -(kSlack * diameter_ + 64.0 * kEps * extent_);
        }
        // Rounding: coordinates differ from their computed differences by a few ulps of the
        // largest, and q* may lie that far off its edge, closer to p.
        const double w[2] = {q.p[0] - b[0], q.p[1] - b[1]};
        const double norm = std::hypot(w[0], w[1]);
        const double d2 = n.distance2(b);
        const double bound = d2 - 2.0 * n.reach(w, b);
        return bound > 64.0 * kEps * extent_ * (norm + std::sqrt(d2)) + 0x1p-1000;
    }

    /// Visits the nodes nearest box first (a heap on the boxes' distances), leaving out those
    /// that cannot hold a point as near as the best found so far.
    void search(Query& q) const {
        std::vector<Open>& heap = heap_;
        heap.clear();
        heap.push_back({0.0, 0});
        while (!heap.empty()) {
            std::pop_heap(heap.begin(), heap.end());
            const Node& n = nodes_[heap.back().node];
            heap.pop_back();
            if (beyond(q, n)) continue;
            if (n.count > 0) {
                for (std::uint32_t i = n.first; i < n.first + n.count; ++i) consider(q, segments_[i]);
                continue;
            }
            for (std::uint32_t child : {n.first, n.right}) {
                heap.push_back({order_key(q, nodes_[child]), child});
                std::push_heap(heap.begin(), heap.end());
            }
        }
    }

    /// Sign of (p - a).(b - a).
    int projection_side(const Query& q, const double* a, const double* b) const {
        if (!q.far) {
            const double dx = q.p[0] - a[0], dy = q.p[1] - a[1];
            const double ex = b[0] - a[0], ey = b[1] - a[1];
            const double x = dx * ex, y = dy * ey;
            const double dot = x + y;
            if (std::fabs(dot) > 8.0 * kEps * (std::fabs(x) + std::fabs(y)) + 0x1p-1020)
                return dot > 0.0 ? 1 : -1;
        }
        const ExactPoint ea = ExactPoint::of(a), eb = ExactPoint::of(b);
        const ExactFrame f(std::min({q.exact.low(), ea.low(), eb.low()}));
        const BigInt dot = (f.x(q.exact) - f.x(ea)) * (f.x(eb) - f.x(ea)) +
                           (f.y(q.exact) - f.y(ea)) * (f.y(eb) - f.y(ea));
        return dot.sign();
    }

    void consider(Query& q, const Segment& g) const {
        Candidate c;
        c.slot = g.slot;
        const double *a = g.a, *b = g.b;
        if (projection_side(q, a, b) <= 0) c.kind = 1;
        else if (projection_side(q, b, a) <= 0) c.kind = 2;
        else c.kind = 0;
        if (c.kind != 0) {
            const double* e = c.kind == 1 ? a : b;
            c.q[0] = e[0];
            c.q[1] = e[1];
            if (!q.far) {
                const double dx = q.p[0] - e[0], dy = q.p[1] - e[1];
                const double d2 = dx * dx + dy * dy;
                c.lo = d2 * (1.0 - 8.0 * kEps);
                c.hi = d2 * (1.0 + 8.0 * kEps) + 0x1p-1020;
            }
        } else {
            const double ex = b[0] - a[0], ey = b[1] - a[1];
            const double e2 = ex * ex + ey * ey;
            double along = 0.5;
            if (!q.far) {
                // The distance is |orientation| / length; divided before squaring, which
                // could overflow.
                const Orientation o = orient2d_fast(a, b, q.p);
                const double length = std::sqrt(e2);
                const double near = std::max(std::fabs(o.value) - o.error, 0.0) / length;
                const double far = (std::fabs(o.value) + o.error) / length;
                c.lo = near * near * (1.0 - 16.0 * kEps);
                c.hi = far * far * (1.0 + 16.0 * kEps) + 0x1p-1020;
                along = std::clamp(((q.p[0] - a[0]) * ex + (q.p[1] - a[1]) * ey) / e2, 0.0, 1.0);
            }
            c.q[0] = a[0] + along * ex;
            c.q[1] = a[1] + along * ey;
        }
        if (q.best.slot == kNone || nearer(q, c, q.best)) q.best = c;
    }

    /// True when c is nearer than `best`, or as near and on an edge of lower slot.
    bool nearer(const Query& q, const Candidate& c, const Candidate& best) const {
        if (c.hi < best.lo) return true;
        if (best.hi < c.lo) return false;
        const int s = compare_exactly(q, c, best);
        return s != 0 ? s < 0 : c.slot < best.slot;
    }

    /// Squared distance from the query to candidate c, as num / den, exactly.
    void exact_distance(const Query& q, const Candidate& c, const ExactFrame& f, BigInt& num,
                        BigInt& den) const {
        const ExactPoint a = ExactPoint::of(end(c.slot, 1)), b = ExactPoint::of(end(c.slot, 2));
        const BigInt px = f.x(q.exact), py = f.y(q.exact);
        if (c.kind != 0) {
            const ExactPoint& e = c.kind == 1 ? a : b;
            const BigInt dx = px - f.x(e), dy = py - f.y(e);
            num = dx * dx + dy * dy;
            den = BigInt::shifted(1, 0);
            return;
        }
        const BigInt ax = f.x(a), ay = f.y(a);
        const BigInt ex = f.x(b) - ax, ey = f.y(b) - ay;
        const BigInt cross = ex * (py - ay) - ey * (px - ax);
        num = cross * cross;
        den = ex * ex + ey * ey;
    }

    /// Sign of |p - c| - |p - d|, exactly.
    int compare_exactly(const Query& q, const Candidate& c, const Candidate& d) const {
        int low = q.exact.low();
        for (const Candidate* x : {&c, &d})
            for (int j = 1; j <= 2; ++j) low = std::min(low, ExactPoint::of(end(x->slot, j)).low());
        const ExactFrame f(low);
        BigInt cn, cd, dn, dd;
        exact_distance(q, c, f, cn, cd);
        exact_distance(q, d, f, dn, dd);
        return compare(cn * dd, dn * cd);
    }

    /// How far along its edge the point nearest the query lies, 0 at end 1 and 1 at end 2:
    /// (p - a).(b - a) / |b - a|^2, from the exact numerator.
    double exact_along(const Query& q, std::size_t slot) const {
        const ExactPoint a = ExactPoint::of(end(slot, 1)), b = ExactPoint::of(end(slot, 2));
        const ExactFrame f(std::min({q.exact.low(), a.low(), b.low()}));
        const BigInt ex = f.x(b) - f.x(a), ey = f.y(b) - f.y(a);
        const BigInt dot = (f.x(q.exact) - f.x(a)) * ex + (f.y(q.exact) - f.y(a)) * ey;
        const BigInt e2 = ex * ex + ey * ey;
        // Both in units of 2^(2 unit); scaled alike so that neither leaves the double range.
        const int scale = e2.bits();
        return dot.to_double(-scale) / e2.to_double(-scale);
    }

    const Mesh<I>& mesh_;
    int shift_;
    std::vector<Segment> segments_;
    std::vector<Node> nodes_;
    double extent_ = 0.0;    ///< the largest coordinate magnitude on the boundary
    /// Scratch for `search`, kept between queries (a Boundary serves one thread).
    mutable std::vector<Open> heap_;
    double diameter_ = 0.0;  ///< of the boundary's bounding box
};

}  // namespace corvid::locator
