/// corvid.binary.call: where the engine, the mesher and the remote launcher script live.
#include "call/parts.hpp"
#include "glue/call.hpp"
#include "glue/module.hpp"

using namespace corvid;

namespace {

void add_parts(PyObject* m, const char* name, std::initializer_list<const char*> parts) {
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (const char* part : parts) PyTuple_SET_ITEM(tuple.get(), i++, py_str(part).release());
    check_status(PyModule_AddObjectRef(m, name, tuple.get()));
}

void exec(PyObject* m) {
    // corvid.options and corvid.binary.manager are imported inside the functions, at call
    // time: corvid.options imports this module during its own initialisation.
    check_status(PyModule_AddObjectRef(m, "os", import("os").get()));
    check_status(PyModule_AddObjectRef(m, "platform", import("platform").get()));
    Ref optional = import_from(m, "typing", "Optional", 0);
    check_status(PyModule_AddObjectRef(m, "Optional", optional.get()));
    binary_call::add_platform(m);
    binary_call::add_locators(m);
    // Whole paths below the package root, for the files whose directory has no width part.
    add_parts(m, "_MAC_ARM64_QUILL", {"bin", "mac.arm64", "quill.run"});
    add_parts(m, "_MAC_ARM64_MESHKIN", {"bin", "mac.arm64", "meshkin.run"});
    add_parts(m, "_REMOTE_SCRIPT", {"bin", "remote", "quill.remote"});
}

}  // namespace

CORVID_MODULE(call, "corvid.binary.call",
              "Location of the quill engine, the meshkin mesher and the remote launcher script:\n"
              "environment overrides first, then the package's bin tree for this platform.",
              exec)
