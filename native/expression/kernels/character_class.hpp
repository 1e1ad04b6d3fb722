/// The character class of expression bodies: ASCII letters and digits, '_', whitespace and
/// the fourteen characters + - * / ^ ( ) ; . , = < > !  Plain C++ over code units; no Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

namespace corvid::expression {

/// True for the ASCII characters of the class: letters, digits, '_', the fourteen operators
/// and ASCII whitespace as the interpreter's str.isspace() knows it (\t \n \v \f \r, the
/// separators 0x1c-0x1f and the blank). Comparisons only, so loops over it vectorise.
inline bool ascii_in_class(uint32_t c) {
    return ((c - 0x09u) < 5u) |   // \t \n \v \f \r
           ((c - 0x1cu) < 6u) |   // 0x1c-0x1f, ' ', '!'
           ((c - 0x28u) < 18u) |  // ( ) * + , - . / and the digits
           ((c - 0x3bu) < 4u) |   // ; < = >
           ((c - 0x41u) < 26u) |  // A-Z
           ((c - 0x5eu) < 2u) |   // ^ _
           ((c - 0x61u) < 26u);   // a-z
}

/// True when code point `c` is in the class; `is_space(c)` decides code points beyond ASCII
/// (only whitespace is allowed there).
template <class IsSpace>
bool allowed(uint32_t c, IsSpace&& is_space) {
    return c < 128 ? ascii_in_class(c) : is_space(c);
}

/// True when every one of the code units `text[0..n)` is in the class. Cost: O(n); blocks of
/// ASCII are tested without branches, a block holding other characters one by one.
template <class Unit, class IsSpace>
bool all_allowed(const Unit* text, size_t n, IsSpace&& is_space) {
    constexpr size_t kBlock = 1024;
    for (size_t start = 0; start < n; start += kBlock) {
        size_t end = start + kBlock < n ? start + kBlock : n;
        bool block_ok = true;
        for (size_t k = start; k < end; ++k) block_ok &= ascii_in_class(static_cast<uint32_t>(text[k]));
        if (block_ok) continue;
        for (size_t k = start; k < end; ++k)
            if (!allowed(static_cast<uint32_t>(text[k]), is_space)) return false;
    }
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
