/// A C++ function that behaves like a Python function: signature, defaults, annotations,
/// introspection, method binding, pickling by reference.
///
/// Declare a function once, as data, next to its implementation:
///
///     static Ref scale(Args a) { return py_float(to_double(a[0]) * to_double(a[1])); }
///     const FunctionDef kScale{
///         .name = "scale",
///         .params = {{.name = "x", .annotation = "float"},
///                    {.name = "by", .annotation = "float", .default_value = "2.0"}},
///         .returns = "float",
///         .doc = "Return x times by.",
///         .impl = scale,
///     };
///
/// and add it with `add_function(module, kScale)` (or `ClassBuilder::method`). Arguments reach
/// the implementation bound to the declared parameters, in declaration order, defaults filled in.
#pragma once

#include "glue/ref.hpp"

#include <vector>

namespace corvid {

enum class ParamKind { positional_or_keyword, keyword_only, var_positional, var_keyword };

/// One declared parameter. Parameters are declared in Python order:
/// positional-or-keyword, then `*args`, then keyword-only, then `**kwargs`.
struct Param {
    const char* name;
    const char* annotation = nullptr;     ///< annotation string, or none
    const char* default_value = nullptr;  ///< Python literal evaluated once at creation, or none
    ParamKind kind = ParamKind::positional_or_keyword;
};

/// The bound arguments of one call: one borrowed object per declared parameter
/// (`*args` as a tuple, `**kwargs` as a dict), and the function's defining module.
struct Args {
    PyObject* const* items;
    PyObject* module;
    PyObject* operator[](size_t i) const { return items[i]; }
};

/// An implementation returns a new reference, or throws (`python_error` or a C++ exception).
using Impl = Ref (*)(Args);

struct FunctionDef {
    const char* name;
    std::vector<Param> params;
    const char* returns = nullptr;  ///< return annotation string, or none
    const char* doc = nullptr;
    Impl impl = nullptr;
};

/// Creates the function object. `qualname` defaults to the name; `module` is the defining
/// module: its name becomes `__module__`, and it is handed to every call for name lookups.
Ref make_function(const FunctionDef& def, PyObject* module, const char* qualname = nullptr);

/// Creates the function and binds it as a module attribute under its name.
void add_function(PyObject* module, const FunctionDef& def);

/// Looks `name` up on the module at call time, so rebinding the attribute takes effect.
Ref module_attr(const Args& args, const char* name);

/// Readies the function type; called by every module's initialisation.
void ready_function_type();

}  // namespace corvid
