/// The character check of expression bodies: the module's own pattern decided in C++, a
/// rebound one asked through its `match`.
#pragma once

#include "glue/ref.hpp"

namespace corvid::expression {

/// The source of the module's `_EXPRESSION_ALLOWED_CHARS`.
inline constexpr const char* kAllowedChars = R"(^[a-zA-Z0-9_\s\+\-\*/\^();\.,=<>!]+$)";

class CharacterTest {
public:
    /// `pattern` is the module's `_EXPRESSION_ALLOWED_CHARS` as looked up for this call.
    explicit CharacterTest(Ref pattern);

    /// `pattern.match(text)` succeeds.
    bool accepts_all(PyObject* text) const;

    /// The characters of `text` that `pattern.match` refuses one by one: their `repr` forms,
    /// distinct, sorted and joined with ", ".
    Ref refused(PyObject* text) const;

private:
    Ref pattern_;
    bool own_;  ///< a compiled pattern of exactly the module's source and flags
};

}  // namespace corvid::expression
