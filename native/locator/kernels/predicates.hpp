/// Orientation of three points in the plane, with an exact sign and an accurate value.
///
/// After Shewchuk, "Adaptive Precision Floating-Point Arithmetic and Fast Robust Geometric
/// Predicates" (1997): the determinant is first computed in plain floating point together
/// with a bound on its error; only when the bound cannot vouch for the answer is it computed
/// again as an exact expansion (a sum of non-overlapping doubles). Plain C++; no Python.
///
/// Requires IEEE double arithmetic rounded to nearest, without fused multiply-add
/// contraction (the project builds with -ffp-contract=off) and without x87 extended
/// precision; exact while no product of coordinate differences overflows or underflows.
#pragma once

#include <cmath>

namespace corvid::locator {

namespace detail {

inline constexpr double kEpsilon = 0x1p-53;          // half an ulp of 1.0
inline constexpr double kSplitter = 0x1p27 + 1.0;    // splits a double into two halves
/// Bound on the error of the plain determinant, relative to |left| + |right| products.
inline constexpr double kErrorBoundA = (3.0 + 16.0 * kEpsilon) * kEpsilon;

/// x + y == a + b exactly, for |a| >= |b|.
inline void fast_two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    double b_virtual = x - a;
    y = b - b_virtual;
}

/// x + y == a + b exactly.
inline void two_sum(double a, double b, double& x, double& y) {
    x = a + b;
    double b_virtual = x - a;
    double a_virtual = x - b_virtual;
    y = (a - a_virtual) + (b - b_virtual);
}

/// The rounding error of x = a - b, so that x + y == a - b exactly.
inline double two_diff_tail(double a, double b, double x) {
    double b_virtual = a - x;
    double a_virtual = x + b_virtual;
    return (a - a_virtual) + (b_virtual - b);
}

/// a == hi + lo with both halves of at most 26 significant bits.
inline void split(double a, double& hi, double& lo) {
    double c = kSplitter * a;
    double a_big = c - a;
    hi = c - a_big;
    lo = a - hi;
}

/// x + y == a * b exactly.
inline void two_product(double a, double b, double& x, double& y) {
    x = a * b;
    double a_hi, a_lo, b_hi, b_lo;
    split(a, a_hi, a_lo);
    split(b, b_hi, b_lo);
    double err1 = x - a_hi * b_hi;
    double err2 = err1 - a_lo * b_hi;
    double err3 = err2 - a_hi * b_lo;
    y = a_lo * b_lo - err3;
}

/// The four-term expansion h of (a1 + a0) - (b1 + b0), smallest term first.
inline void two_two_diff(double a1, double a0, double b1, double b0, double h[4]) {
    // (a1 + a0) - b0 = hi + lo + h[0], then (hi + lo) - b1 (Shewchuk's Two_One_Diff twice).
    const double d0 = a0 - b0;
    h[0] = two_diff_tail(a0, b0, d0);
    double hi, lo;
    two_sum(a1, d0, hi, lo);
    const double d1 = lo - b1;
    h[1] = two_diff_tail(lo, b1, d1);
    two_sum(hi, d1, h[3], h[2]);
}

/// h = e + f for non-overlapping expansions ordered by increasing magnitude; zero terms are
/// dropped. h must hold e_len + f_len terms; returns the number written (at least one).
inline int expansion_sum(int e_len, const double* e, int f_len, const double* f, double* h) {
    int ei = 0, fi = 0, hi = 0;
    // Takes the next term of smaller magnitude from e or f.
    auto next = [&]() {
        if (fi >= f_len || (ei < e_len && ((f[fi] > e[ei]) == (f[fi] > -e[ei]))))
            return e[ei++];
        return f[fi++];
    };
    double q = next();
    double q_new, hh;
    if (ei < e_len && fi < f_len) {
        fast_two_sum(next(), q, q_new, hh);
        q = q_new;
        if (hh != 0.0) h[hi++] = hh;
    }
    while (ei < e_len || fi < f_len) {
        two_sum(q, next(), q_new, hh);
        q = q_new;
        if (hh != 0.0) h[hi++] = hh;
    }
    if (q != 0.0 || hi == 0) h[hi++] = q;
    return hi;
}

/// The sum of an expansion's terms, smallest first: the value to within a few ulps.
inline double estimate(int len, const double* e) {
    double q = e[0];
    for (int i = 1; i < len; ++i) q += e[i];
    return q;
}

}  // namespace detail

/// Orientation of (a, b, c), each a pointer to (x, y): twice the signed area of the triangle,
/// positive when the points turn counter-clockwise. Computed exactly and rounded: the sign is
/// always right, the value is within a few ulps of the true one, and zero means collinear.
/// Cost: a few dozen floating-point operations, up to about two hundred when the coordinate
/// differences are themselves inexact.
inline double orient2d_exact(const double* a, const double* b, const double* c) {
    using namespace detail;
    double acx = a[0] - c[0], bcx = b[0] - c[0];
    double acy = a[1] - c[1], bcy = b[1] - c[1];
    double left, left_tail, right, right_tail;
    two_product(acx, bcy, left, left_tail);
    two_product(acy, bcx, right, right_tail);
    double B[4];
    two_two_diff(left, left_tail, right, right_tail, B);

    double acx_tail = two_diff_tail(a[0], c[0], acx);
    double bcx_tail = two_diff_tail(b[0], c[0], bcx);
    double acy_tail = two_diff_tail(a[1], c[1], acy);
    double bcy_tail = two_diff_tail(b[1], c[1], bcy);
    // Exact differences, as for nearby points: B is the whole answer.
    if (acx_tail == 0.0 && acy_tail == 0.0 && bcx_tail == 0.0 && bcy_tail == 0.0)
        return estimate(4, B);

    // (acx + acx_tail)(bcy + bcy_tail) - (acy + acy_tail)(bcx + bcx_tail), term by term.
    double s1, s0, t1, t0, u[4];
    double C1[8], C2[12], D[16];
    two_product(acx_tail, bcy, s1, s0);
    two_product(acy_tail, bcx, t1, t0);
    two_two_diff(s1, s0, t1, t0, u);
    int c1 = expansion_sum(4, B, 4, u, C1);
    two_product(acx, bcy_tail, s1, s0);
    two_product(acy, bcx_tail, t1, t0);
    two_two_diff(s1, s0, t1, t0, u);
    int c2 = expansion_sum(c1, C1, 4, u, C2);
    two_product(acx_tail, bcy_tail, s1, s0);
    two_product(acy_tail, bcx_tail, t1, t0);
    two_two_diff(s1, s0, t1, t0, u);
    int d = expansion_sum(c2, C2, 4, u, D);
    return estimate(d, D);
}

/// The plain floating-point orientation and a bound on its error: |value - exact| <= error,
/// so the sign of `value` is the true sign whenever |value| >= error (Shewchuk's filter).
struct Orientation {
    double value;
    double error;
    bool sign_is_certain() const { return std::fabs(value) >= error; }
};

/// Orientation of (a, b, c) in floating point, with its error bound. Cost: 7 flops.
inline Orientation orient2d_fast(const double* a, const double* b, const double* c) {
    double left = (a[0] - c[0]) * (b[1] - c[1]);
    double right = (a[1] - c[1]) * (b[0] - c[0]);
    return {left - right, detail::kErrorBoundA * (std::fabs(left) + std::fabs(right))};
}

/// Orientation with an exact sign; the value is the floating-point one when that is certain
/// of its sign, else the exact one. Cost: the filter, rarely the exact computation.
inline double orient2d(const double* a, const double* b, const double* c) {
    Orientation o = orient2d_fast(a, b, c);
    return o.sign_is_certain() ? o.value : orient2d_exact(a, b, c);
}

/// Error allowed in the orientations that become barycentric weights, relative to the
/// triangle's doubled area: 2^-48, so a weight is within about 1e-14 of its true value on any
/// triangle, however thin.
inline constexpr double kWeightTolerance = 0x1p-48;

/// Orientation with an exact sign and a relative error of at most kWeightTolerance: the
/// denominator of the weights.
inline double orient2d_accurate(const double* a, const double* b, const double* c) {
    Orientation o = orient2d_fast(a, b, c);
    if (o.error <= kWeightTolerance * std::fabs(o.value)) return o.value;
    return orient2d_exact(a, b, c);
}

}  // namespace corvid::locator
