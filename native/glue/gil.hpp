/// Running C++ work with the GIL released.
#pragma once

#include "glue/ref.hpp"

#include <exception>

namespace corvid {

/// Runs `body` with the GIL released; an exception it throws is rethrown once the GIL is held
/// again. `body` must not touch any Python object.
template <class Body>
void without_gil(Body&& body) {
    std::exception_ptr error;
    PyThreadState* state = PyEval_SaveThread();
    try {
        body();
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (error) std::rethrow_exception(error);
}

}  // namespace corvid
