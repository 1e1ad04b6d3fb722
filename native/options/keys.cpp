/// The unknown-key error, shared by reading and setting.
#include "options/parts.hpp"

#include "glue/call.hpp"

namespace corvid::options {

void unknown_option(PyObject* key) {
    // A str subclass is shown by its text, as concatenation would show it.
    Ref text = PyUnicode_Check(key) ? checked(PyUnicode_FromObject(key))
                                    : checked(PyObject_Str(key));
    Ref message = checked(PyUnicode_FromFormat("Unknown option '%U'", text.get()));
    PyErr_SetObject(PyExc_KeyError, message.get());
    throw_python_error();
}

}  // namespace corvid::options
