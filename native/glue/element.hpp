/// The element types of arrays that C++ reads and writes in place. Plain C++, no Python, so
/// kernels can name them too.
#pragma once

#include <cstdint>

namespace corvid {

/// Native byte order throughout.
enum class Element {
    boolean, int8, int16, int32, int64, uint8, uint16, uint32, uint64, float32, float64, longdouble
};

/// True for the signed and unsigned integer types (not boolean).
inline bool is_integer(Element e) {
    return e != Element::boolean && e != Element::float32 && e != Element::float64 &&
           e != Element::longdouble;
}

/// Calls `f(T{})` with a value of the element's C++ type, so one template serves every type.
template <class F>
decltype(auto) visit(Element e, F&& f) {
    switch (e) {
        case Element::boolean: return f(bool{});
        case Element::int8: return f(int8_t{});
        case Element::int16: return f(int16_t{});
        case Element::int32: return f(int32_t{});
        case Element::int64: return f(int64_t{});
        case Element::uint8: return f(uint8_t{});
        case Element::uint16: return f(uint16_t{});
        case Element::uint32: return f(uint32_t{});
        case Element::uint64: return f(uint64_t{});
        case Element::float32: return f(float{});
        case Element::float64: return f(double{});
        case Element::longdouble: return f(static_cast<long double>(0));
    }
    return f(double{});
}

}  // namespace corvid
