/// The nearest point on a mesh's boundary, for points outside the mesh.
///
/// Plain C++ over raw arrays; no Python.
#pragma once

#include "locator/kernels/bucket_grid.hpp"
#include "locator/kernels/mesh.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace corvid::locator {

/// The boundary edges of a mesh (edges of one triangle only: the outer boundary and the
/// boundaries of holes) in a bucket grid, for nearest-point queries.
template <class I>
class Boundary {
public:
    /// mesh - with neighbours; it must outlive this. Cost: O(n_triangles), plus the grid
    /// over the boundary edges.
    explicit Boundary(const Mesh<I>& mesh) : mesh_(mesh) {
        std::vector<Box> boxes;
        for (std::size_t s = 0; s < 3 * mesh.n_triangles; ++s) {
            if (mesh.neighbors[s] >= 0) continue;
            slots_.push_back(s);
            const double *a = end(s, 1), *b = end(s, 2);
            boxes.push_back({std::min(a[0], b[0]), std::min(a[1], b[1]), std::max(a[0], b[0]),
                             std::max(a[1], b[1])});
        }
        grid_ = BucketGrid(boxes.data(), boxes.size());
    }

    /// The boundary point nearest to p = (x, y) (finite): its triangle, and its weights in
    /// the order of that triangle's corners. On an edge two weights are non-zero, at a
    /// vertex one is exactly 1.0. Of equally near points, the one on the edge of lowest
    /// triangle, then corner, index. Returns -1 and zero weights for a mesh without
    /// triangles. Cost: the edges in the grid cells around p out to the nearest edge found.
    std::int64_t nearest(const double* p, double* w) const {
        w[0] = w[1] = w[2] = 0.0;
        if (slots_.empty()) return -1;
        const std::int64_t cx = grid_.column(clamp_finite(p[0])), cy = grid_.row(clamp_finite(p[1]));
        const std::int64_t nx = grid_.nx(), ny = grid_.ny();
        // Cells beyond ring r of p's cell are at least r cell sides away from p.
        const double side = std::min(grid_.cell_width(), grid_.cell_height());
        Candidate best;
        auto visit = [&](std::int64_t column, std::int64_t row) {
            if (column < 0 || row < 0 || column >= nx || row >= ny) return;
            grid_.for_each_in_cell(static_cast<std::uint32_t>(column),
                                   static_cast<std::uint32_t>(row),
                                   [&](std::uint32_t i) { best = std::min(best, candidate(i, p)); });
        };
        const std::int64_t rings = std::max(nx, ny);
        for (std::int64_t r = 0; r <= rings; ++r) {
            for (std::int64_t column = cx - r; column <= cx + r; ++column) {
                visit(column, cy - r);
                if (r > 0) visit(column, cy + r);
            }
            for (std::int64_t row = cy - r + 1; row <= cy + r - 1; ++row) {
                visit(cx - r, row);
                visit(cx + r, row);
            }
            // One ring short of the bound: p's cell is computed, not exact.
            const double reach = static_cast<double>(r - 1) * side;
            if (r > 0 && best.slot != kNone && best.distance2 <= reach * reach) break;
        }
        const std::size_t t = best.slot / 3;
        const int k = static_cast<int>(best.slot % 3);
        w[(k + 1) % 3] = 1.0 - best.along;
        w[(k + 2) % 3] = best.along;
        return static_cast<std::int64_t>(t);
    }

private:
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    struct Candidate {
        double distance2 = std::numeric_limits<double>::infinity();
        std::size_t slot = kNone;
        double along = 0.0;
        bool operator<(const Candidate& o) const {
            return distance2 != o.distance2 ? distance2 < o.distance2 : slot < o.slot;
        }
    };

    static double clamp_finite(double v) {
        return std::clamp(v, -std::numeric_limits<double>::max(),
                          std::numeric_limits<double>::max());
    }

    /// End j (1 or 2) of the edge in `slot` = 3t + k: corner k + j of triangle t.
    const double* end(std::size_t slot, int j) const {
        return mesh_.corner(slot / 3, static_cast<int>((slot % 3 + j) % 3));
    }

    /// The point of boundary edge i nearest to p, as the fraction of the way along it.
    Candidate candidate(std::uint32_t i, const double* p) const {
        const std::size_t slot = slots_[i];
        const double *a = end(slot, 1), *b = end(slot, 2);
        const double ex = b[0] - a[0], ey = b[1] - a[1];
        const double length2 = ex * ex + ey * ey;
        double along = ((p[0] - a[0]) * ex + (p[1] - a[1]) * ey) / length2;
        along = along > 0.0 ? (along < 1.0 ? along : 1.0) : 0.0;  // also NaN
        double qx = a[0] + along * ex, qy = a[1] + along * ey;
        if (along == 1.0) qx = b[0], qy = b[1];
        const double dx = p[0] - qx, dy = p[1] - qy;
        return {dx * dx + dy * dy, slot, along};
    }

    const Mesh<I>& mesh_;
    std::vector<std::size_t> slots_;
    BucketGrid grid_;
};

}  // namespace corvid::locator
