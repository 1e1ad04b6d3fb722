/// The checks that run after every change: engine mode, memory allocator, working directory.
#include "options/parts.hpp"

#include "glue/call.hpp"

using namespace corvid;

namespace {

constexpr const char* kModes[] = {"compact", "classic", "twostage", "experimental"};
constexpr const char* kAllocators[] = {"default", "compiler", "je", "tc", "mi"};

/// True when `value` is a str with exactly the text `word`.
bool is_word(PyObject* value, const char* word) {
    if (!PyUnicode_Check(value)) return false;
    int order = PyUnicode_Compare(value, py_str(word).get());
    if (order == -1 && PyErr_Occurred()) throw_python_error();
    return order == 0;
}

template <size_t N>
bool is_one_of(PyObject* value, const char* const (&words)[N]) {
    for (const char* word : words)
        if (is_word(value, word)) return true;
    return false;
}

Ref current(const Module& m, const char* key) {
    return call(m.global("quill_get_option").get(), {py_str(key)});
}

void store(const Module& m, const char* key, PyObject* value) {
    Ref store = m.global("_QUILL_OPTIONS");
    check_status(PyObject_SetItem(store.get(), py_str(key).get(), value));
}

void warn(const Module& m, PyObject* message) {
    call(attr(m.global("warnings").get(), "warn").get(), {message});
}

bool path_exists(const Module& m, PyObject* path) {
    Ref os_path = attr(m.global("os").get(), "path");
    return is_true(call_method(os_path.get(), "exists", {path}).get());
}

/// `a + b + c` for text pieces, a str subclass taken by its text.
Ref concat(PyObject* a, PyObject* b, PyObject* c) {
    Ref ab = checked(PyUnicode_Concat(a, b));
    return checked(PyUnicode_Concat(ab.get(), c));
}

void check_mode(const Module& m) {
    Ref mode = current(m, "quill.mode");
    if (!is_one_of(mode.get(), kModes))
        raise(PyExc_ValueError,
              "Invalid 'quill.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'.");
    // Accepted but not kept: the engine runs experimental features in compact mode.
    if (is_word(mode.get(), "experimental")) store(m, "quill.mode", py_str("compact").get());
}

void store_default_allocator(const Module& m) {
    Ref table = call(m.global("quill_get_option_default").get());
    Ref tabled = checked(PyObject_GetItem(table.get(), py_str("malloc.lib").get()));
    store(m, "malloc.lib", tabled.get());
}

void check_allocator(const Module& m) {
    Ref lib = current(m, "malloc.lib");
    if (lib.get() == Py_None || is_word(lib.get(), "default")) {
        store_default_allocator(m);
        return;
    }
    bool absolute = PyUnicode_Check(lib.get()) &&
                    check_status(static_cast<int>(PyUnicode_Tailmatch(
                        lib.get(), py_str("/").get(), 0, PY_SSIZE_T_MAX, -1))) == 1;
    if (absolute && !path_exists(m, lib.get())) {
        warn(m, concat(py_str("User-defined library for option 'malloc.lib', ").get(), lib.get(),
                       py_str(", does not exist. Using default.").get()).get());
        store_default_allocator(m);
        return;
    }
    if (!is_one_of(lib.get(), kAllocators) && !path_exists(m, lib.get())) {
        Ref shown = checked(PyObject_Repr(lib.get()));
        warn(m, concat(py_str("Value for option 'malloc.lib' = ").get(), shown.get(),
                       py_str(" may not be available on this system.").get()).get());
    }
}

void check_working_directory(const Module& m) {
    Ref wd = current(m, "working.directory");
    if (!PyUnicode_Check(wd.get())) return;
    if (!is_true(call(m.global("_any_mb").get(), {wd}).get())) return;
    warn(m, concat(py_str("*** working.directory=[").get(), wd.get(),
                   py_str("] contains multibyte characters. This may fail on some systems.").get())
                .get());
}

Ref post_set_checks(Module m) {
    check_mode(m);
    check_allocator(m);
    check_working_directory(m);
    return py_none();
}

const FunctionDef kPostSetChecks{
    .name = "_post_set_checks",
    .params = {},
    .returns = "None",
    .impl = typed<post_set_checks>,
};

}  // namespace

namespace corvid::options {

void add_checks(PyObject* module) { add_function(module, kPostSetChecks); }

}  // namespace corvid::options
