/// The checks of an expression prior text run in C++, and the test that says when they mean
/// what the module's pattern means.
#pragma once

#include "expression/kernels/prior_checks.hpp"
#include "glue/ref.hpp"

namespace corvid::expression {

/// The source of the module's `_EXPRESSION_ALLOWED_CHARS`.
inline constexpr const char* kAllowedChars = R"(^[a-zA-Z0-9_\s\+\-\*/\^();\.,=<>!]+$)";

/// Runs the checks on a str (with the GIL released: a str cannot change).
Finding check_text(PyObject* text);

/// True when `pattern` is an `re.Pattern` compiled from the module's source with the default
/// flags: its `match` then accepts exactly the class the C++ checks test.
bool is_own_pattern(PyObject* pattern);

}  // namespace corvid::expression
