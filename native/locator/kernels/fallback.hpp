/// Where the points a walk cannot reach are looked up: in a bucket grid of the triangles when
/// its cells hold few of them, else all together in one plane sweep.
///
/// Plain C++ over raw arrays; no Python. A bucket grid answers in a few tests a point on most
/// meshes, but long thin triangles at an angle to the axes, or many thin ones around a vertex,
/// crowd its cells with thousands; the sweep costs O((n + k) log(n + k)) whatever the shapes.
#pragma once

#include "locator/kernels/bucket_grid.hpp"
#include "locator/kernels/mesh.hpp"
#include "locator/kernels/sweep.hpp"
#include "locator/kernels/triangle_grid.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvid::locator {

/// Looks up points in a mesh, choosing for each batch between its bucket grid (made on first
/// use) and a sweep by their expected costs.
template <class I>
class Lookup {
public:
    /// mesh - complete and checked (no overlaps); it must outlive this.
    explicit Lookup(const Mesh<I>& mesh) : mesh_(mesh) {}

    /// A triangle that holds each of the points, -1 where none does.
    ///
    ///   const double xy[* stride] - the points' coordinates, finite
    ///   index                     - the points to look up: point i at xy + index[i] * stride
    ///   found                     - output, index.size() entries
    /// Cost: the grid O(n) once; then per point the boxes in its cell, or for the batch
    /// O((n + k) log(n + k)) when that is less. Memory: the grid, about 70 bytes per
    /// triangle (kept); a sweep over all edges, about 200 bytes per triangle and 40 per point
    /// (while it runs).
    void operator()(const double* xy, std::size_t stride, const std::vector<std::uint32_t>& index,
                    std::vector<std::int64_t>& found) {
        const BucketGrid& g = grid();
        const double n = static_cast<double>(mesh_.n_triangles), k = static_cast<double>(index.size());
        // A sweep step costs about as much as a few dozen box tests.
        if (crowding_ > 64.0 && k * crowding_ > 32.0 * (n + k)) {
            std::vector<double> at(2 * index.size());
            for (std::size_t j = 0; j < index.size(); ++j) {
                at[2 * j] = xy[index[j] * stride];
                at[2 * j + 1] = xy[index[j] * stride + 1];
            }
            const SweepOverlap o = sweep(sweep_edges(mesh_, mesh_.n_triangles, false), true, at.data(), 2,
                                         index.size(), [&](std::size_t j, const SweepHit& h) {
                                             found[j] = h.on_edge >= 0 ? h.on_edge : h.inside;
                                         });
            // The mesh was checked; the grid answers all the same should the sweep stop.
            if (o.first < 0) return;
        }
        for (std::size_t j = 0; j < index.size(); ++j) {
            const double* p = xy + index[j] * stride;
            std::int64_t t = -1;
            g.for_each_near(p[0], p[1], 0.0, [&](std::uint32_t c) {
                if ((t < 0 || c < t) && holds(mesh_, c, p)) t = c;
            });
            found[j] = t;
        }
    }

    /// The bucket grid, made now if not yet.
    const BucketGrid& grid() {
        if (!grid_) {
            grid_.emplace(triangle_grid(mesh_.xy, mesh_.triangles, mesh_.n_triangles));
            crowding_ = grid_->crowding();
        }
        return *grid_;
    }

private:
    const Mesh<I>& mesh_;
    std::optional<BucketGrid> grid_;
    double crowding_ = 0.0;
};

}  // namespace corvid::locator
