/// A bucket grid over boxes of the plane: which boxes are near a point.
///
/// Plain C++; no Python. The grid spans the boxes' union in about as many cells as there are
/// boxes; each box is listed in every cell it touches.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace corvid::locator {

/// An axis-aligned box, corners included.
struct Box {
    double xlo, ylo, xhi, yhi;
};

class BucketGrid {
public:
    BucketGrid() = default;

    /// Lists `n` boxes (box i is boxes[i], finite, xlo <= xhi, ylo <= yhi) in a grid over
    /// their union. Boxes are copied. Throws std::length_error beyond 2^32 - 1 boxes.
    /// Cost: three passes over the boxes, and one more each time the grid is made coarser
    /// because long thin boxes would be listed in too many cells: at most 8n + (cells)
    /// entries of 4 bytes, and 8 bytes a cell.
    BucketGrid(const Box* boxes, std::size_t n) : boxes_(boxes, boxes + n) {
        if (n > UINT32_MAX) throw std::length_error("too many boxes for a bucket grid");
        if (n == 0) return;
        bounds_ = boxes[0];
        for (const Box& b : boxes_) {
            bounds_.xlo = std::min(bounds_.xlo, b.xlo);
            bounds_.ylo = std::min(bounds_.ylo, b.ylo);
            bounds_.xhi = std::max(bounds_.xhi, b.xhi);
            bounds_.yhi = std::max(bounds_.yhi, b.yhi);
        }
        const double w = bounds_.xhi - bounds_.xlo, h = bounds_.yhi - bounds_.ylo;
        // About one cell per box, shaped like the union.
        double cells = static_cast<double>(n);
        double gx = w > 0 ? (h > 0 ? std::sqrt(cells * w / h) : cells) : 1.0;
        double gy = h > 0 ? cells / std::max(gx, 1.0) : 1.0;
        nx_ = static_cast<std::uint32_t>(std::clamp(std::ceil(gx), 1.0, 65536.0));
        ny_ = static_cast<std::uint32_t>(std::clamp(std::ceil(gy), 1.0, 65536.0));
        while (listed_entries() > 8 * n + std::size_t{nx_} * ny_ && std::size_t{nx_} * ny_ > 1) {
            nx_ = (nx_ + 1) / 2;
            ny_ = (ny_ + 1) / 2;
            set_scale();
        }
        set_scale();

        start_.assign(std::size_t{nx_} * ny_ + 1, 0);
        for_each_listing([&](std::size_t cell, std::uint32_t) { ++start_[cell + 1]; });
        for (std::size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
        items_.resize(start_.back());
        std::vector<std::size_t> at(start_.begin(), start_.end() - 1);
        for_each_listing([&](std::size_t cell, std::uint32_t i) { items_[at[cell]++] = i; });
    }

    std::size_t size() const { return boxes_.size(); }
    const Box& box(std::size_t i) const { return boxes_[i]; }
    /// The union of the boxes (meaningless when there are none).
    const Box& bounds() const { return bounds_; }
    std::uint32_t nx() const { return nx_; }
    std::uint32_t ny() const { return ny_; }
    double cell_width() const { return nx_ ? (bounds_.xhi - bounds_.xlo) / nx_ : 0.0; }
    double cell_height() const { return ny_ ? (bounds_.yhi - bounds_.ylo) / ny_ : 0.0; }

    /// How many boxes a look-up meets on average, for a point drawn where boxes are (in a
    /// cell drawn with the weight of the boxes it lists): the sum over cells of the squared
    /// count, over the sum of counts. Cost: O(cells).
    double crowding() const {
        double sum = 0.0, squares = 0.0;
        for (std::size_t c = 0; c + 1 < start_.size(); ++c) {
            const double n = static_cast<double>(start_[c + 1] - start_[c]);
            sum += n;
            squares += n * n;
        }
        return sum > 0.0 ? squares / sum : 0.0;
    }

    /// Column and row of the cell holding (x, y), clamped to the grid; finite x, y.
    std::uint32_t column(double x) const { return cell(x, bounds_.xlo, x_scale_, nx_); }
    std::uint32_t row(double y) const { return cell(y, bounds_.ylo, y_scale_, ny_); }

    /// Calls f(i) for every box i listed in cell (column, row).
    template <class F>
    void for_each_in_cell(std::uint32_t column, std::uint32_t row, F&& f) const {
        std::size_t c = std::size_t{row} * nx_ + column;
        for (std::size_t at = start_[c]; at < start_[c + 1]; ++at) f(items_[at]);
    }

    /// Calls f(i) once for every box i that holds (x, y) when grown by `pad` on all sides
    /// (a negative or NaN pad counts as zero), in no particular order. Non-finite points
    /// are near no box. Cost: the boxes listed in the cells the grown point touches.
    template <class F>
    void for_each_near(double x, double y, double pad, F&& f) const {
        if (boxes_.empty() || !std::isfinite(x) || !std::isfinite(y)) return;
        if (!(pad > 0.0)) pad = 0.0;
        const Box q{x - pad, y - pad, x + pad, y + pad};
        if (q.xhi < bounds_.xlo || q.xlo > bounds_.xhi || q.yhi < bounds_.ylo ||
            q.ylo > bounds_.yhi)
            return;
        const std::uint32_t c0 = column(q.xlo), c1 = column(q.xhi);
        const std::uint32_t r0 = row(q.ylo), r1 = row(q.yhi);
        const bool one_cell = c0 == c1 && r0 == r1;
        for (std::uint32_t r = r0; r <= r1; ++r)
            for (std::uint32_t c = c0; c <= c1; ++c)
                for_each_in_cell(c, r, [&](std::uint32_t i) {
                    const Box& b = boxes_[i];
                    if (b.xlo > q.xhi || b.xhi < q.xlo || b.ylo > q.yhi || b.yhi < q.ylo) return;
                    // A box listed in several visited cells is reported from one: the cell of
                    // the lower-left corner of its overlap with the query.
                    if (one_cell ||
                        (column(std::max(b.xlo, q.xlo)) == c && row(std::max(b.ylo, q.ylo)) == r))
                        f(i);
                });
    }

private:
    static std::uint32_t cell(double v, double lo, double scale, std::uint32_t cells) {
        double q = (v - lo) * scale;
        if (!(q >= 0.0)) return 0;
        if (q >= static_cast<double>(cells - 1)) return cells - 1;
        return static_cast<std::uint32_t>(q);
    }

    void set_scale() {
        const double w = bounds_.xhi - bounds_.xlo, h = bounds_.yhi - bounds_.ylo;
        x_scale_ = w > 0 ? nx_ / w : 0.0;
        y_scale_ = h > 0 ? ny_ / h : 0.0;
    }

    /// Calls f(cell, i) for every cell that box i is listed in.
    template <class F>
    void for_each_listing(F&& f) const {
        for (std::size_t i = 0; i < boxes_.size(); ++i) {
            const Box& b = boxes_[i];
            const std::uint32_t c0 = column(b.xlo), c1 = column(b.xhi);
            const std::uint32_t r0 = row(b.ylo), r1 = row(b.yhi);
            for (std::uint32_t r = r0; r <= r1; ++r)
                for (std::uint32_t c = c0; c <= c1; ++c)
                    f(std::size_t{r} * nx_ + c, static_cast<std::uint32_t>(i));
        }
    }

    std::size_t listed_entries() {
        set_scale();
        std::size_t total = 0;
        for (const Box& b : boxes_)
            total += std::size_t{column(b.xhi) - column(b.xlo) + 1} * (row(b.yhi) - row(b.ylo) + 1);
        return total;
    }

    std::vector<Box> boxes_;
    Box bounds_{0.0, 0.0, 0.0, 0.0};
    std::uint32_t nx_ = 0, ny_ = 0;
    double x_scale_ = 0.0, y_scale_ = 0.0;
    std::vector<std::size_t> start_;
    std::vector<std::uint32_t> items_;
};

}  // namespace corvid::locator
