/// The analysis, the placed patterns and the factors as Python objects: capsules that own a
/// shared, immutable C++ object, so a factor keeps its analysis alive and any thread may
/// read either.
#pragma once

#include "cholesky/kernels/entry_map.hpp"
#include "cholesky/kernels/symbolic.hpp"
#include "glue/ref.hpp"

#include <memory>
#include <vector>

namespace corvid::cholesky {

/// A pattern's entries placed in the factor of one analysis.
struct PlacedPattern {
    std::shared_ptr<const Symbolic> symbolic;
    EntryMap map;
};

/// A numeric factor: L, supernode by supernode, in the layout of its analysis.
struct Factor {
    std::shared_ptr<const Symbolic> symbolic;
    Buffer values;  ///< symbolic->stored() values

    Factor(std::shared_ptr<const Symbolic> s) : symbolic(std::move(s)) {}
    Factor(const Factor&) = delete;
    Factor& operator=(const Factor&) = delete;
    ~Factor() { symbolic->pool->give(std::move(values)); }
};

/// Values computed for Python in a buffer of an analysis's pool, which they return to.
struct PooledValues {
    std::shared_ptr<const Symbolic> symbolic;
    Buffer values;
    size_t count = 0;

    PooledValues(std::shared_ptr<const Symbolic> s, size_t n)
        : symbolic(std::move(s)), values(symbolic->pool->take(n)), count(n) {}
    PooledValues(const PooledValues&) = delete;
    PooledValues& operator=(const PooledValues&) = delete;
    ~PooledValues() { symbolic->pool->give(std::move(values)); }
};

/// The capsule name of each kind, which is also what a wrong argument is told it lacks.
template <class T>
struct HandleName;
template <>
struct HandleName<Symbolic> { static constexpr const char* value = "corvid.fit._cholesky.Analysis"; };
template <>
struct HandleName<PlacedPattern> { static constexpr const char* value = "corvid.fit._cholesky.PlacedPattern"; };
template <>
struct HandleName<Factor> { static constexpr const char* value = "corvid.fit._cholesky.Factor"; };
template <>
struct HandleName<PooledValues> { static constexpr const char* value = "corvid.fit._cholesky.Values"; };

/// A new capsule holding `object`.
template <class T>
Ref wrap(std::shared_ptr<const T> object) {
    auto* held = new std::shared_ptr<const T>(std::move(object));
    PyObject* capsule = PyCapsule_New(held, HandleName<T>::value, [](PyObject* c) {
        delete static_cast<std::shared_ptr<const T>*>(PyCapsule_GetPointer(c, HandleName<T>::value));
    });
    if (!capsule) {
        delete held;
        throw_python_error();
    }
    return Ref::steal(capsule);
}

/// The object a capsule made by `wrap<T>` holds; TypeError naming `param` for anything else.
template <class T>
std::shared_ptr<const T> unwrap(PyObject* obj, const char* param) {
    if (!PyCapsule_IsValid(obj, HandleName<T>::value))
        raise_format(PyExc_TypeError, "%s must be a %s made by corvid.fit._cholesky", param,
                     HandleName<T>::value);
    return *static_cast<std::shared_ptr<const T>*>(PyCapsule_GetPointer(obj, HandleName<T>::value));
}

}  // namespace corvid::cholesky
