/// A recursion check for native functions that call other functions through module attributes.
///
/// Rebinding those attributes can close a cycle made only of native functions; with no Python
/// frame in it, nothing else would stop the C stack from overflowing. The guard turns that
/// into RecursionError, as for Python functions.
#pragma once

#include "glue/function.hpp"

namespace corvid {

class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        // On failure the interpreter restores its count itself: no matching Leave.
        if (Py_EnterRecursiveCall(where)) throw_python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

/// `Impl` with the recursion check around it: `.impl = recursion_checked<my_impl>`.
template <Impl F>
Ref recursion_checked(Args a) {
    RecursionGuard guard(" while calling a Python object");
    return F(a);
}

}  // namespace corvid
