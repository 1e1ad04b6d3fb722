/// corvid.options: the package's global options, their defaults, reading and setting.
#include "glue/call.hpp"
#include "glue/module.hpp"
#include "options/parts.hpp"

using namespace corvid;

namespace {

void add(PyObject* m, const char* name, const Ref& value) {
    check_status(PyModule_AddObjectRef(m, name, value.get()));
}

void exec(PyObject* m) {
    add(m, "os", import("os"));
    add(m, "warnings", import("warnings"));
    for (const char* name : {"Any", "Dict", "Optional", "Union"})
        add(m, name, import_from(m, "typing", name, 0));
    // corvid.binary.call imports this module only inside its functions, so there is no
    // cycle here. The functions below reach these names through the module at each call.
    for (const char* name : {"quill_call_builtin", "meshkin_call_builtin", "quill_remote_script"})
        add(m, name, import_from(m, "binary.call", name, 1));
    add(m, "_any_mb", import_from(m, "utils", "quill_anyMultibyteUTF8Characters", 1));
    // The store holds only what was set (or written back by the checks); an absent key means
    // the default applies.
    add(m, "_QUILL_OPTIONS", checked(PyDict_New()));
    options::add_table(m);
    options::add_reading(m);
    options::add_setting(m);
    options::add_checks(m);
}

}  // namespace

CORVID_MODULE(options, "corvid.options",
              "The package's global options: engine and mesher commands, time-outs, engine mode,\n"
              "threads, memory allocator, working directory and flags.",
              exec)
