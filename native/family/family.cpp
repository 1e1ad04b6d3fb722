/// corvid.safety.family: the allow-list of likelihood families.
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/module.hpp"

#include <string>

using namespace corvid;

namespace {

constexpr const char* kPrefix = "corvid safety check: ";

/// `str(obj).strip().lower()`.
Ref normalize(PyObject* obj) {
    Ref text = checked(PyObject_Str(obj));
    Ref stripped = call_method(text.get(), "strip");
    return call_method(stripped.get(), "lower");
}

/// Raises `SafetyError(message)`; the message stays a Python str, so any name it quotes
/// (a lone surrogate included) reaches the caller as given.
[[noreturn]] void refuse(const Module& m, PyObject* message) {
    Ref exc = call(m.global("SafetyError").get(), {message});
    raise_object(exc.get());
}

[[noreturn]] void refuse(const Module& m, const char* rest) {
    refuse(m, py_str(std::string(kPrefix) + rest).get());
}

/// `", ".join(sorted(names))`.
Ref sorted_joined(PyObject* names) {
    Ref list = checked(PySequence_List(names));
    check_status(PyList_Sort(list.get()));
    return checked(PyUnicode_Join(py_str(", ").get(), list.get()));
}

Ref normalize_family_spec(Object family) {
    Ref names = checked(PyList_New(0));
    if (family == Py_None) return names;
    bool collection = PyList_Check(family) || PyTuple_Check(family) || PySet_Check(family);
    Ref items = collection ? Ref::borrow(family) : py_tuple({family});
    Ref iter = checked(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (item.get() == Py_None) continue;
        check_status(PyList_Append(names.get(), normalize(item.get()).get()));
    }
    if (PyErr_Occurred()) throw_python_error();
    return names;
}

Ref normalize_link_value(Object link) {
    if (link == Py_None) return py_none();
    if (PyDict_Check(link)) {
        Ref model = call_method(link, "get", {py_str("model")});
        if (model.get() == Py_None) return py_none();
        return normalize(model.get());
    }
    return normalize(link);
}

Ref enforce_allowed_family(Module m, Dict kwargs, Object allowed) {
    Ref allowed_set = checked(PySet_New(nullptr));
    Ref iter = checked(PyObject_GetIter(allowed));
    while (Ref item = Ref::steal(PyIter_Next(iter.get())))
        check_status(PySet_Add(allowed_set.get(), normalize(item.get()).get()));
    if (PyErr_Occurred()) throw_python_error();

    Ref key = py_str("family");
    if (!check_status(PyDict_Contains(kwargs, key.get())))
        refuse(m, "please pass the 'family' argument explicitly.");

    // The normaliser may be rebound: its result is used as it is, tested for truth, iterated
    // for the unsupported names, and iterated again for the result (a generator is spent by
    // then, as it would be in Python).
    Ref value = call_method(kwargs, "get", {key});
    Ref fam = call(m.global("_normalize_family_spec").get(), {value});
    if (!is_true(fam.get())) refuse(m, "'family' may not be empty.");

    Ref invalid = checked(PyList_New(0));
    Ref names = checked(PyObject_GetIter(fam.get()));
    while (Ref name = Ref::steal(PyIter_Next(names.get()))) {
        if (!check_status(PySet_Contains(allowed_set.get(), name.get())))
            check_status(PyList_Append(invalid.get(), name.get()));
    }
    if (PyErr_Occurred()) throw_python_error();
    if (PyList_GET_SIZE(invalid.get()) > 0) {
        Ref distinct = checked(PySet_New(invalid.get()));
        Ref requested_names = sorted_joined(distinct.get());
        Ref allowed_names = sorted_joined(allowed_set.get());
        refuse(m, checked(PyUnicode_FromFormat("%sunsupported family requested: %U. Only %U "
                                               "allowed.",
                                               kPrefix, requested_names.get(),
                                               allowed_names.get()))
                      .get());
    }
    return checked(PySequence_Tuple(fam.get()));
}

/// The families the engine is allowed to fit unless the caller names others.
const Value kDefaultFamilies = Value::tuple(
    {"gaussian", "poisson", "binomial", "xbinomial", "gamma", "nbinomial", "nbinomial2", "beta",
     "betabinomial", "exponential", "exponentialsurv", "gammasurv", "lognormal", "lognormalsurv",
     "logistic", "loglogistic", "loglogisticsurv", "sn", "t", "weibull", "weibullsurv"});

const FunctionDef kNormalizeFamilySpec{
    .name = "_normalize_family_spec",
    .params = {{.name = "family", .annotation = "Any"}},
    .returns = "Iterable[str]",
    .doc = "Normalise a family specification (a name, or a list, tuple or set of names) to a\n"
           "list of stripped, lower-cased names; None items are dropped.",
    .impl = typed<normalize_family_spec>,
};

const FunctionDef kNormalizeLinkValue{
    .name = "_normalize_link_value",
    .params = {{.name = "link_val", .annotation = "Any"}},
    .returns = "str | None",
    .doc = "Normalise a link specification (a name, or a dict holding it under 'model') to a\n"
           "stripped, lower-cased name, or None when there is none.",
    .impl = typed<normalize_link_value>,
};

const FunctionDef kEnforceAllowedFamily{
    .name = "enforce_allowed_family",
    .params = {{.name = "kwargs", .annotation = "Dict[str, Any]"},
               {.name = "allowed",
                .annotation = "Iterable[str]",
                .default_value = kDefaultFamilies,
                .kind = ParamKind::keyword_only}},
    .returns = "Tuple[str, ...]",
    .doc = "Insist that `kwargs` names a likelihood family and that every requested name is\n"
           "allowed.\n\n"
           "Returns the requested names, normalised (stripped, lower-cased), in request order.\n"
           "Raises SafetyError when 'family' is missing or empty, or names a family outside\n"
           "`allowed`.",
    .impl = typed<enforce_allowed_family>,
};

void exec(PyObject* m) {
    for (const char* name : {"Any", "Dict", "Iterable", "Tuple"})
        check_status(PyModule_AddObjectRef(m, name, import_from(m, "typing", name, 0).get()));
    check_status(PyModule_AddObjectRef(m, "SafetyError", import_from(m, "errors", "SafetyError", 1).get()));
    add_function(m, kNormalizeFamilySpec);
    add_function(m, kNormalizeLinkValue);
    add_function(m, kEnforceAllowedFamily);
}

}  // namespace

CORVID_MODULE(family, "corvid.safety.family", "Allow-list of the likelihood families.", exec)
