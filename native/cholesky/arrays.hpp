/// NumPy arrays into the Cholesky module: private copies of the inputs, so
/// what is checked is what the kernel reads, whatever other threads do meanwhile.
#pragma once

#include "glue/ref.hpp"

#include <cstdint>
#include <vector>

namespace corvid::cholesky::arrays {

/// The values of a one-dimensional real array `obj`, as float64. TypeError names `name` for
/// anything that is not an array of real numbers, ValueError for another number of dimensions.
std::vector<double> copy_reals(PyObject* obj, const char* name);

/// The values of a one-dimensional integer array `obj`, as T (int32 or int64). Values outside
/// T's range make ValueError; TypeError names `name` for anything but an integer array.
template <class T>
std::vector<T> copy_integers(PyObject* obj, const char* name);

/// `numpy.asarray(obj)` as a C-contiguous, aligned float64 array of one dimension: TypeError
/// naming `name` for anything but real numbers, ValueError for other dimensions.
Ref real_vector(PyObject* obj, const char* name);

/// `numpy.asarray(obj)` as a C-contiguous, aligned float64 array of one or two dimensions:
/// TypeError naming `name` for anything but real numbers, ValueError for other dimensions.
Ref real_block(PyObject* obj, const char* name);

/// True when `obj` is an ndarray of native int32: its indices are then kept at that width.
bool holds_int32(PyObject* obj);

}  // namespace corvid::cholesky::arrays
