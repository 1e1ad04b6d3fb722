/// Reading options: stored values over defaults, the command defaults found at each read.
#include "options/parts.hpp"

#include "glue/call.hpp"
#include "options/remote_word.hpp"

#include <utility>

using namespace corvid;
using options::has_key;
using options::is_remote_word;
using options::unknown_option;

namespace {

/// The command keys and the module attributes that find their defaults.
constexpr std::pair<const char*, const char*> kCommandDefaults[] = {
    {"quill.call", "quill_call_builtin"},
    {"meshkin.call", "meshkin_call_builtin"},
};

/// `value`, or the launcher script's path when `value` asks for a remote run and a script
/// is found.
Ref remote_resolved(const Module& m, Ref value) {
    if (!is_remote_word(value.get())) return value;
    Ref script = call(m.global("quill_remote_script").get());
    return is_true(script.get()) ? script : value;
}

/// The option table plus the defaults of the command keys the store lacks. The locators run
/// at every read, engine first, so their errors reach every read.
Ref current_defaults(const Module& m, PyObject* store) {
    Ref defaults = call(m.global("quill_get_option_default").get());
    for (const auto& [key, locator] : kCommandDefaults) {
        Ref key_obj = py_str(key);
        if (has_key(store, key_obj.get())) continue;
        Ref path = call(m.global(locator).get());
        check_status(PyObject_SetItem(defaults.get(), key_obj.get(), path.get()));
    }
    return defaults;
}

Ref all_options(const Module& m, PyObject* store, PyObject* defaults) {
    Ref current = checked(PyDict_New());
    check_status(PyDict_Merge(current.get(), defaults, 1));
    check_status(PyDict_Merge(current.get(), store, 1));
    // The whole dictionary shows where a remote run goes; a single read shows the stored word.
    Ref key = py_str("quill.call");
    if (has_key(store, key.get())) {
        Ref stored = checked(PyObject_GetItem(store, key.get()));
        Ref resolved = remote_resolved(m, stored);
        if (resolved.get() != stored.get())
            check_status(PyObject_SetItem(current.get(), key.get(), resolved.get()));
    }
    return current;
}

Ref one_option(const Module& m, PyObject* store, PyObject* defaults, PyObject* key) {
    if (has_key(store, key)) return checked(PyObject_GetItem(store, key));
    if (!has_key(defaults, key)) unknown_option(key);
    Ref value = checked(PyObject_GetItem(defaults, key));
    bool engine_key = PyUnicode_Check(key) &&
                      PyUnicode_CompareWithASCIIString(key, "quill.call") == 0;
    return engine_key ? remote_resolved(m, value) : value;
}

Ref get_option(Module m, Object option) {
    Ref store = m.global("_QUILL_OPTIONS");
    Ref defaults = current_defaults(m, store.get());
    if (option == Py_None) return all_options(m, store.get(), defaults.get());

    if (PyUnicode_Check(option)) return one_option(m, store.get(), defaults.get(), option);
    Ref keys = checked(PySequence_List(option));
    Ref values = checked(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        Ref value = one_option(m, store.get(), defaults.get(), key.get());
        check_status(PyList_Append(values.get(), value.get()));
    }
    return values;
}

Ref enabled_tandem_features(Module m) {
    Ref value = call(m.global("quill_get_option").get(), {py_str("Tandem.features")});
    return py_bool(is_true(value.get()));
}

const FunctionDef kGetOption{
    .name = "quill_get_option",
    .params = {{.name = "option", .annotation = "Optional[Union[str, list]]",
                .default_value = kNone}},
    .doc = "Return the current value of options.\n\n"
           "option=None gives a new dict of all 26 options; a str gives that option's value;\n"
           "any other iterable of keys gives a list of values in the same order. A stored\n"
           "value wins over the default. In the full dict a 'quill.call' of 'remote' or\n"
           "'quill.remote' is replaced by the remote launcher script when there is one; a\n"
           "single read returns the stored word. Raises KeyError for an unknown key.",
    .impl = typed<get_option>,
};

const FunctionDef kEnabledTandemFeatures{
    .name = "quill_enabled_Tandem_features",
    .params = {},
    .returns = "bool",
    .doc = "Return True when the option 'Tandem.features' is truthy.",
    .impl = typed<enabled_tandem_features>,
};

}  // namespace

namespace corvid::options {

void add_reading(PyObject* module) {
    add_function(module, kGetOption);
    add_function(module, kEnabledTandemFeatures);
}

}  // namespace corvid::options
