/// Setting options: the two calling forms, key validation and the store.
#include "options/parts.hpp"

#include "glue/call.hpp"

using namespace corvid;
using options::has_key;
using options::unknown_option;

namespace {

Ref set_option(Module m, VarArgs args, VarKwargs kwargs) {
    Py_ssize_t n_positional = PyTuple_GET_SIZE(args.get());
    Py_ssize_t n_keywords = PyDict_GET_SIZE(kwargs.get());
    if (n_positional == 2 && n_keywords == 0) {
        PyObject* key = PyTuple_GET_ITEM(args.get(), 0);
        if (!PyUnicode_Check(key))
            raise(PyExc_TypeError, "First positional argument must be a string key");
        call(m.global("_set_one").get(), {key, PyTuple_GET_ITEM(args.get(), 1)});
    } else if (n_positional == 0 && n_keywords > 0) {
        // Keywords are stored in call order; an unknown one stops the loop, the earlier stay.
        Ref items = checked(PyDict_Items(kwargs));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            call(m.global("_set_one").get(),
                 {PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)});
        }
    } else {
        raise(PyExc_TypeError,
              "Use either quill_set_option('key', value) or quill_set_option(key=value, ...).");
    }
    call(m.global("_post_set_checks").get());
    return py_none();
}

/// The 26 valid keys, computed afresh: the table's keys and the two command keys.
Ref valid_keys(const Module& m) {
    Ref table = call(m.global("quill_get_option_default").get());
    Ref keys = checked(PySet_New(call_method(table.get(), "keys").get()));
    for (const char* key : {"quill.call", "meshkin.call"})
        check_status(PySet_Add(keys.get(), py_str(key).get()));
    return keys;
}

Ref set_one(Module m, Object option, Object value) {
    if (!has_key(valid_keys(m).get(), option)) unknown_option(option);
    check_status(PyObject_SetItem(m.global("_QUILL_OPTIONS").get(), option, value));
    return py_none();
}

const FunctionDef kSetOption{
    .name = "quill_set_option",
    .params = {{.name = "args", .kind = ParamKind::var_positional},
               {.name = "kwargs", .kind = ParamKind::var_keyword}},
    .returns = "None",
    .doc = "Set options, then check the engine mode, the allocator and the working directory.\n\n"
           "Either quill_set_option('key', value), or quill_set_option(key=value, ...) with\n"
           "the keys taken verbatim (pass dotted keys as **{'num.threads': '4:1'}). Values\n"
           "are stored as given. Raises KeyError for an unknown key and ValueError for an\n"
           "invalid 'quill.mode'; 'experimental' is stored as 'compact', and a 'malloc.lib'\n"
           "of None or 'default' as 'mi'.",
    .impl = typed<set_option>,
};

const FunctionDef kSetOne{
    .name = "_set_one",
    .params = {{.name = "option", .annotation = "str"}, {.name = "value", .annotation = "Any"}},
    .returns = "None",
    .impl = typed<set_one>,
};

}  // namespace

namespace corvid::options {

void add_setting(PyObject* module) {
    add_function(module, kSetOption);
    add_function(module, kSetOne);
}

}  // namespace corvid::options
