/// Point location by walking through a mesh's triangles, and barycentric weights.
///
/// Plain C++ over raw arrays; no Python. Points are taken in Hilbert-curve order and each
/// is found by walking from the triangle of the one before (the remembering stochastic walk
/// of Devillers, Pion and Teillaud, which needs no Delaunay property); points the walk cannot
/// reach (beyond the boundary, across holes and notches, or after too many steps) are looked
/// up in a bucket grid of the triangles, or all together afterwards by whatever the caller
/// chooses (a plane sweep, sweep.hpp). Orientation tests are exact, so a point on an edge or
/// a vertex is placed the same way whichever way it is reached.
#pragma once

#include "locator/kernels/mesh.hpp"
#include "locator/kernels/point_order.hpp"
#include "locator/kernels/predicates.hpp"
#include "locator/kernels/triangle_grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvid::locator {

namespace detail {

/// Orientation k of p against triangle (c[0], c[1], c[2]): orient2d with p in place of
/// corner k, whose sign says on which side of the edge opposite corner k p lies.
inline Orientation edge_test(const double* const c[3], const double* p, int k) {
    const double* q[3] = {c[0], c[1], c[2]};
    q[k] = p;
    return orient2d_fast(q[0], q[1], q[2]);
}

/// The exact orientation behind edge_test.
inline double edge_test_exact(const double* const c[3], const double* p, int k) {
    const double* q[3] = {c[0], c[1], c[2]};
    q[k] = p;
    return orient2d_exact(q[0], q[1], q[2]);
}

/// Weights from the three edge tests of a point in the closed triangle of doubled area d:
/// each test's floating-point value is kept only when its error bound allows (or it is
/// already exact), so the result does not depend on which tests were done beforehand.
inline void weights_from(const double* const c[3], const double* p, double d,
                         const Orientation o[3], const bool exact[3], double* w) {
    const double max_error = kWeightTolerance * std::fabs(d);
    int zeros = 0;
    for (int k = 0; k < 3; ++k) {
        double v = o[k].value;
        if (!exact[k] && !(o[k].sign_is_certain() && o[k].error <= max_error))
            v = edge_test_exact(c, p, k);
        // "+ 0.0" turns the -0.0 of a zero over a negative area into 0.0.
        w[k] = v / d + 0.0;
        zeros += v == 0.0;
    }
    // On two edges: p is the third corner, whose weight is then exactly one.
    if (zeros == 2)
        for (int k = 0; k < 3; ++k) w[k] = w[k] == 0.0 ? 0.0 : 1.0;
}

}  // namespace detail

/// Barycentric weights of p in triangle t, in the order of t's corners (a, b, c):
/// orient(p, b, c) / D, orient(a, p, c) / D, orient(a, b, p) / D with D = area2[t]. Each is
/// within about 1e-14 of its true value on any triangle, however thin. A point at a corner
/// gets exactly 1.0 there and 0.0 elsewhere; a point on an edge exactly 0.0 for the corner
/// across. Only meaningful for a point in the closed triangle. Cost: three orientations.
template <class I>
void weights_in(const Mesh<I>& mesh, std::size_t t, const double* p, double* w) {
    const double* c[3] = {mesh.corner(t, 0), mesh.corner(t, 1), mesh.corner(t, 2)};
    Orientation o[3];
    bool exact[3] = {false, false, false};
    for (int k = 0; k < 3; ++k) o[k] = detail::edge_test(c, p, k);
    detail::weights_from(c, p, mesh.area2[t], o, exact, w);
}

/// What a walk needs of a triangle, in one cache line: its corners' coordinates, its
/// neighbours and which way it turns.
template <class I>
struct alignas(64) WalkTriangle {
    double corner[3][2];
    I neighbor[3];
    std::int8_t turn;  ///< the sign of its doubled area: 1, -1, or 0 when flat
};

/// What Walker::locate and Walker::find return for a point the walk cannot reach when there
/// is no bucket grid to look it up in: the caller looks it up later.
inline constexpr std::int64_t kDeferred = -2;

/// Locates points one after another, each walk starting where the last one ended.
template <class I>
class Walker {
public:
    /// mesh - complete, with neighbours and areas; grid - triangle_grid of the same mesh, or
    /// null to defer the points the walk cannot reach (kDeferred); bounds - the box of the
    /// mesh's vertices (the grid's, when there is one). Both must outlive the walker.
    Walker(const Mesh<I>& mesh, const BucketGrid* grid, const Box& bounds)
        : mesh_(mesh), grid_(grid), bounds_(bounds),
          max_steps_(64 + 4 * static_cast<std::size_t>(
                                  std::sqrt(static_cast<double>(mesh.n_triangles)))),
          // Without a grid to find the first point's triangle, the first walk starts anywhere.
          last_(grid || mesh.n_triangles == 0 ? -1 : 0) {}

    /// The triangle that holds p = (x, y) and p's weights in it (weights_in), or -1 and zero
    /// weights when no triangle does. On an edge between two triangles, the one of lower
    /// index; at a vertex, the lowest-index triangle of the fan around it that holds the
    /// walk's answer (all of them, in a mesh whose vertices each have one fan).
    std::int64_t locate(const double* point, double* w) {
        // Read once: the caller's memory may change while it is read.
        const double p[2] = {point[0], point[1]};
        w[0] = w[1] = w[2] = 0.0;
        if (!inside_bounds(p)) return -1;  // also NaN
        std::int64_t t = last_ >= 0 ? walk<true>(p, w) : -1;
        if (t < 0) {
            t = search(p);
            if (t < 0) return t;
            weights_in(mesh_, static_cast<std::size_t>(t), p, w);
        }
        t = settle(static_cast<std::size_t>(t), p, w);
        last_ = t;
        return t;
    }

    /// As `locate` for a point found by other means in triangle t (which holds it): its
    /// weights, and the triangle `locate` would have named.
    std::int64_t finish(std::size_t t, const double* point, double* w) const {
        const double p[2] = {point[0], point[1]};
        weights_in(mesh_, t, p, w);
        return settle(t, p, w);
    }

    /// A triangle that holds p, or -1: as `locate`, without the weights and without moving
    /// a point on an edge or a vertex to the lowest-index triangle (any one that holds it).
    std::int64_t find(const double* point) {
        const double p[2] = {point[0], point[1]};
        if (!inside_bounds(p)) return -1;  // also NaN
        std::int64_t t = -1;
        if (last_ >= 0) {
            if (!packed_.empty()) {
                t = quick_walk(p);
                if (t >= 0) return t;
            }
            t = walk<false>(p, nullptr);
        }
        if (t < 0) t = search(p);
        if (t >= 0) last_ = t;
        return t;
    }

    /// The triangle named by `find` for a point found by other means in triangle t.
    static std::int64_t finish(std::size_t t) { return static_cast<std::int64_t>(t); }

    /// Copies the triangles into one cache line each (64 bytes a triangle), on which `find`
    /// then walks first. Worth its cost, a pass over the mesh, when there are many more points
    /// to find than triangles.
    void pack() {
        packed_.resize(mesh_.n_triangles);
        for (std::size_t t = 0; t < mesh_.n_triangles; ++t) {
            WalkTriangle<I>& r = packed_[t];
            for (int k = 0; k < 3; ++k) {
                r.corner[k][0] = mesh_.corner(t, k)[0];
                r.corner[k][1] = mesh_.corner(t, k)[1];
                r.neighbor[k] = mesh_.neighbors[3 * t + k];
            }
            r.turn = static_cast<std::int8_t>((mesh_.area2[t] > 0.0) - (mesh_.area2[t] < 0.0));
        }
    }

private:
    bool inside_bounds(const double* p) const {
        return mesh_.n_triangles > 0 && p[0] >= bounds_.xlo && p[0] <= bounds_.xhi &&
               p[1] >= bounds_.ylo && p[1] <= bounds_.yhi;
    }

    std::uint32_t random() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

    /// Walks from the last triangle towards p as long as every orientation's sign is certain
    /// in floating point, testing all three edges of a triangle at once: the triangle that
    /// holds p, or -1 where this walk stops (at a sign it cannot be sure of, the boundary, a
    /// flat triangle or the step bound), kept in last_ for the careful walk to go on from.
    std::int64_t quick_walk(const double* p) {
        std::int64_t t = last_;
        for (std::size_t step = 0; step < max_steps_; ++step) {
            const WalkTriangle<I>& r = packed_[static_cast<std::size_t>(t)];
            const double *a = r.corner[0], *b = r.corner[1], *c = r.corner[2];
            const Orientation o[3] = {orient2d_fast(p, b, c), orient2d_fast(a, p, c),
                                      orient2d_fast(a, b, p)};
            const double s = r.turn;
            unsigned out = 0, unsure = r.turn == 0;
            for (int k = 0; k < 3; ++k) {
                out |= unsigned(s * o[k].value < 0.0) << k;
                unsure |= unsigned(!(std::fabs(o[k].value) >= o[k].error));
            }
            if (unsure) break;
            if (out == 0) {
                last_ = t;
                return t;
            }
            // Of two edges that both separate p, either at random, as in the careful walk.
            const int k = (out & (out - 1)) == 0 || (random() & 1) ? std::countr_zero(out)
                                                                     : 31 - std::countl_zero(out);
            const std::int64_t next = r.neighbor[k];
            if (next < 0) break;
            t = next;
        }
        last_ = t;
        return -1;
    }

    /// Walks from the last triangle towards p: the triangle that holds p, with p's weights
    /// in w when kWeights, or -1 when the walk meets the boundary, a flat triangle or its step
    /// bound (the triangle reached is kept as the start of the next walk).
    template <bool kWeights>
    std::int64_t walk(const double* p, double* w) {
        std::int64_t t = last_, came = -1;
        for (std::size_t step = 0; step < max_steps_; ++step) {
            const double d = mesh_.area2[t];
            if (d == 0.0) break;
            const double* c[3] = {mesh_.corner(t, 0), mesh_.corner(t, 1), mesh_.corner(t, 2)};
            Orientation o[3];
            bool exact[3] = {false, false, false};
            int exits[3], n_exits = 0, skipped = -1;
            for (int k = 0; k < 3; ++k) {
                // The edge just crossed has p on this side.
                if (came >= 0 && mesh_.neighbors[3 * t + k] == came) {
                    skipped = k;
                    continue;
                }
                o[k] = detail::edge_test(c, p, k);
                if (!o[k].sign_is_certain()) {
                    o[k].value = detail::edge_test_exact(c, p, k);
                    exact[k] = true;
                }
                if (d > 0.0 ? o[k].value < 0.0 : o[k].value > 0.0) exits[n_exits++] = k;
            }
            if (n_exits == 0) {
                if constexpr (kWeights) {
                    if (skipped >= 0) o[skipped] = detail::edge_test(c, p, skipped);
                    detail::weights_from(c, p, d, o, exact, w);
                }
                last_ = t;
                count_steps(step + 1);
                return t;
            }
            // Of two edges that both separate p, either at random: a walk that always took
            // the same one could circle forever in a mesh that is not Delaunay.
            const int k = exits[n_exits == 1 ? 0 : random() % n_exits];
            const std::int64_t next = mesh_.neighbors[3 * t + k];
            if (next < 0) break;
            came = t;
            t = next;
        }
        last_ = t;
        count_steps(max_steps_);
        return -1;
    }

    /// Keeps count of the steps walked. Where walks are long (long thin triangles across
    /// the points' path) and the points can be deferred to a look-up that costs the same
    /// whatever the shapes, walks are cut short after a few thousand points.
    void count_steps(std::size_t steps) {
        if (grid_ || walks_ > kJudgeAfter) return;
        steps_ += steps;
        if (++walks_ == kJudgeAfter && steps_ > kLongWalk * kJudgeAfter) max_steps_ = kShortWalk;
    }

    /// A triangle that holds p, from the bucket grid; -1 when none does; kDeferred without a
    /// grid.
    std::int64_t search(const double* p) {
        if (!grid_) return kDeferred;
        std::int64_t found = -1;
        grid_->for_each_near(p[0], p[1], 0.0, [&](std::uint32_t t) {
            if (found < 0 && holds(mesh_, t, p)) found = t;
        });
        return found;
    }

    /// Moves p (with weights w in t, which holds it) to the lower-index triangle across an
    /// edge p lies on, or to the lowest of the fan around a vertex p is at: the answer does
    /// not depend on how p was reached.
    std::int64_t settle(std::size_t t, const double* p, double* w) const {
        const int zeros = (w[0] == 0.0) + (w[1] == 0.0) + (w[2] == 0.0);
        if (zeros == 1) {
            const int k = w[0] == 0.0 ? 0 : (w[1] == 0.0 ? 1 : 2);
            const std::int64_t across = mesh_.neighbors[3 * t + k];
            if (across >= 0 && static_cast<std::size_t>(across) < t) {
                t = static_cast<std::size_t>(across);
                weights_in(mesh_, t, p, w);
            }
        } else if (zeros == 2) {
            const int k = w[0] == 1.0 ? 0 : (w[1] == 1.0 ? 1 : 2);
            const I v = mesh_.triangles[3 * t + k];
            t = lowest_around(t, v);
            for (int j = 0; j < 3; ++j) w[j] = mesh_.triangles[3 * t + j] == v ? 1.0 : 0.0;
        }
        return static_cast<std::int64_t>(t);
    }

    /// The lowest-index triangle reached from `start` by crossing edges at vertex v.
    std::size_t lowest_around(std::size_t start, I v) const {
        std::size_t best = start;
        for (int direction = 0; direction < 2; ++direction) {
            std::int64_t current = static_cast<std::int64_t>(start), previous = -1;
            for (std::size_t step = 0; step < mesh_.n_triangles; ++step) {
                const I* c = mesh_.triangles + 3 * current;
                const int j = c[0] == v ? 0 : (c[1] == v ? 1 : (c[2] == v ? 2 : -1));
                if (j < 0) break;
                // The two edges at v lie opposite the two other corners.
                const int e1 = (j + 1) % 3, e2 = (j + 2) % 3;
                int e = direction == 0 ? e1 : e2;
                if (previous >= 0) e = mesh_.neighbors[3 * current + e1] == previous ? e2 : e1;
                const std::int64_t next = mesh_.neighbors[3 * current + e];
                if (next < 0) break;
                if (next == static_cast<std::int64_t>(start)) return best;  // the whole fan
                best = std::min(best, static_cast<std::size_t>(next));
                previous = current;
                current = next;
            }
        }
        return best;
    }

    static constexpr std::size_t kJudgeAfter = 4096, kLongWalk = 48, kShortWalk = 12;

    const Mesh<I>& mesh_;
    const BucketGrid* grid_;
    Box bounds_;
    std::size_t max_steps_;
    std::size_t walks_ = 0, steps_ = 0;  ///< for count_steps
    std::vector<WalkTriangle<I>> packed_;  ///< filled by `pack`
    std::int64_t last_;
    std::uint32_t state_ = 0x9E3779B9u;
};

/// The order in which locate_points visits the points.
enum class Visit {
    hilbert,  ///< along a Hilbert curve: for points in any order
    given,    ///< as given: for points already close to the one before, such as the rows of
              ///< a lattice; no sorting and no scattered writes
};

/// Locates points in the mesh and hands each one's triangle and weights to `store`.
///
///   mesh, grid                  - as for Walker (grid null: look-ups are deferred)
///   bounds                      - the box of the mesh's vertices
///   const double xy[k * stride] - point i at (xy[i * stride], xy[i * stride + 1]), stride >= 2
///   store(i, triangle, weights) - called once for every point i, in no particular order, with
///                                 the triangle holding it (as Walker::locate; -1 when none
///                                 does, also for a point that is not finite) and its three
///                                 weights (weights_in; zeros when outside). A store(i,
///                                 triangle) without weights gets Walker::find's triangle.
///   resolve(points, found)      - for the points the walk could not reach without a grid
///                                 (const std::vector<uint32_t>& indices): fills
///                                 std::vector<int64_t>& found with a triangle holding each
///                                 one, -1 where none does
///   visit                       - the order in which points are walked to
/// Throws std::length_error for 2^32 points or more. Cost: O(k + n_triangles) for the
/// Hilbert sort plus, per point, the triangles walked through (a few when consecutive points
/// are close) and a bucket-grid look-up for a point that the walk cannot reach, or else that
/// of `resolve`; 8 bytes of scratch memory per point for the Hilbert sort (16 on a grid finer
/// than 2^8 cells a side), and without weights, for 16 points a triangle or more, 64 bytes per
/// triangle for the walk.
template <class I, class Store, class Resolve>
void locate_points(const Mesh<I>& mesh, const BucketGrid* grid, const Box& bounds,
                   const double* xy, std::size_t stride, std::size_t k, Store&& store,
                   Resolve&& resolve, Visit visit = Visit::hilbert) {
    Walker<I> walker(mesh, grid, bounds);
    constexpr bool kWeights = !std::is_invocable_v<Store, std::size_t, std::int64_t>;
    if (k > UINT32_MAX) throw std::length_error("too many points to locate at once");
    std::vector<std::uint32_t> deferred;
    // Packing pays for itself when each triangle holds many points; visiting each packed
    // triangle only a few times costs more than it saves.
    if (!kWeights && k >= 16 * mesh.n_triangles) walker.pack();
    if (visit == Visit::given) {
        double w[3];
        for (std::size_t i = 0; i < k; ++i) {
            std::int64_t t;
            if constexpr (kWeights) t = walker.locate(xy + i * stride, w);
            else t = walker.find(xy + i * stride);
            if (t == kDeferred) {
                deferred.push_back(static_cast<std::uint32_t>(i));
                continue;
            }
            if constexpr (kWeights) store(i, t, w);
            else store(i, t);
        }
    } else {
        // Scratch that every step writes before reading: left uninitialised.
        std::unique_ptr<std::uint32_t[]> order(new std::uint32_t[k]);
        hilbert_sort(xy, stride, k, bounds.xlo, bounds.ylo, bounds.xhi, bounds.yhi,
                     order_bits_for(k, mesh.n_triangles), order.get());
        // Results are stored a block at a time: writes all over the caller's arrays cost far
        // less in a loop of their own than amid the walk's reads.
        constexpr std::size_t kBlock = 4096, kAhead = 64;
        std::int64_t block_triangle[kBlock];
        double block_weights[3 * kBlock];
        for (std::size_t first = 0; first < k; first += kBlock) {
            const std::size_t count = std::min(kBlock, k - first);
            for (std::size_t i = 0; i < count; ++i) {
                if (first + i + kAhead < k) __builtin_prefetch(xy + order[first + i + kAhead] * stride);
                const double* p = xy + order[first + i] * stride;
                if constexpr (kWeights) block_triangle[i] = walker.locate(p, block_weights + 3 * i);
                else block_triangle[i] = walker.find(p);
            }
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint32_t at = order[first + i];
                if (block_triangle[i] == kDeferred) deferred.push_back(at);
                else if constexpr (kWeights) store(std::size_t{at}, block_triangle[i], block_weights + 3 * i);
                else store(std::size_t{at}, block_triangle[i]);
            }
        }
    }
    if (deferred.empty()) return;
    std::vector<std::int64_t> found(deferred.size(), -1);
    resolve(static_cast<const std::vector<std::uint32_t>&>(deferred), found);
    for (std::size_t j = 0; j < deferred.size(); ++j) {
        const std::size_t i = deferred[j];
        const std::int64_t t = found[j];
        if constexpr (kWeights) {
            double w[3] = {0.0, 0.0, 0.0};
            store(i, t >= 0 ? walker.finish(static_cast<std::size_t>(t), xy + i * stride, w) : -1, w);
        } else {
            store(i, t);
        }
    }
}

/// locate_points with a bucket grid for the points the walk cannot reach.
template <class I, class Store>
void locate_points(const Mesh<I>& mesh, const BucketGrid& grid, const double* xy,
                   std::size_t stride, std::size_t k, Store&& store,
                   Visit visit = Visit::hilbert) {
    locate_points(mesh, &grid, grid.bounds(), xy, stride, k, std::forward<Store>(store),
                  [](const std::vector<std::uint32_t>&, std::vector<std::int64_t>&) {}, visit);
}

/// locate_points into arrays.
///
///   int64_t triangle[k] - output: the triangle holding point i, -1 when none does
///   double weights[3 k] - output: point i's weights in triangle[i], zeros when outside
template <class I>
void locate_points(const Mesh<I>& mesh, const BucketGrid& grid, const double* xy,
                   std::size_t stride, std::size_t k, std::int64_t* triangle, double* weights,
                   Visit visit = Visit::hilbert) {
    locate_points(
        mesh, grid, xy, stride, k,
        [&](std::size_t i, std::int64_t t, const double* w) {
            triangle[i] = t;
            for (int c = 0; c < 3; ++c) weights[3 * i + c] = w[c];
        },
        visit);
}

}  // namespace corvid::locator
