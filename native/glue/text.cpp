#include "glue/text.hpp"

#include "glue/call.hpp"

namespace corvid {

Text::Text() : pieces_(checked(PyList_New(0))) {}

Text& Text::operator<<(std::string_view piece) {
    check_status(PyList_Append(pieces_.get(), py_str(piece).get()));
    return *this;
}

Text& Text::operator<<(PyObject* obj) {
    check_status(PyList_Append(pieces_.get(), checked(PyObject_Str(obj)).get()));
    return *this;
}

Text& Text::format(PyObject* obj, const char* style) {
    Ref formatted = checked(PyObject_Format(obj, py_str(style).get()));
    check_status(PyList_Append(pieces_.get(), formatted.get()));
    return *this;
}

Ref Text::str() const {
    Ref empty = py_str("");
    return checked(PyUnicode_Join(empty.get(), pieces_.get()));
}

void raise(PyObject* type, const Text& message) {
    PyErr_SetObject(type, message.str().get());
    throw_python_error();
}

void raise_with(PyObject* factory, const Text& message) {
    Ref exc = call(factory, {message.str()});
    raise_object(exc.get());
}

}  // namespace corvid
