/// The checks of an expression prior text, in their order: a colon, a non-empty body after it,
/// only characters of the expression language, a return( statement, no blocked token.
/// Plain C++ over code units; no Python.
#pragma once

#include "expression/kernels/character_class.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvid::expression {

/// Substrings of the lower-cased body that point to code injection, in the order they are
/// looked for.
inline constexpr std::array<std::string_view, 15> kBlockedTokens = {
    "import", "__", "exec", "eval", "system", "subprocess", "os.", "open(", "file(", "compile",
    "globals", "locals", "getattr", "setattr", "delattr"};

enum class Verdict { accepted, no_colon, empty_body, disallowed_characters, no_return, blocked_token };

/// The first check a text fails, with what the message needs.
struct Finding {
    Verdict verdict = Verdict::accepted;
    size_t body_begin = 0, body_end = 0;  ///< the stripped body, as code-unit positions
    std::vector<uint32_t> refused;        ///< disallowed_characters: distinct, ascending
    size_t token = 0;                     ///< blocked_token: index into kBlockedTokens
};

namespace detail {

inline constexpr std::string_view kReturnCall = "return(";

/// True when "return(" occurs in the code units with every blank (' ', not other whitespace)
/// taken out. Each 'r' is tried as the start, skipping the blanks that follow it; the blank
/// runs tried belong to distinct 'r's, so the cost stays O(n).
template <class Unit>
bool has_return_call(const Unit* text, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        if (text[k] != 'r') continue;
        size_t at = k + 1, matched = 1;
        while (at < n && matched < kReturnCall.size()) {
            auto c = static_cast<uint32_t>(text[at]);
            if (c == ' ') {
                ++at;
                continue;
            }
            if (c != static_cast<unsigned char>(kReturnCall[matched])) break;
            ++matched;
            ++at;
        }
        if (matched == kReturnCall.size()) return true;
    }
    return false;
}

}  // namespace detail

/// Runs the checks on `text[0..n)`. Whitespace is decided by `is_space(c)` (the interpreter's
/// test, the one that strips text and that the class admits).
///
/// Steps 1-2 strip the text and split it at the first colon; step 3 strips the body; step 4
/// tests the character class; step 5 looks for return( among the non-blank characters; step
/// 6 lower-cases the body (ASCII only: every other character left after step 4 is whitespace)
/// and looks for the blocked tokens in order. Cost: O(n) per step, plus one byte per character
/// for the lower-cased copy.
template <class Unit, class IsSpace>
Finding check_prior(const Unit* text, size_t n, IsSpace&& is_space) {
    Finding f;
    auto space = [&](size_t k) { return is_space(static_cast<uint32_t>(text[k])); };
    size_t begin = 0, end = n;
    while (begin < end && space(begin)) ++begin;
    while (end > begin && space(end - 1)) --end;
    size_t colon = begin;
    while (colon < end && text[colon] != ':') ++colon;
    if (colon == end) {
        f.verdict = Verdict::no_colon;
        return f;
    }
    begin = colon + 1;
    while (begin < end && space(begin)) ++begin;
    f.body_begin = begin;
    f.body_end = end;
    if (begin == end) {
        f.verdict = Verdict::empty_body;
        return f;
    }
    const Unit* body = text + begin;
    const size_t length = end - begin;
    if (!all_allowed(body, length, is_space)) {
        f.verdict = Verdict::disallowed_characters;
        f.refused = refused(body, length, is_space);
        return f;
    }
    if (!detail::has_return_call(body, length)) {
        f.verdict = Verdict::no_return;
        return f;
    }
    std::string lowered(length, ' ');
    for (size_t k = 0; k < length; ++k) {
        auto c = static_cast<uint32_t>(body[k]);
        // Branch-free, so it vectorises; beyond ASCII only whitespace is left, in no token.
        uint32_t lower = c + (((c - 'A') < 26u) << 5);
        lowered[k] = static_cast<char>(c < 128 ? lower : 1u);
    }
    for (size_t t = 0; t < kBlockedTokens.size(); ++t) {
        if (lowered.find(kBlockedTokens[t]) != std::string::npos) {
            f.verdict = Verdict::blocked_token;
            f.token = t;
            return f;
        }
    }
    return f;
}

}  // namespace corvid::expression
