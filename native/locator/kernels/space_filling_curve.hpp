/// Ordering points of the plane along a Hilbert curve, so consecutive points lie close together.
///
/// Point location that walks from the previous answer (as Delaunay's find_simplex does) costs
/// far less on points in this order than on points in random order. Plain C++; no Python.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvid::locator {

namespace detail {

/// One step of the Hilbert curve as a state machine. The state says how the current quadrant
/// is turned: bit 1 swaps x and y, bit 0 mirrors both. Index: state << 2 | x bit << 1 | y bit.
struct HilbertStep {
    std::uint8_t digit[16];
    std::uint8_t next[16];
};

constexpr HilbertStep make_hilbert_steps() {
    HilbertStep t{};
    for (unsigned state = 0; state < 4; ++state) {
        for (unsigned bx = 0; bx < 2; ++bx) {
            for (unsigned by = 0; by < 2; ++by) {
                unsigned swap = state >> 1, mirror = state & 1;
                unsigned rx = (swap ? by : bx) ^ mirror;
                unsigned ry = (swap ? bx : by) ^ mirror;
                if (ry == 0) {
                    if (rx == 1) mirror ^= 1;
                    swap ^= 1;
                }
                unsigned index = state << 2 | bx << 1 | by;
                t.digit[index] = static_cast<std::uint8_t>((3 * rx) ^ ry);
                t.next[index] = static_cast<std::uint8_t>(swap << 1 | mirror);
            }
        }
    }
    return t;
}

inline constexpr HilbertStep kHilbertSteps = make_hilbert_steps();

}  // namespace detail

/// Position of cell (x, y) along the Hilbert curve through a 2^bits x 2^bits grid (bits <= 16).
/// Table driven, so there is no data-dependent branch.
inline std::uint32_t hilbert_index(std::uint32_t x, std::uint32_t y, unsigned bits) {
    std::uint32_t d = 0;
    unsigned state = 0;
    for (unsigned level = bits; level-- > 0;) {
        unsigned index = state << 2 | ((x >> level) & 1) << 1 | ((y >> level) & 1);
        d = d << 2 | detail::kHilbertSteps.digit[index];
        state = detail::kHilbertSteps.next[index];
    }
    return d;
}

/// Grid resolution for n points: about two to eight points per cell, at most 2^10 cells per
/// side. Points sharing a cell are close enough for a walking point location.
inline unsigned hilbert_bits_for(std::size_t n) {
    unsigned bits = 1;
    while (bits < 10 && (std::size_t{1} << (2 * bits + 3)) <= n) ++bits;
    return bits;
}

/// Maps a coordinate to a grid cell in [0, cells - 1]; non-finite values go to cell 0.
inline std::uint32_t grid_cell(double v, double lo, double scale, std::uint32_t cells) {
    double q = (v - lo) * scale;
    if (!(q >= 0.0)) return 0;  // also NaN
    if (q >= static_cast<double>(cells - 1)) return cells - 1;
    return static_cast<std::uint32_t>(q);
}

/// The points in the order of a Hilbert curve over their bounding box.
///
///   const double* xy      - point k at (xy[k * row_stride], xy[k * row_stride + 1])
///   std::size_t n         - number of points, below 2^32
///   uint32_t order[n]     - output: order[k] is the index of the k-th point visited
///   double ordered[2 * n] - output: the k-th point visited, (x, y)
/// Points in one grid cell keep their input order. Cost: O(n), one counting sort by cell.
inline void hilbert_order(const double* xy, std::size_t row_stride, std::size_t n,
                          std::uint32_t* order, double* ordered) {
    double lo[2] = {INFINITY, INFINITY};
    double hi[2] = {-INFINITY, -INFINITY};
    for (std::size_t k = 0; k < n; ++k) {
        for (int c = 0; c < 2; ++c) {
            double v = xy[k * row_stride + c];
            if (!std::isfinite(v)) continue;
            lo[c] = std::min(lo[c], v);
            hi[c] = std::max(hi[c], v);
        }
    }
    const unsigned bits = hilbert_bits_for(n);
    const std::uint32_t cells = std::uint32_t{1} << bits;
    double scale[2];
    for (int c = 0; c < 2; ++c) {
        double extent = hi[c] - lo[c];
        scale[c] = (extent > 0.0 && std::isfinite(extent)) ? cells / extent : 0.0;
        if (!std::isfinite(lo[c])) lo[c] = 0.0;
    }

    std::vector<std::uint32_t> key(n);
    std::vector<std::size_t> start(std::size_t{cells} * cells + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t cx = grid_cell(xy[k * row_stride], lo[0], scale[0], cells);
        std::uint32_t cy = grid_cell(xy[k * row_stride + 1], lo[1], scale[1], cells);
        key[k] = hilbert_index(cx, cy, bits);
        ++start[key[k] + 1];
    }
    for (std::size_t c = 1; c < start.size(); ++c) start[c] += start[c - 1];
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t at = start[key[k]]++;
        order[at] = static_cast<std::uint32_t>(k);
        ordered[2 * at] = xy[k * row_stride];
        ordered[2 * at + 1] = xy[k * row_stride + 1];
    }
}

}  // namespace corvid::locator
