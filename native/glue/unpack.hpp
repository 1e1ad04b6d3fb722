/// `a, b = obj`: unpacking into exactly two values, with the interpreter's messages.
#pragma once

#include "glue/ref.hpp"

#include <array>

namespace corvid {

/// The two items of iterable `obj`; ValueError "not enough values to unpack (expected 2, got
/// N)" or "too many values to unpack (expected 2)" otherwise, TypeError for a non-iterable.
std::array<Ref, 2> unpack_pair(PyObject* obj);

}  // namespace corvid
