/// Points in Hilbert-curve order over a grid as fine as the mesh they are located in.
///
/// Plain C++; no Python. The curve is the one of space_filling_curve.hpp; the grid
/// is sized by the mesh rather than by the points: a walk from one point to the next needs
/// them no closer than about a triangle apart, and a coarser grid keeps the counting sort's
/// table in the cache.
#pragma once

#include "locator/kernels/space_filling_curve.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace corvid::locator {

/// Grid resolution for `n_points` points in a mesh of `n_triangles` triangles: at least about
/// four cells per triangle, no finer than the points need, at most 2^10 cells a side. (Finer
/// than one cell per triangle, consecutive points share a triangle more often: for 10^6
/// points on 2 10^4 triangles the walking saved outweighs the second sorting pass.)
inline unsigned order_bits_for(std::size_t n_points, std::size_t n_triangles) {
    unsigned bits = 1;
    while (bits < hilbert_bits_for(n_points) &&
           (std::size_t{1} << (2 * bits)) < 4 * n_triangles)
        ++bits;
    return bits;
}

/// The order of the points along a Hilbert curve over the box (xlo, ylo) - (xhi, yhi) cut
/// into 2^bits x 2^bits cells; points beyond the box, or not finite, go to its border cells.
///
///   const double xy[k * stride] - point i at (xy[i * stride], xy[i * stride + 1])
///   uint32_t order[k]           - output: order[r] is the index of the r-th point visited
/// Points in one cell keep their input order. Throws std::length_error for 2^32 points or
/// more. Cost: O(k + 4^bits) for up to 2^8 cells a side, one counting sort; beyond, a
/// counting sort on each half of the curve position in turn, O(k + 4^bits) with tables of
/// 2^bits entries, which stay in the cache however fine the grid. Scratch: 4 bytes per cell
/// and per point, or beyond 2^8 cells a side 12 bytes per point.
inline void hilbert_sort(const double* xy, std::size_t stride, std::size_t k, double xlo,
                         double ylo, double xhi, double yhi, unsigned bits,
                         std::uint32_t* order) {
    if (k > UINT32_MAX) throw std::length_error("too many points to order");
    const std::uint32_t cells = std::uint32_t{1} << bits;
    const double xs = xhi > xlo ? cells / (xhi - xlo) : 0.0;
    const double ys = yhi > ylo ? cells / (yhi - ylo) : 0.0;
    // Written before read: left uninitialised.
    std::unique_ptr<std::uint32_t[]> key(new std::uint32_t[k]);
    auto position = [&](std::size_t i) {
        return hilbert_index(grid_cell(xy[i * stride], xlo, xs, cells),
                             grid_cell(xy[i * stride + 1], ylo, ys, cells), bits);
    };
    if (bits <= 8) {
        std::vector<std::uint32_t> start(std::size_t{cells} * cells + 1, 0);
        for (std::size_t i = 0; i < k; ++i) ++start[(key[i] = position(i)) + 1];
        for (std::size_t c = 1; c < start.size(); ++c) start[c] += start[c - 1];
        for (std::size_t i = 0; i < k; ++i) order[start[key[i]]++] = static_cast<std::uint32_t>(i);
        return;
    }
    // The high half of the curve position first, into 2^bits runs; then each run by the low
    // half, within a stretch of the output small enough for the cache. Both passes keep
    // the input order among equals.
    const std::uint32_t low_mask = cells - 1;
    std::vector<std::uint32_t> run_start(std::size_t{cells} + 1, 0);
    for (std::size_t i = 0; i < k; ++i) ++run_start[((key[i] = position(i)) >> bits) + 1];
    for (std::size_t c = 1; c <= cells; ++c) run_start[c] += run_start[c - 1];
    struct Keyed {
        std::uint32_t key, index;
    };
    std::unique_ptr<Keyed[]> by_high(new Keyed[k]);
    {
        std::vector<std::uint32_t> at(run_start.begin(), run_start.end() - 1);
        for (std::size_t i = 0; i < k; ++i)
            by_high[at[key[i] >> bits]++] = {key[i], static_cast<std::uint32_t>(i)};
    }
    std::vector<std::uint32_t> low_start(std::size_t{cells} + 1);
    for (std::size_t run = 0; run < cells; ++run) {
        const std::uint32_t first = run_start[run], last = run_start[run + 1];
        std::fill(low_start.begin(), low_start.end(), 0);
        for (std::uint32_t r = first; r < last; ++r) ++low_start[(by_high[r].key & low_mask) + 1];
        for (std::size_t c = 1; c <= cells; ++c) low_start[c] += low_start[c - 1];
        for (std::uint32_t r = first; r < last; ++r)
            order[first + low_start[by_high[r].key & low_mask]++] = by_high[r].index;
    }
}

/// True when points are already in an order a walk can follow: on average each lies within
/// about two triangles' width of the one before (the rows of a lattice, a traced path), so
/// sorting them along a curve would cost more than it saves. Judged from at most 4096 steps
/// spread evenly over the sequence: it only decides how fast the points are located.
///
///   const double xy[k * stride] - point i at (xy[i * stride], xy[i * stride + 1])
///   width, height               - the extent of the mesh; n_triangles its triangles
/// Cost: O(1), at most 4096 steps.
inline bool follows_itself(const double* xy, std::size_t stride, std::size_t k, double width,
                           double height, std::size_t n_triangles) {
    if (k < 2 || n_triangles == 0) return true;
    const double triangle_width = std::sqrt(width * height / static_cast<double>(n_triangles));
    const std::size_t steps = std::min<std::size_t>(k - 1, 4096);
    double path = 0.0;
    for (std::size_t s = 0; s < steps; ++s) {
        const std::size_t i = 1 + s * (k - 1) / steps;
        path += std::fabs(xy[i * stride] - xy[(i - 1) * stride]) +
                std::fabs(xy[i * stride + 1] - xy[(i - 1) * stride + 1]);
    }
    // Non-finite steps make the path NaN or infinite: not an order to follow.
    return path <= 2.0 * triangle_width * static_cast<double>(steps);
}

}  // namespace corvid::locator
