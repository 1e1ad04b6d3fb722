/// Messages and texts built as Python strings, piece by piece.
#pragma once

#include "glue/ref.hpp"

#include <string_view>

namespace corvid {

/// A Python str joined from C++ text (UTF-8) and `str()` of Python objects. The pieces stay
/// Python text throughout, so a user's text that is no valid UTF-8 (a lone surrogate) or holds
/// a NUL arrives as it was, where a detour through C++ strings would fail or cut it short.
class Text {
public:
    Text();
    Text& operator<<(std::string_view piece);
    /// `str(obj)`.
    Text& operator<<(PyObject* obj);
    Text& operator<<(const Ref& obj) { return *this << obj.get(); }
    /// `format(obj, style)`.
    Text& format(PyObject* obj, const char* style);

    /// The joined str.
    Ref str() const;

private:
    Ref pieces_;  ///< a list of str
};

/// Sets a Python exception of type `type` with the str `message` and throws `python_error`.
[[noreturn]] void raise(PyObject* type, const Text& message);

/// `raise factory(message)`, with `factory` looked up by the caller (e.g. through the module).
[[noreturn]] void raise_with(PyObject* factory, const Text& message);

}  // namespace corvid
