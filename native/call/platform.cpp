/// Interpreter and platform facts, and paths below the package root.
///
/// Every function asks the interpreter afresh (through the module's `os` and `platform`
/// attributes and the `sys` module), so monkeypatching any of them takes effect at once.
#include "call/parts.hpp"

#include "glue/call.hpp"

using namespace corvid;

namespace {

Ref os_path(const Module& m) { return attr(m.global("os").get(), "path"); }

Ref bits() {
    Ref maxsize = attr(import("sys").get(), "maxsize");
    // The pointer width of this interpreter, not of the operating system.
    Ref four_gib = py_int(4294967296LL);
    bool wide = check_status(PyObject_RichCompareBool(maxsize.get(), four_gib.get(), Py_GT));
    return py_str(wide ? "64" : "32");
}

Ref system_name(Module m) {
    Ref name = call(attr(m.global("platform").get(), "system").get());
    return call_method(name.get(), "lower");
}

Ref machine_name(Module m) {
    Ref name = call(attr(m.global("platform").get(), "machine").get());
    return call_method(name.get(), "lower");
}

Ref package_root(Module m) {
    // This file lies in <root>/binary/; `abspath` resolves against the current directory.
    Ref path = os_path(m);
    Ref here = call_method(path.get(), "abspath", {m.global("__file__")});
    Ref binary_dir = call_method(path.get(), "dirname", {here});
    return call_method(path.get(), "dirname", {binary_dir});
}

Ref resolve_path(Module m, VarArgs parts) {
    Ref root = call(m.global("_package_root").get());
    Ref path = os_path(m);
    Ref join_args = checked(PyTuple_New(PyTuple_GET_SIZE(parts.get()) + 1));
    PyTuple_SET_ITEM(join_args.get(), 0, root.release());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts.get()); ++i)
        PyTuple_SET_ITEM(join_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(parts.get(), i)));
    Ref joined = checked(PyObject_Call(attr(path.get(), "join").get(), join_args.get(), nullptr));
    Ref exists = call_method(path.get(), "exists", {joined});
    return check_status(PyObject_IsTrue(exists.get())) ? joined : py_none();
}

const FunctionDef kBits{
    .name = "_bits",
    .params = {},
    .returns = "str",
    .impl = typed<bits>,
};
const FunctionDef kSystem{
    .name = "_system",
    .params = {},
    .returns = "str",
    .impl = typed<system_name>,
};
const FunctionDef kMachine{
    .name = "_machine",
    .params = {},
    .returns = "str",
    .impl = typed<machine_name>,
};
const FunctionDef kPackageRoot{
    .name = "_package_root",
    .params = {},
    .returns = "str",
    .impl = typed<package_root>,
};
const FunctionDef kResolvePath{
    .name = "_resolve_path",
    .params = {{.name = "parts", .annotation = "str", .kind = ParamKind::var_positional}},
    .returns = "Optional[str]",
    .impl = typed<resolve_path>,
};

}  // namespace

namespace corvid::binary_call {

void add_platform(PyObject* module) {
    for (const FunctionDef* def : {&kBits, &kSystem, &kMachine, &kPackageRoot, &kResolvePath})
        add_function(module, *def);
}

}  // namespace corvid::binary_call
