/// Ordering points of the plane along a Hilbert curve, so consecutive points lie close together.
///
/// Point location that walks from the previous answer costs far less on points in this order
/// than on points in random order. Plain C++; no Python.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

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

/// Four steps of the curve at once: entry[state << 8 | x nibble << 4 | y nibble] holds the
/// four steps' digits in its low byte and the state after them above.
struct HilbertNibbleSteps {
    std::uint16_t entry[4 * 256];
};

constexpr HilbertNibbleSteps make_hilbert_nibble_steps() {
    HilbertNibbleSteps t{};
    for (unsigned first = 0; first < 4; ++first)
        for (unsigned x = 0; x < 16; ++x)
            for (unsigned y = 0; y < 16; ++y) {
                unsigned state = first, digits = 0;
                for (unsigned level = 4; level-- > 0;) {
                    unsigned index = state << 2 | ((x >> level) & 1) << 1 | ((y >> level) & 1);
                    digits = digits << 2 | kHilbertSteps.digit[index];
                    state = kHilbertSteps.next[index];
                }
                t.entry[first << 8 | x << 4 | y] = static_cast<std::uint16_t>(state << 8 | digits);
            }
    return t;
}

inline constexpr HilbertNibbleSteps kHilbertNibbleSteps = make_hilbert_nibble_steps();

}  // namespace detail

/// Position of cell (x, y) along the Hilbert curve through a 2^bits x 2^bits grid (bits <= 16).
/// Table driven, four levels a look-up, so there is no data-dependent branch.
inline std::uint32_t hilbert_index(std::uint32_t x, std::uint32_t y, unsigned bits) {
    // Computed over 12 or 16 levels: the levels above `bits` hold zeros, which add nothing to
    // the position and only switch the curve between states 0 and 2, so the walk down starts
    // in the state that reaches state 0 at level `bits`.
    auto walk_down = [&](unsigned levels) {
        unsigned state = (levels - bits) % 2 ? 2 : 0;
        std::uint32_t d = 0;
        for (unsigned level = levels; level > 0; level -= 4) {
            const unsigned nibbles = ((x >> (level - 4)) & 15) << 4 | ((y >> (level - 4)) & 15);
            const unsigned entry = detail::kHilbertNibbleSteps.entry[state << 8 | nibbles];
            d = d << 8 | (entry & 0xFF);
            state = entry >> 8;
        }
        return d;
    };
    return bits <= 12 ? walk_down(12) : walk_down(16);
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

}  // namespace corvid::locator
