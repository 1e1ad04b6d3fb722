/// Key membership and the unknown-key error, shared by reading and setting.
#include "options/parts.hpp"

#include "glue/call.hpp"

namespace corvid::options {

bool has_key(PyObject* mapping, PyObject* key) {
    if (PyObject_Hash(key) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
        PyErr_Clear();
        return false;
    }
    return check_status(PySequence_Contains(mapping, key)) == 1;
}

void unknown_option(PyObject* key) {
    // A str subclass is shown by its text, as concatenation would show it.
    Ref text = PyUnicode_Check(key) ? checked(PyUnicode_FromObject(key))
                                    : checked(PyObject_Str(key));
    Ref message = checked(PyUnicode_FromFormat("Unknown option '%U'", text.get()));
    PyErr_SetObject(PyExc_KeyError, message.get());
    throw_python_error();
}

}  // namespace corvid::options
