#include "glue/call.hpp"

#include <cstdarg>
#include <vector>

namespace corvid {

void throw_python_error() { throw python_error{}; }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw python_error{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw python_error{};
}

Ref attr(PyObject* obj, const char* name) { return checked(PyObject_GetAttrString(obj, name)); }

Ref attr(PyObject* obj, PyObject* name) { return checked(PyObject_GetAttr(obj, name)); }

Ref import(const char* name) { return checked(PyImport_ImportModule(name)); }

Ref import_from(PyObject* module, const char* name, const char* item, int level) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (!globals) throw_python_error();
    Ref item_name = py_str(item);
    Ref fromlist = py_tuple({item_name});
    Ref source = checked(PyImport_ImportModuleLevel(name, globals, nullptr, fromlist.get(), level));
    PyObject* value = PyObject_GetAttr(source.get(), item_name.get());
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    Ref source_name = Ref::steal(PyModule_GetNameObject(source.get()));
    if (!source_name) {
        PyErr_Clear();
        source_name = py_str("<unknown module name>");
    }
    raise_format(PyExc_ImportError, "cannot import name '%s' from '%U'", item, source_name.get());
}

static Ref vectorcall(PyObject* callable, std::vector<PyObject*>& slots, size_t nargs,
                      PyObject* kwnames) {
    // slots[0] is scratch space so the callee may prepend `self` in place.
    return checked(PyObject_Vectorcall(callable, slots.data() + 1,
                                       nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call(PyObject* callable, std::initializer_list<Arg> args) {
    std::vector<PyObject*> slots{nullptr};
    for (const Arg& a : args) slots.push_back(a.ptr);
    return vectorcall(callable, slots, args.size(), nullptr);
}

Ref call_kw(PyObject* callable, std::initializer_list<Arg> args,
            std::initializer_list<std::pair<const char*, Arg>> kwargs) {
    std::vector<PyObject*> slots{nullptr};
    for (const Arg& a : args) slots.push_back(a.ptr);
    Ref kwnames = checked(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t k = 0;
    for (const auto& [name, value] : kwargs) {
        PyTuple_SET_ITEM(kwnames.get(), k++, py_str(name).release());
        slots.push_back(value.ptr);
    }
    return vectorcall(callable, slots, args.size(), kwnames.get());
}

Ref call_method(PyObject* obj, const char* name, std::initializer_list<Arg> args) {
    Ref method = attr(obj, name);
    return call(method.get(), args);
}

Ref py_str(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref py_float(double v) { return checked(PyFloat_FromDouble(v)); }
Ref py_int(long long v) { return checked(PyLong_FromLongLong(v)); }
Ref py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref py_none() { return Ref::borrow(Py_None); }

Ref py_tuple(std::initializer_list<Arg> items) {
    Ref t = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Arg& a : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(a.ptr));
    return t;
}

std::string_view utf8(PyObject* str_obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str_obj, &size);
    if (!data) throw_python_error();
    return {data, static_cast<size_t>(size)};
}

void raise_object(PyObject* exc) {
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        throw python_error{};
    }
    if (PyExceptionClass_Check(exc)) {
        // Called once, as `raise` does: a class whose call returns no exception instance
        // (a class again, say) is a TypeError, not another round.
        Ref instance = call(exc);
        if (!PyExceptionInstance_Check(instance.get()))
            raise_format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         exc, Py_TYPE(instance.get()));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
        throw python_error{};
    }
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

void raise_with(PyObject* factory, std::string_view message) {
    Ref exc = call(factory, {py_str(message)});
    raise_object(exc.get());
}

bool py_equal(PyObject* a, PyObject* b) {
    return check_status(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

}  // namespace corvid
