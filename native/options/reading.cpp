/// Reading options: stored values over defaults, the command defaults found at each read.
#include "options/parts.hpp"

#include "glue/call.hpp"

#include <utility>

using namespace corvid;
using options::is_true;
using options::has_key;
using options::unknown_option;

namespace {

/// The command keys and the module attributes that find their defaults.
constexpr std::pair<const char*, const char*> kCommandDefaults[] = {
    {"quill.call", "quill_call_builtin"},
    {"meshkin.call", "meshkin_call_builtin"},
};

/// A str that, lower-cased, is "remote" or "quill.remote": a request for a remote run.
bool is_remote_word(PyObject* value) {
    if (!PyUnicode_Check(value)) return false;
    Ref lowered = call_method(value, "lower");
    return py_equal(lowered.get(), py_str("remote").get()) ||
           py_equal(lowered.get(), py_str("quill.remote").get());
}

/// `value`, or the launcher script's path when `value` asks for a remote run and a script
/// is found.
Ref remote_resolved(const Args& a, Ref value) {
    if (!is_remote_word(value.get())) return value;
    Ref script = call(module_attr(a, "quill_remote_script").get());
    return is_true(script.get()) ? script : value;
}

/// The option table plus the defaults of the command keys the store lacks. The locators run
/// at every read, engine first, so their errors reach every read.
Ref current_defaults(const Args& a, PyObject* store) {
    Ref defaults = call(module_attr(a, "quill_get_option_default").get());
    for (const auto& [key, locator] : kCommandDefaults) {
        Ref key_obj = py_str(key);
        if (has_key(store, key_obj.get())) continue;
        Ref path = call(module_attr(a, locator).get());
        check_status(PyObject_SetItem(defaults.get(), key_obj.get(), path.get()));
    }
    return defaults;
}

Ref all_options(const Args& a, PyObject* store, PyObject* defaults) {
    Ref current = checked(PyDict_New());
    check_status(PyDict_Merge(current.get(), defaults, 1));
    check_status(PyDict_Merge(current.get(), store, 1));
    // The whole dictionary shows where a remote run goes; a single read shows the stored word.
    Ref key = py_str("quill.call");
    if (has_key(store, key.get())) {
        Ref stored = checked(PyObject_GetItem(store, key.get()));
        Ref resolved = remote_resolved(a, stored);
        if (resolved.get() != stored.get())
            check_status(PyObject_SetItem(current.get(), key.get(), resolved.get()));
    }
    return current;
}

Ref one_option(const Args& a, PyObject* store, PyObject* defaults, PyObject* key) {
    if (has_key(store, key)) return checked(PyObject_GetItem(store, key));
    if (!has_key(defaults, key)) unknown_option(key);
    Ref value = checked(PyObject_GetItem(defaults, key));
    bool engine_key = PyUnicode_Check(key) &&
                      PyUnicode_CompareWithASCIIString(key, "quill.call") == 0;
    return engine_key ? remote_resolved(a, value) : value;
}

Ref get_option(Args a) {
    PyObject* option = a[0];
    Ref store = module_attr(a, "_QUILL_OPTIONS");
    Ref defaults = current_defaults(a, store.get());
    if (option == Py_None) return all_options(a, store.get(), defaults.get());

    if (PyUnicode_Check(option)) return one_option(a, store.get(), defaults.get(), option);
    Ref keys = checked(PySequence_List(option));
    Ref values = checked(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        Ref value = one_option(a, store.get(), defaults.get(), key.get());
        check_status(PyList_Append(values.get(), value.get()));
    }
    return values;
}

Ref enabled_tandem_features(Args a) {
    Ref value = call(module_attr(a, "quill_get_option").get(), {py_str("Tandem.features")});
    return py_bool(is_true(value.get()));
}

const FunctionDef kGetOption{
    .name = "quill_get_option",
    .params = {{.name = "option", .annotation = "Optional[Union[str, list]]",
                .default_value = "None"}},
    .doc = "Return the current value of options.\n\n"
           "option=None gives a new dict of all 26 options; a str gives that option's value;\n"
           "any other iterable of keys gives a list of values in the same order. A stored\n"
           "value wins over the default. In the full dict a 'quill.call' of 'remote' or\n"
           "'quill.remote' is replaced by the remote launcher script when there is one; a\n"
           "single read returns the stored word. Raises KeyError for an unknown key.",
    .impl = get_option,
};

const FunctionDef kEnabledTandemFeatures{
    .name = "quill_enabled_Tandem_features",
    .params = {},
    .returns = "bool",
    .doc = "Return True when the option 'Tandem.features' is truthy.",
    .impl = enabled_tandem_features,
};

}  // namespace

namespace corvid::options {

void add_reading(PyObject* module) {
    add_function(module, kGetOption);
    add_function(module, kEnabledTandemFeatures);
}

}  // namespace corvid::options
