/// Argument conversions with the package's fixed messages, and the parameter types that name
/// them: an implementation's C++ signature says how each argument is converted.
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

/// `bool(obj)`: the truth test.
bool is_true(PyObject* obj);

/// The type's short name (`__name__`), as used in messages.
Ref type_name(PyObject* obj);

// ---- parameter types ----------------------------------------------------------------------
//
// An implementation's parameters are C++ types; each one names its conversion:
//   Object           any object, as passed
//   double           `to_double`
//   FloatPair        `to_double_pair`
//   Int              `to_int`: a Python int, unchanged or truncated
//   bool             the truth test
//   Str, Tuple, Dict exactly that built-in type (`require_exact`); OrNone<...> also admits None
//   VarArgs, VarKwargs  the `*args` tuple and `**kwargs` dict
// and a first parameter of type `Module` (function.hpp) receives the defining module.

using FloatPair = std::array<double, 2>;

/// A Python int, as `to_int` gives it.
struct Int {
    Ref value;
    PyObject* get() const noexcept { return value.get(); }
};

/// An object of exactly the built-in type `Kind::type()` (no subclass).
template <class Kind>
struct Exactly : Object {
    using Object::Object;
    static PyTypeObject* type() { return Kind::type(); }
};

/// An `Exactly<...>` argument that may also be None.
template <class Exact>
struct OrNone : Object {
    using Object::Object;
    bool is_none() const noexcept { return get() == Py_None; }
};

namespace kinds {
struct Str { static PyTypeObject* type() { return &PyUnicode_Type; } };
struct Tuple { static PyTypeObject* type() { return &PyTuple_Type; } };
struct Dict { static PyTypeObject* type() { return &PyDict_Type; } };
}  // namespace kinds

using Str = Exactly<kinds::Str>;
using Tuple = Exactly<kinds::Tuple>;
using Dict = Exactly<kinds::Dict>;

/// The `*args` tuple.
struct VarArgs : Object {
    using Object::Object;
};
/// The `**kwargs` dict.
struct VarKwargs : Object {
    using Object::Object;
};

/// How an argument becomes a parameter of type `T`; `param` names it in messages.
template <class T>
struct Argument;

template <>
struct Argument<Object> {
    static Object from(PyObject* obj, const char*) { return obj; }
};
template <>
struct Argument<double> {
    static double from(PyObject* obj, const char*) { return to_double(obj); }
};
template <>
struct Argument<FloatPair> {
    static FloatPair from(PyObject* obj, const char*) { return to_double_pair(obj); }
};
template <>
struct Argument<Int> {
    static Int from(PyObject* obj, const char* param) { return {to_int(obj, param)}; }
};
template <>
struct Argument<bool> {
    static bool from(PyObject* obj, const char*) { return is_true(obj); }
};
template <class Kind>
struct Argument<Exactly<Kind>> {
    static Exactly<Kind> from(PyObject* obj, const char* param) {
        return require_exact(obj, Kind::type(), param);
    }
};
template <class Exact>
struct Argument<OrNone<Exact>> {
    static OrNone<Exact> from(PyObject* obj, const char* param) {
        return require_exact(obj, Exact::type(), param, true);
    }
};
template <>
struct Argument<VarArgs> {
    static VarArgs from(PyObject* obj, const char*) { return obj; }
};
template <>
struct Argument<VarKwargs> {
    static VarKwargs from(PyObject* obj, const char*) { return obj; }
};

}  // namespace corvid
