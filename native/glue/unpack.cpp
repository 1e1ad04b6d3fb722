#include "glue/unpack.hpp"

#include "glue/call.hpp"

namespace corvid {

std::array<Ref, 2> unpack_pair(PyObject* obj) {
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter &&
            !PySequence_Check(obj)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(obj)->tp_name);
        }
        throw_python_error();
    }
    std::array<Ref, 2> items;
    for (int k = 0; k < 2; ++k) {
        items[k] = Ref::steal(PyIter_Next(iter.get()));
        if (!items[k]) {
            if (PyErr_Occurred()) throw_python_error();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", k);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw_python_error();
    return items;
}

}  // namespace corvid
