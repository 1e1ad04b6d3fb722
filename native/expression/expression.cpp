/// corvid.safety.expression: recognising and vetting expression priors.
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/module.hpp"
#include "glue/text.hpp"

#include "expression/prior_check.hpp"

using namespace corvid;
using expression::kAllowedChars;

namespace {

constexpr const char* kFunctions[] = {"exp",  "log",  "log2",  "log10", "sqrt",  "abs",
                                      "sin",  "cos",  "tan",   "asin",  "acos",  "atan",
                                      "sinh", "cosh", "tanh",  "asinh", "acosh", "atanh",
                                      "min",  "max",  "sum",   "avg"};
constexpr const char* kReserved[] = {"pi", "theta", "return"};

constexpr const char* kPrefix = "corvid safety check: expression prior ";

[[noreturn]] void refuse(const Module& m, const Text& rest) {
    raise_with(m.global("SafetyError").get(), Text() << kPrefix << rest.str());
}

Ref is_expression_prior(Object prior) {
    if (!PyUnicode_Check(prior)) return py_bool(false);
    Ref stripped = call_method(prior, "strip");
    Ref lowered = call_method(stripped.get(), "lower");
    return call_method(lowered.get(), "startswith", {py_str("expression:")});
}

/// The sorted quoted forms of the characters of `body` that `pattern.match` refuses.
Ref refused_by(PyObject* pattern, PyObject* body) {
    Ref quoted = checked(PySet_New(nullptr));
    Ref iter = checked(PyObject_GetIter(body));
    while (Ref ch = Ref::steal(PyIter_Next(iter.get()))) {
        if (call_method(pattern, "match", {ch}).get() != Py_None) continue;
        check_status(PySet_Add(quoted.get(), checked(PyObject_Repr(ch.get())).get()));
    }
    if (PyErr_Occurred()) throw_python_error();
    return quoted;
}

/// `", ".join(sorted(texts))`.
Ref sorted_joined(PyObject* texts) {
    Ref sorted = checked(PySequence_List(texts));
    check_status(PyList_Sort(sorted.get()));
    return checked(PyUnicode_Join(py_str(", ").get(), sorted.get()));
}

/// The checks after the character class, on a body a rebound pattern accepted (it may hold
/// any character, so these run as str operations).
void check_statements(const Module& m, PyObject* body) {
    Ref compact = call_method(body, "replace", {py_str(" "), py_str("")});
    if (!check_status(PySequence_Contains(compact.get(), py_str("return(").get())))
        refuse(m, Text() << "must contain a return() statement.");
    Ref lowered = call_method(body, "lower");
    for (std::string_view token : expression::kBlockedTokens) {
        if (check_status(PySequence_Contains(lowered.get(), py_str(token).get())))
            refuse(m, Text() << "contains blocked token '" << token << "'.");
    }
}

Ref validate_expression_prior(Module m, Str prior) {
    using expression::Verdict;
    expression::Finding f = expression::check_text(prior);
    if (f.verdict == Verdict::no_colon) refuse(m, Text() << "must start with 'expression:'.");
    if (f.verdict == Verdict::empty_body) refuse(m, Text() << "body is empty.");

    Ref pattern = m.global("_EXPRESSION_ALLOWED_CHARS");
    if (!expression::is_own_pattern(pattern.get())) {
        Ref body = checked(PyUnicode_Substring(prior, static_cast<Py_ssize_t>(f.body_begin),
                                               static_cast<Py_ssize_t>(f.body_end)));
        if (call_method(pattern.get(), "match", {body}).get() == Py_None) {
            Ref refused = refused_by(pattern.get(), body.get());
            refuse(m, Text() << "contains disallowed characters: " << sorted_joined(refused.get()) << ".");
        }
        check_statements(m, body.get());
        return py_none();
    }
    switch (f.verdict) {
        case Verdict::disallowed_characters: {
            Ref quoted = checked(PySet_New(nullptr));
            for (uint32_t code : f.refused) {
                Ref ch = checked(PyUnicode_FromOrdinal(static_cast<int>(code)));
                check_status(PySet_Add(quoted.get(), checked(PyObject_Repr(ch.get())).get()));
            }
            refuse(m, Text() << "contains disallowed characters: " << sorted_joined(quoted.get()) << ".");
        }
        case Verdict::no_return: refuse(m, Text() << "must contain a return() statement.");
        case Verdict::blocked_token:
            refuse(m, Text() << "contains blocked token '" << expression::kBlockedTokens[f.token] << "'.");
        default: return py_none();
    }
}

const FunctionDef kIsExpressionPrior{
    .name = "_is_expression_prior",
    .params = {{.name = "prior", .annotation = "Any"}},
    .returns = "bool",
    .doc = "Tell whether `prior` is an expression prior text: a str that, stripped and\n"
           "lower-cased, starts with 'expression:'.",
    .impl = typed<is_expression_prior>,
};

const FunctionDef kValidateExpressionPrior{
    .name = "_validate_expression_prior",
    .params = {{.name = "prior", .annotation = "str"}},
    .returns = "None",
    .doc = "Validate an expression prior text before it reaches the engine.\n\n"
           "The body after the first ':' must be non-empty, use only characters of the\n"
           "expression language, contain a return(...) statement and contain no suspicious\n"
           "token. Raises SafetyError naming the first check that fails. Only the text after\n"
           "the first ':' is read: tell expression priors apart with _is_expression_prior\n"
           "first.",
    .impl = typed<validate_expression_prior>,
};

template <size_t N>
Ref string_set(const char* const (&items)[N]) {
    Ref set = checked(PySet_New(nullptr));
    for (const char* item : items) check_status(PySet_Add(set.get(), py_str(item).get()));
    return set;
}

void exec(PyObject* m) {
    Ref re = import("re");
    check_status(PyModule_AddObjectRef(m, "re", re.get()));
    check_status(PyModule_AddObjectRef(m, "Any", import_from(m, "typing", "Any", 0).get()));
    check_status(PyModule_AddObjectRef(m, "SafetyError", import_from(m, "errors", "SafetyError", 1).get()));
    check_status(PyModule_AddObjectRef(m, "_MUPARSER_FUNCTIONS", string_set(kFunctions).get()));
    check_status(PyModule_AddObjectRef(m, "_MUPARSER_RESERVED", string_set(kReserved).get()));
    Ref pattern = call_method(re.get(), "compile", {py_str(kAllowedChars)});
    check_status(PyModule_AddObjectRef(m, "_EXPRESSION_ALLOWED_CHARS", pattern.get()));
    add_function(m, kIsExpressionPrior);
    add_function(m, kValidateExpressionPrior);
}

}  // namespace

CORVID_MODULE(expression, "corvid.safety.expression",
              "Expression prior validation (muparser mini-language).", exec)
