/// The one place where C++ exceptions become Python exceptions.
#pragma once

#include "glue/ref.hpp"

#include <new>
#include <type_traits>
#include <stdexcept>

namespace corvid {

/// Sets the Python error that corresponds to the exception being handled.
void translate_current_exception() noexcept;

/// Runs `body` and returns its result; on any exception sets the Python error and returns
/// the failure value (null pointer, or -1 for int-returning slots).
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        if constexpr (std::is_pointer_v<decltype(body())>) return nullptr;
        else return -1;
    }
}

}  // namespace corvid
