/// Builds a class declared in C++ and finishes it with `dataclasses.dataclass`.
#pragma once

#include "glue/function.hpp"

#include <optional>
#include <string>

namespace corvid {

/// Collects a class namespace in declaration order: fields (annotation strings, defaults,
/// `field(init=False)`), methods and read-only properties; `finish` creates the class, applies
/// `dataclasses.dataclass` with default options and binds it on the module. A `__repr__`
/// declared here is kept by the decorator.
class ClassBuilder {
public:
    ClassBuilder(PyObject* module, const char* name, const char* doc);

    /// A field, with its default or none for a required field.
    ClassBuilder& field(const char* name, const char* annotation,
                        const std::optional<Value>& default_value = std::nullopt);
    /// A field set after construction: `field(init=False)`, no default.
    ClassBuilder& field_no_init(const char* name, const char* annotation);
    /// A method; its first parameter is the instance.
    ClassBuilder& method(const FunctionDef& def);
    /// A read-only property whose getter is `def` (one parameter, the instance).
    ClassBuilder& property(const FunctionDef& def);

    /// Creates the dataclass and adds it to the module; returns it.
    Ref finish();

private:
    Ref function_for(const FunctionDef& def);

    PyObject* module_;
    std::string name_;
    Ref namespace_;
    Ref annotations_;
};

}  // namespace corvid
