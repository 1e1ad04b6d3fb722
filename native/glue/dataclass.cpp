#include "glue/dataclass.hpp"

#include "glue/call.hpp"

namespace corvid {

ClassBuilder::ClassBuilder(PyObject* module, const char* name, const char* doc)
    : module_(module), name_(name), namespace_(checked(PyDict_New())),
      annotations_(checked(PyDict_New())) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) throw_python_error();
    check_status(PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()));
    check_status(PyDict_SetItemString(namespace_.get(), "__qualname__", py_str(name).get()));
    if (doc) check_status(PyDict_SetItemString(namespace_.get(), "__doc__", py_str(doc).get()));
    check_status(PyDict_SetItemString(namespace_.get(), "__annotations__", annotations_.get()));
}

ClassBuilder& ClassBuilder::field(const char* name, const char* annotation,
                                  const std::optional<Value>& default_value) {
    check_status(PyDict_SetItemString(annotations_.get(), name, py_str(annotation).get()));
    if (default_value)
        check_status(PyDict_SetItemString(namespace_.get(), name, default_value->make().get()));
    return *this;
}

ClassBuilder& ClassBuilder::field_no_init(const char* name, const char* annotation) {
    check_status(PyDict_SetItemString(annotations_.get(), name, py_str(annotation).get()));
    Ref field = attr(import("dataclasses").get(), "field");
    Ref not_in_init = call_kw(field.get(), {}, {{"init", Py_False}});
    check_status(PyDict_SetItemString(namespace_.get(), name, not_in_init.get()));
    return *this;
}

Ref ClassBuilder::function_for(const FunctionDef& def) {
    std::string qualname = name_ + "." + def.name;
    return make_function(def, module_, qualname.c_str());
}

ClassBuilder& ClassBuilder::method(const FunctionDef& def) {
    check_status(PyDict_SetItemString(namespace_.get(), def.name, function_for(def).get()));
    return *this;
}

ClassBuilder& ClassBuilder::property(const FunctionDef& def) {
    Ref getter = function_for(def);
    Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), {getter});
    check_status(PyDict_SetItemString(namespace_.get(), def.name, prop.get()));
    return *this;
}

Ref ClassBuilder::finish() {
    Ref bases = py_tuple({});
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type),
                   {py_str(name_), bases, namespace_});
    Ref dataclass = attr(import("dataclasses").get(), "dataclass");
    Ref result = call(dataclass.get(), {cls});
    check_status(PyModule_AddObjectRef(module_, name_.c_str(), result.get()));
    return result;
}

}  // namespace corvid
