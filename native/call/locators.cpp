/// The engine, mesher and remote-launcher locators, and the configured engine command.
///
/// Each locator honours its environment override first, then looks in the package's `bin`
/// tree. Nothing is remembered between calls: the environment, the platform facts and the
/// file system are read afresh through the module's attributes every time.
#include "call/parts.hpp"

#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "options/remote_word.hpp"

using namespace corvid;

namespace {

/// The packaged file names of one executable, per platform directory.
struct Executable {
    const char* override_variable;
    const char* mac_arm64_parts;  ///< module attribute holding the whole `bin/mac.arm64` path
    const char* mac_file;
    const char* linux_file;
    const char* windows_file;
};

constexpr Executable kEngine{"QUILL_BIN", "_MAC_ARM64_QUILL", "quill.run", "quill.mkl.run",
                             "quill.exe"};
constexpr Executable kMesher{"MESHKIN_BIN", "_MAC_ARM64_MESHKIN", "meshkin.run", "meshkin.run",
                             "meshkin.exe"};

bool non_empty_str(PyObject* obj) {
    return PyUnicode_Check(obj) && PyUnicode_GET_LENGTH(obj) > 0;
}

/// The value of the environment variable when it names an existing path, else null.
Ref existing_override(const Module& m, const char* variable) {
    Ref os = m.global("os");
    Ref value = call_method(attr(os.get(), "environ").get(), "get", {py_str(variable)});
    if (!non_empty_str(value.get())) return {};
    Ref exists = call_method(attr(os.get(), "path").get(), "exists", {value});
    return is_true(exists.get()) ? value : Ref();
}

/// `_resolve_path(*parts)`, through the module attribute.
Ref resolve(const Module& m, PyObject* parts) {
    Ref as_tuple = checked(PySequence_Tuple(parts));
    return checked(PyObject_Call(m.global("_resolve_path").get(), as_tuple.get(), nullptr));
}

bool starts_with(PyObject* text, const char* prefix) {
    if (!PyUnicode_Check(text)) return false;
    Py_ssize_t end = PyUnicode_GET_LENGTH(text);
    return check_status(static_cast<int>(
               PyUnicode_Tailmatch(text, py_str(prefix).get(), 0, end, -1))) == 1;
}

/// The packaged path of `exe` for this platform when it exists, else None.
/// Raises RuntimeError "Unknown OS" for a system outside the platform-directory rule.
Ref packaged(const Module& m, const Executable& exe) {
    // All three facts are gathered before any test, in this order.
    Ref system = call(m.global("_system").get());
    Ref width = call(m.global("_bits").get());
    Ref machine = call(m.global("_machine").get());
    auto width_dir = [&] { return checked(PyNumber_Add(width.get(), py_str("bit").get())); };

    Ref parts;
    if (py_equal(system.get(), py_str("darwin").get())) {
        if (py_equal(machine.get(), py_str("arm64").get()) ||
            py_equal(machine.get(), py_str("aarch64").get()))
            parts = m.global(exe.mac_arm64_parts);
        else
            parts = py_tuple({py_str("bin"), py_str("mac"), width_dir(), py_str(exe.mac_file)});
    } else if (py_equal(system.get(), py_str("linux").get())) {
        parts = py_tuple({py_str("bin"), py_str("linux"), width_dir(), py_str(exe.linux_file)});
    } else if (starts_with(system.get(), "win")) {
        parts = py_tuple(
            {py_str("bin"), py_str("windows"), width_dir(), py_str(exe.windows_file)});
    } else {
        raise(PyExc_RuntimeError, "Unknown OS");
    }
    return resolve(m, parts.get());
}

Ref quill_call_builtin(Module m) {
    if (Ref path = existing_override(m, kEngine.override_variable)) return path;
    Ref path = packaged(m, kEngine);
    if (non_empty_str(path.get())) return path;
    // Not shipped for this platform: the manager makes the engine available, or says how.
    Ref ensure_binary = import_from(m.get(), "manager", "ensure_binary", 1);
    Ref engine = call(ensure_binary.get());
    return checked(PyObject_Str(engine.get()));
}

Ref meshkin_call_builtin(Module m) {
    if (Ref path = existing_override(m, kMesher.override_variable)) return path;
    Ref path = packaged(m, kMesher);
    if (non_empty_str(path.get())) return path;
    raise(PyExc_FileNotFoundError,
          "QUILL installation error; meshkin binary not found for this OS/arch.");
}

Ref quill_call_no_remote(Module m) {
    // Imported here, not at initialisation: corvid.options imports this module.
    Ref get_option = import_from(m.get(), "options", "quill_get_option", 2);
    Ref command = call(get_option.get(), {py_str("quill.call")});
    if (command.get() == Py_None) return call(m.global("quill_call_builtin").get());
    Ref text = checked(PyObject_Str(command.get()));
    if (options::is_remote_word(text.get())) return call(m.global("quill_call_builtin").get());
    if (!PyUnicode_CheckExact(command.get())) {
        Ref got = type_name(command.get());
        raise_format(PyExc_TypeError,
                     "Option 'quill.call' has incorrect type (expected str, got %.200S)",
                     got.get());
    }
    return command;
}

Ref quill_remote_script(Module m) {
    if (Ref path = existing_override(m, "QUILL_REMOTE_BIN")) return path;
    return resolve(m, m.global("_REMOTE_SCRIPT").get());
}

const FunctionDef kQuillCallBuiltin{
    .name = "quill_call_builtin",
    .params = {},
    .returns = "str",
    .doc = "Return the path of the quill engine executable.\n\n"
           "QUILL_BIN wins when it names an existing path; otherwise the engine shipped in\n"
           "the package's bin tree for this platform; otherwise whatever\n"
           "corvid.binary.manager.ensure_binary() provides. Raises RuntimeError('Unknown OS')\n"
           "on a system other than Linux, macOS or Windows.",
    .impl = typed<quill_call_builtin>,
};

const FunctionDef kQuillCallNoRemote{
    .name = "quill_call_no_remote",
    .params = {},
    .returns = "str",
    .doc = "Return the engine command of the option 'quill.call' for a local run.\n\n"
           "When the option holds None or a remote word ('remote', 'quill.remote', any case),\n"
           "the built-in engine path is returned instead. Any other value must be a str.",
    .impl = typed<quill_call_no_remote>,
};

const FunctionDef kMeshkinCallBuiltin{
    .name = "meshkin_call_builtin",
    .params = {},
    .returns = "str",
    .doc = "Return the path of the meshkin mesher executable.\n\n"
           "MESHKIN_BIN wins when it names an existing path; otherwise the mesher shipped in\n"
           "the package's bin tree for this platform. Raises FileNotFoundError when there is\n"
           "none, and RuntimeError('Unknown OS') on an unsupported system.",
    .impl = typed<meshkin_call_builtin>,
};

const FunctionDef kQuillRemoteScript{
    .name = "quill_remote_script",
    .params = {},
    .returns = "Optional[str]",
    .doc = "Return the path of the launcher script for remote runs, or None.\n\n"
           "QUILL_REMOTE_BIN wins when it names an existing path; otherwise the packaged\n"
           "bin/remote/quill.remote when it exists.",
    .impl = typed<quill_remote_script>,
};

}  // namespace

namespace corvid::binary_call {

void add_locators(PyObject* module) {
    for (const FunctionDef* def :
         {&kQuillCallBuiltin, &kQuillCallNoRemote, &kMeshkinCallBuiltin, &kQuillRemoteScript})
        add_function(module, *def);
}

}  // namespace corvid::binary_call
