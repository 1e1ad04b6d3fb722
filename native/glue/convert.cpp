#include "glue/convert.hpp"

#include "glue/call.hpp"

namespace corvid {

Ref type_name(PyObject* obj) {
    return checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
}

[[noreturn]] static void incorrect_type(PyObject* obj, const char* param, const char* expected) {
    Ref got = type_name(obj);
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200S)",
                 param, expected, got.get());
}

PyObject* require_exact(PyObject* obj, PyTypeObject* type, const char* param, bool optional) {
    if (Py_IS_TYPE(obj, type) || (optional && obj == Py_None)) return obj;
    incorrect_type(obj, param, type->tp_name);
}

double to_double(PyObject* obj) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw_python_error();
    return v;
}

Ref to_int(PyObject* obj, const char* param) {
    if (PyLong_CheckExact(obj)) return Ref::borrow(obj);
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    bool numeric = nb && (nb->nb_index || nb->nb_int || nb->nb_float);
    if (!numeric) incorrect_type(obj, param, "int");
    if (nb->nb_index || nb->nb_int) return checked(PyNumber_Long(obj));
    // A number with only a float conversion: truncate its floating value.
    Ref as_float = checked(PyNumber_Float(obj));
    return checked(PyNumber_Long(as_float.get()));
}

bool is_true(PyObject* obj) { return check_status(PyObject_IsTrue(obj)) == 1; }

std::array<double, 2> to_double_pair(PyObject* obj) {
    if (!PySequence_Check(obj)) {
        Ref got = type_name(obj);
        raise_format(PyExc_TypeError, "Expected a sequence of size %zd, got %.200S", Py_ssize_t{2},
                     got.get());
    }
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) throw_python_error();
    if (size != 2)
        raise_format(PyExc_TypeError, "Expected a sequence of size %zd, got size %zd", Py_ssize_t{2},
                     size);
    std::array<double, 2> out{};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        Ref item = checked(PySequence_GetItem(obj, i));
        out[static_cast<size_t>(i)] = to_double(item.get());
    }
    return out;
}

}  // namespace corvid
