/// The character class of expression bodies: ASCII letters and digits, '_', whitespace and
/// the fourteen characters + - * / ^ ( ) ; . , = < > !  Plain C++ over code units; no Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

namespace corvid::expression {

namespace detail {

constexpr std::array<bool, 128> make_ascii_class() {
    std::array<bool, 128> allowed{};
    for (int c = 'a'; c <= 'z'; ++c) allowed[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) allowed[c] = true;
    for (int c = '0'; c <= '9'; ++c) allowed[c] = true;
    for (char c : {'_', '+', '-', '*', '/', '^', '(', ')', ';', '.', ',', '=', '<', '>', '!'})
        allowed[static_cast<unsigned char>(c)] = true;
    // ASCII whitespace as the interpreter's str.isspace() knows it: \t \n \v \f \r, the
    // separators 0x1c-0x1f and the blank.
    for (int c = 0x09; c <= 0x0d; ++c) allowed[c] = true;
    for (int c = 0x1c; c <= 0x1f; ++c) allowed[c] = true;
    allowed[' '] = true;
    return allowed;
}

inline constexpr std::array<bool, 128> kAsciiClass = make_ascii_class();

}  // namespace detail

/// True when code point `c` is in the class; `is_space(c)` decides code points beyond ASCII
/// (only whitespace is allowed there).
template <class IsSpace>
bool allowed(uint32_t c, IsSpace&& is_space) {
    return c < 128 ? detail::kAsciiClass[c] : is_space(c);
}

/// True when every one of the code units `text[0..n)` is in the class. Cost: O(n).
template <class Unit, class IsSpace>
bool all_allowed(const Unit* text, size_t n, IsSpace&& is_space) {
    for (size_t k = 0; k < n; ++k)
        if (!allowed(static_cast<uint32_t>(text[k]), is_space)) return false;
    return true;
}

/// The distinct code points of `text[0..n)` outside the class, ascending.
/// Cost: O(n) plus a set of the distinct code points beyond the basic plane.
template <class Unit, class IsSpace>
std::vector<uint32_t> refused(const Unit* text, size_t n, IsSpace&& is_space) {
    std::vector<bool> seen(0x10000, false);
    std::set<uint32_t> astral;
    for (size_t k = 0; k < n; ++k) {
        auto c = static_cast<uint32_t>(text[k]);
        if (allowed(c, is_space)) continue;
        if (c < 0x10000) seen[c] = true;
        else astral.insert(c);
    }
    std::vector<uint32_t> out;
    for (uint32_t c = 0; c < 0x10000; ++c)
        if (seen[c]) out.push_back(c);
    out.insert(out.end(), astral.begin(), astral.end());
    return out;
}

}  // namespace corvid::expression
