#include "expression/prior_check.hpp"

#include "glue/call.hpp"
#include "glue/gil.hpp"

namespace corvid::expression {

namespace {

/// The interpreter's own whitespace test, the one str.strip() and `\s` use.
bool is_space(uint32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }

}  // namespace

Finding check_text(PyObject* text) {
    const void* data = PyUnicode_DATA(text);
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    int kind = PyUnicode_KIND(text);
    Finding finding;
    without_gil([&] {
        switch (kind) {
            case PyUnicode_1BYTE_KIND: finding = check_prior(static_cast<const Py_UCS1*>(data), n, is_space); break;
            case PyUnicode_2BYTE_KIND: finding = check_prior(static_cast<const Py_UCS2*>(data), n, is_space); break;
            default: finding = check_prior(static_cast<const Py_UCS4*>(data), n, is_space); break;
        }
    });
    return finding;
}

bool is_own_pattern(PyObject* pattern) {
    Ref re = import("re");
    if (reinterpret_cast<PyObject*>(Py_TYPE(pattern)) != attr(re.get(), "Pattern").get()) return false;
    Ref source = attr(pattern, "pattern");
    if (!PyUnicode_CheckExact(source.get()) || !py_equal(source.get(), py_str(kAllowedChars).get()))
        return false;
    return py_equal(attr(pattern, "flags").get(), attr(re.get(), "UNICODE").get());
}

}  // namespace corvid::expression
