/// Reading and filling Python buffers from C++: an owned `Py_buffer`.
#pragma once

#include "glue/gil.hpp"

namespace corvid::gfield::model {

using corvid::without_gil;

/// An exported buffer, released when this goes out of scope (with the GIL held).
class HeldBuffer {
public:
    HeldBuffer() = default;
    /// `PyObject_GetBuffer(obj, flags)`; the exporter's error propagates.
    HeldBuffer(PyObject* obj, int flags) {
        check_status(PyObject_GetBuffer(obj, &view_, flags));
        held_ = true;
    }
    /// `PyObject_GetBuffer(obj, flags)` into this holder, releasing what it held.
    void acquire(PyObject* obj, int flags) {
        release();
        check_status(PyObject_GetBuffer(obj, &view_, flags));
        held_ = true;
    }
    /// Like `acquire`, but reports failure by returning false (the error is cleared).
    bool try_acquire(PyObject* obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    ~HeldBuffer() { release(); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace corvid::gfield::model
