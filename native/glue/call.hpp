/// Small helpers for calling into Python: attributes, imports, calls, constants.
#pragma once

#include "glue/ref.hpp"

#include <array>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace corvid {

/// Borrowed-or-owned argument view, so calls accept `PyObject*` and `Ref` alike.
struct Arg {
    Arg(PyObject* p) : ptr(p) {}
    Arg(const Ref& r) : ptr(r.get()) {}
    Arg(Object o) : ptr(o.get()) {}
    PyObject* ptr;
};

/// `getattr(obj, name)`.
Ref attr(PyObject* obj, const char* name);
/// `getattr(obj, name)` with a Python string name.
Ref attr(PyObject* obj, PyObject* name);

/// `import name` (absolute), returning the named module itself.
Ref import(const char* name);

/// `from <name> import <item>` relative to `module`'s package (`level` leading dots).
/// Raises ImportError "cannot import name ..." as the interpreter does.
Ref import_from(PyObject* module, const char* name, const char* item, int level);

/// `callable(*args)`.
Ref call(PyObject* callable, std::initializer_list<Arg> args = {});

/// `callable(*args, **kwargs)` with keyword names given as C strings.
Ref call_kw(PyObject* callable, std::initializer_list<Arg> args,
            std::initializer_list<std::pair<const char*, Arg>> kwargs);

/// `obj.name(*args)`.
Ref call_method(PyObject* obj, const char* name, std::initializer_list<Arg> args = {});

/// Python constants from C++ values.
Ref py_str(std::string_view s);
Ref py_float(double v);
Ref py_int(long long v);
Ref py_bool(bool v);
Ref py_none();
Ref py_tuple(std::initializer_list<Arg> items);

/// `str(obj)` as UTF-8 (valid while `holder` lives).
std::string_view utf8(PyObject* str_obj);

/// `raise exc`: an exception instance is raised as it is, an exception class is called first.
[[noreturn]] void raise_object(PyObject* exc);

/// `raise factory(message)`, with `factory` looked up by the caller (e.g. through the module).
[[noreturn]] void raise_with(PyObject* factory, std::string_view message);

/// True when `a == b` by Python equality.
bool py_equal(PyObject* a, PyObject* b);

}  // namespace corvid
