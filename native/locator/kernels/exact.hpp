/// Exact arithmetic on doubles of any magnitude, for the decisions floating point leaves open.
///
/// Every finite double is an integer times a power of two; so is a power-of-two multiple of
/// one (a coordinate in the locator's frame, `Dyadic`, which need not fit a double). Sums,
/// differences and products of such numbers are computed here exactly as signed integers of
/// up to about 14000 bits (`BigInt`), kept on the stack: enough for degree-six polynomials in
/// any doubles, however far apart in magnitude. Slow next to the floating-point filters
/// (a few hundred nanoseconds a product of typical size), so only called when a filter cannot
/// vouch for its answer. Plain C++; no Python.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace corvid::locator {

/// mantissa * 2^exponent, exactly; zero has mantissa 0.
struct Dyadic {
    std::int64_t mantissa = 0;
    int exponent = 0;

    /// A finite double times 2^shift.
    static Dyadic of(double x, int shift = 0) {
        if (x == 0.0 || !std::isfinite(x)) return {};
        int e;
        const double f = std::frexp(x, &e);
        auto m = static_cast<std::int64_t>(std::ldexp(f, 53));
        e -= 53;
        while ((m & 1) == 0) {
            m /= 2;
            ++e;
        }
        return {m, e + shift};
    }

    /// The exponent of the lowest set bit; large for zero, so that zero never sets a frame.
    int low() const { return mantissa == 0 ? 1 << 20 : exponent; }
};

/// A signed integer of at most kLimbs 64-bit limbs, on the stack.
class BigInt {
public:
    static constexpr int kLimbs = 224;

    BigInt() = default;
    BigInt(const BigInt& o) : size_(o.size_), negative_(o.negative_) {
        std::memcpy(limb_, o.limb_, sizeof(std::uint64_t) * size_);
    }
    BigInt& operator=(const BigInt& o) {
        size_ = o.size_;
        negative_ = o.negative_;
        std::memmove(limb_, o.limb_, sizeof(std::uint64_t) * size_);
        return *this;
    }

    /// mantissa * 2^shift, shift >= 0.
    static BigInt shifted(std::int64_t mantissa, int shift) {
        BigInt r;
        if (mantissa == 0) return r;
        r.negative_ = mantissa < 0;
        std::uint64_t m = mantissa < 0 ? 0 - static_cast<std::uint64_t>(mantissa)
                                       : static_cast<std::uint64_t>(mantissa);
        const int limb = shift / 64, bit = shift % 64;
        if (limb + 2 > kLimbs) throw std::overflow_error("exact arithmetic out of range");
        std::memset(r.limb_, 0, sizeof(std::uint64_t) * (limb + 2));
        r.limb_[limb] = m << bit;
        r.limb_[limb + 1] = bit ? m >> (64 - bit) : 0;
        r.size_ = limb + 2;
        r.trim();
        return r;
    }

    /// d as an integer in units of 2^unit (unit <= d.low()).
    static BigInt of(const Dyadic& d, int unit) { return shifted(d.mantissa, d.exponent - unit); }

    int sign() const { return size_ == 0 ? 0 : (negative_ ? -1 : 1); }

    friend BigInt operator-(const BigInt& a) {
        BigInt r = a;
        if (r.size_) r.negative_ = !r.negative_;
        return r;
    }
    friend BigInt operator+(const BigInt& a, const BigInt& b) {
        if (a.negative_ == b.negative_) {
            BigInt r = add_magnitudes(a, b);
            r.negative_ = a.negative_ && r.size_;
            return r;
        }
        // Opposite signs: the larger magnitude's sign.
        if (compare_magnitudes(a, b) >= 0) {
            BigInt r = subtract_magnitudes(a, b);
            r.negative_ = a.negative_ && r.size_;
            return r;
        }
        BigInt r = subtract_magnitudes(b, a);
        r.negative_ = b.negative_ && r.size_;
        return r;
    }
    friend BigInt operator-(const BigInt& a, const BigInt& b) { return a + (-b); }
    friend BigInt operator*(const BigInt& a, const BigInt& b) {
        BigInt r;
        if (a.size_ == 0 || b.size_ == 0) return r;
        if (a.size_ + b.size_ > kLimbs) throw std::overflow_error("exact arithmetic out of range");
        std::memset(r.limb_, 0, sizeof(std::uint64_t) * (a.size_ + b.size_));
        for (int i = 0; i < a.size_; ++i) {
            unsigned __int128 carry = 0;
            for (int j = 0; j < b.size_; ++j) {
                carry += static_cast<unsigned __int128>(a.limb_[i]) * b.limb_[j] + r.limb_[i + j];
                r.limb_[i + j] = static_cast<std::uint64_t>(carry);
                carry >>= 64;
            }
            r.limb_[i + b.size_] = static_cast<std::uint64_t>(carry);
        }
        r.size_ = a.size_ + b.size_;
        r.negative_ = a.negative_ != b.negative_;
        r.trim();
        return r;
    }

    /// Sign of a - b.
    friend int compare(const BigInt& a, const BigInt& b) { return (a - b).sign(); }

    /// The number of bits of the magnitude: 0 for zero.
    int bits() const {
        if (size_ == 0) return 0;
        return 64 * (size_ - 1) + 64 - __builtin_clzll(limb_[size_ - 1]);
    }

    /// The value times 2^unit, rounded to a double (within an ulp or two; +-inf beyond range).
    double to_double(int unit) const {
        if (size_ == 0) return 0.0;
        double v = 0.0;
        // The top three limbs hold more than the 53 bits a double keeps.
        for (int i = size_ - 1; i >= std::max(0, size_ - 3); --i)
            v += std::ldexp(static_cast<double>(limb_[i]), 64 * i + unit);
        return negative_ ? -v : v;
    }

private:
    void trim() {
        while (size_ > 0 && limb_[size_ - 1] == 0) --size_;
        if (size_ == 0) negative_ = false;
    }

    static int compare_magnitudes(const BigInt& a, const BigInt& b) {
        if (a.size_ != b.size_) return a.size_ < b.size_ ? -1 : 1;
        for (int i = a.size_ - 1; i >= 0; --i)
            if (a.limb_[i] != b.limb_[i]) return a.limb_[i] < b.limb_[i] ? -1 : 1;
        return 0;
    }

    static BigInt add_magnitudes(const BigInt& a, const BigInt& b) {
        const BigInt& big = a.size_ >= b.size_ ? a : b;
        const BigInt& small = a.size_ >= b.size_ ? b : a;
        if (big.size_ + 1 > kLimbs) throw std::overflow_error("exact arithmetic out of range");
        BigInt r;
        unsigned __int128 carry = 0;
        for (int i = 0; i < big.size_; ++i) {
            carry += big.limb_[i];
            if (i < small.size_) carry += small.limb_[i];
            r.limb_[i] = static_cast<std::uint64_t>(carry);
            carry >>= 64;
        }
        r.limb_[big.size_] = static_cast<std::uint64_t>(carry);
        r.size_ = big.size_ + 1;
        r.trim();
        return r;
    }

    /// |a| - |b| for |a| >= |b|.
    static BigInt subtract_magnitudes(const BigInt& a, const BigInt& b) {
        BigInt r;
        std::uint64_t borrow = 0;
        for (int i = 0; i < a.size_; ++i) {
            const std::uint64_t x = a.limb_[i], y = i < b.size_ ? b.limb_[i] : 0;
            const std::uint64_t d = x - y - borrow;
            borrow = (x < y || (x == y && borrow)) ? 1 : 0;
            r.limb_[i] = d;
        }
        r.size_ = a.size_;
        r.trim();
        return r;
    }

    std::uint64_t limb_[kLimbs];
    int size_ = 0;
    bool negative_ = false;
};

/// A point of the plane with exact coordinates.
struct ExactPoint {
    Dyadic x, y;
    static ExactPoint of(const double* p, int shift = 0) {
        return {Dyadic::of(p[0], shift), Dyadic::of(p[1], shift)};
    }
    int low() const { return std::min(x.low(), y.low()); }
};

/// Integer coordinates of points in one common unit, for exact polynomials in them.
struct ExactFrame {
    int unit;
    explicit ExactFrame(int lowest) : unit(std::min(lowest, 1 << 19)) {}
    BigInt x(const ExactPoint& p) const { return BigInt::of(p.x, unit); }
    BigInt y(const ExactPoint& p) const { return BigInt::of(p.y, unit); }
};

/// Sign of orient2d(a, b, c), exactly, whatever the coordinates' magnitudes.
inline int orient2d_sign_exact(const double* a, const double* b, const double* c) {
    const ExactPoint pa = ExactPoint::of(a), pb = ExactPoint::of(b), pc = ExactPoint::of(c);
    const ExactFrame f(std::min({pa.low(), pb.low(), pc.low()}));
    const BigInt cx = f.x(pc), cy = f.y(pc);
    return ((f.x(pa) - cx) * (f.y(pb) - cy) - (f.y(pa) - cy) * (f.x(pb) - cx)).sign();
}

}  // namespace corvid::locator
