/// corvid.safety.expression: recognising and vetting expression priors.
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/module.hpp"
#include "glue/text.hpp"

#include "expression/character_test.hpp"

using namespace corvid;
using expression::CharacterTest;
using expression::kAllowedChars;

namespace {

constexpr const char* kFunctions[] = {"exp",  "log",  "log2",  "log10", "sqrt",  "abs",
                                      "sin",  "cos",  "tan",   "asin",  "acos",  "atan",
                                      "sinh", "cosh", "tanh",  "asinh", "acosh", "atanh",
                                      "min",  "max",  "sum",   "avg"};
constexpr const char* kReserved[] = {"pi", "theta", "return"};

// Substrings of the lower-cased body that point to code injection.
constexpr const char* kBlockedTokens[] = {"import", "__",      "exec",     "eval",    "system",
                                          "subprocess", "os.", "open(",    "file(",   "compile",
                                          "globals", "locals", "getattr", "setattr", "delattr"};

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

Ref validate_expression_prior(Module m, Str prior) {
    Ref text = call_method(prior, "strip");
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    Py_ssize_t colon = PyUnicode_FindChar(text.get(), ':', 0, length, 1);
    if (colon == -2) throw_python_error();
    if (colon < 0) refuse(m, Text() << "must start with 'expression:'.");

    Ref after = checked(PyUnicode_Substring(text.get(), colon + 1, length));
    Ref body = call_method(after.get(), "strip");
    if (PyUnicode_GET_LENGTH(body.get()) == 0) refuse(m, Text() << "body is empty.");

    CharacterTest characters(m.global("_EXPRESSION_ALLOWED_CHARS"));
    if (!characters.accepts_all(body.get()))
        refuse(m, Text() << "contains disallowed characters: " << characters.refused(body.get()) << ".");

    Ref compact = call_method(body.get(), "replace", {py_str(" "), py_str("")});
    if (!check_status(PySequence_Contains(compact.get(), py_str("return(").get())))
        refuse(m, Text() << "must contain a return() statement.");

    Ref lowered = call_method(body.get(), "lower");
    for (const char* token : kBlockedTokens) {
        if (check_status(PySequence_Contains(lowered.get(), py_str(token).get())))
            refuse(m, Text() << "contains blocked token '" << token << "'.");
    }
    return py_none();
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
