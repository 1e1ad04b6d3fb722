/// Argument conversions with the package's fixed messages.
#pragma once

#include "glue/ref.hpp"

#include <array>

namespace corvid {

/// Requires `obj` to be exactly of `type` (no subclass); `None` passes only when `optional`.
/// Otherwise raises TypeError "Argument '<param>' has incorrect type (expected <t>, got <t>)".
PyObject* require_exact(PyObject* obj, PyTypeObject* type, const char* param,
                        bool optional = false);

/// The floating value of `obj` (its `__float__`, or `__index__`); the conversion's error otherwise.
double to_double(PyObject* obj);

/// An `int` unchanged; any other number truncated to an `int`; anything else refused with
/// the incorrect-type message naming `param` and the expected type int.
Ref to_int(PyObject* obj, const char* param);

/// A sequence of exactly two elements, each converted with `to_double`. Otherwise TypeError
/// "Expected a sequence of size 2, got size N" or "Expected a sequence of size 2, got <type>".
std::array<double, 2> to_double_pair(PyObject* obj);

/// The type's short name (`__name__`), as used in messages.
Ref type_name(PyObject* obj);

}  // namespace corvid
