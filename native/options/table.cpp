/// The option table: the 24 tabled keys with their defaults, in the order readers see them.
#include "options/parts.hpp"

#include "glue/call.hpp"

using namespace corvid;

namespace {

enum class Kind { none, text, truth, integer, threads };

struct Default {
    const char* key;
    Kind kind;
    const char* text = "";
    int number = 0;  ///< the integer, or the truth value (0 or 1)
};

// "quill.call" and "meshkin.call" are valid keys too, but their defaults are computed by the
// getter at each read, so they have no row here.
constexpr Default kTable[] = {
    {.key = "quill.arg", .kind = Kind::none},
    {.key = "meshkin.arg", .kind = Kind::text, .text = ""},
    {.key = "num.threads", .kind = Kind::threads},
    {.key = "smtp", .kind = Kind::text, .text = "default"},
    {.key = "safe", .kind = Kind::truth, .number = 1},
    {.key = "keep", .kind = Kind::truth, .number = 0},
    {.key = "verbose", .kind = Kind::truth, .number = 0},
    {.key = "save.memory", .kind = Kind::truth, .number = 0},
    {.key = "internal.opt", .kind = Kind::truth, .number = 1},
    {.key = "working.directory", .kind = Kind::none},
    {.key = "silent", .kind = Kind::truth, .number = 1},
    {.key = "debug", .kind = Kind::truth, .number = 0},
    {.key = "show.warning.graph.file", .kind = Kind::truth, .number = 1},
    {.key = "scale.model.default", .kind = Kind::truth, .number = 0},
    {.key = "short.summary", .kind = Kind::truth, .number = 0},
    {.key = "quill.timeout", .kind = Kind::integer, .number = 0},
    {.key = "meshkin.timeout", .kind = Kind::integer, .number = 0},
    {.key = "quill.mode", .kind = Kind::text, .text = "compact"},
    {.key = "malloc.lib", .kind = Kind::text, .text = "mi"},
    {.key = "meshkin.evolution", .kind = Kind::integer, .number = 2},
    {.key = "meshkin.evolution.warn", .kind = Kind::truth, .number = 1},
    {.key = "meshkin.evolution.verbosity", .kind = Kind::text, .text = "default"},
    {.key = "Tandem.features", .kind = Kind::truth, .number = 0},
    {.key = "numa", .kind = Kind::truth, .number = 0},
};

Ref cpu_default_string(Module m) {
    Ref n = call(attr(m.global("os").get(), "cpu_count").get());
    if (!is_true(n.get())) n = py_int(1);
    // At most 16 threads, at least 1.
    Ref cap = py_int(16);
    if (!check_status(PyObject_RichCompareBool(n.get(), cap.get(), Py_LT))) n = cap;
    Ref one = py_int(1);
    if (!check_status(PyObject_RichCompareBool(n.get(), one.get(), Py_GT))) n = one;
    Ref digits = checked(PyObject_Str(n.get()));
    return checked(PyUnicode_Concat(digits.get(), py_str(":1").get()));
}

Ref default_value(const Module& m, const Default& row) {
    switch (row.kind) {
        case Kind::none: return py_none();
        case Kind::text: return py_str(row.text);
        case Kind::truth: return py_bool(row.number != 0);
        case Kind::integer: return py_int(row.number);
        case Kind::threads: return call(m.global("_cpu_default_string").get());
    }
    return py_none();
}

Ref get_option_default(Module m) {
    Ref table = checked(PyDict_New());
    for (const Default& row : kTable)
        check_status(PyDict_SetItemString(table.get(), row.key, default_value(m, row).get()));
    return table;
}

const FunctionDef kCpuDefaultString{
    .name = "_cpu_default_string",
    .params = {},
    .returns = "str",
    .impl = typed<cpu_default_string>,
};

const FunctionDef kGetOptionDefault{
    .name = "quill_get_option_default",
    .params = {},
    .returns = "Dict[str, Any]",
    .doc = "Return a new dict of the 24 tabled options and their defaults, in table order.\n\n"
           "'quill.call' and 'meshkin.call' are not included: their defaults are the paths\n"
           "of the packaged executables, found at each read by quill_get_option().",
    .impl = typed<get_option_default>,
};

}  // namespace

namespace corvid::options {

void add_table(PyObject* module) {
    add_function(module, kCpuDefaultString);
    add_function(module, kGetOptionDefault);
}

}  // namespace corvid::options
