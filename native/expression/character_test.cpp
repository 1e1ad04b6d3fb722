#include "expression/character_test.hpp"

#include "expression/kernels/character_class.hpp"
#include "glue/call.hpp"
#include "glue/gil.hpp"

#include <vector>

namespace corvid::expression {

namespace {

/// True when `pattern` is an `re.Pattern` compiled from the module's source with the default
/// flags: its `match` then means exactly the class the kernel tests.
bool is_own_pattern(PyObject* pattern) {
    Ref re = import("re");
    if (reinterpret_cast<PyObject*>(Py_TYPE(pattern)) != attr(re.get(), "Pattern").get()) return false;
    Ref source = attr(pattern, "pattern");
    if (!PyUnicode_CheckExact(source.get()) || !py_equal(source.get(), py_str(kAllowedChars).get()))
        return false;
    return py_equal(attr(pattern, "flags").get(), attr(re.get(), "UNICODE").get());
}

/// Runs `f(units, n)` over the code units of a str; the str is immutable and held by the
/// caller, so it may be read with the GIL released.
template <class F>
auto with_units(PyObject* text, F&& f) {
    const void* data = PyUnicode_DATA(text);
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return f(static_cast<const Py_UCS2*>(data), n);
        default: return f(static_cast<const Py_UCS4*>(data), n);
    }
}

/// The interpreter's own whitespace test, the one `\s` uses.
bool is_space(uint32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }

}  // namespace

CharacterTest::CharacterTest(Ref pattern) : pattern_(std::move(pattern)), own_(is_own_pattern(pattern_.get())) {}

bool CharacterTest::accepts_all(PyObject* text) const {
    if (!own_) return call_method(pattern_.get(), "match", {text}).get() != Py_None;
    bool all = false;
    without_gil([&] {
        all = with_units(text, [](auto units, size_t n) { return all_allowed(units, n, is_space); });
    });
    return all;
}

Ref CharacterTest::refused(PyObject* text) const {
    Ref quoted = checked(PySet_New(nullptr));
    auto add = [&](PyObject* ch) {
        Ref r = checked(PyObject_Repr(ch));
        check_status(PySet_Add(quoted.get(), r.get()));
    };
    if (own_) {
        std::vector<uint32_t> codes;
        without_gil([&] {
            codes = with_units(text, [](auto units, size_t n) { return expression::refused(units, n, is_space); });
        });
        for (uint32_t code : codes) add(checked(PyUnicode_FromOrdinal(static_cast<int>(code))).get());
    } else {
        Ref iter = checked(PyObject_GetIter(text));
        while (Ref ch = Ref::steal(PyIter_Next(iter.get())))
            if (call_method(pattern_.get(), "match", {ch}).get() == Py_None) add(ch.get());
        if (PyErr_Occurred()) throw_python_error();
    }
    Ref sorted = checked(PySequence_List(quoted.get()));
    check_status(PyList_Sort(sorted.get()));
    return checked(PyUnicode_Join(py_str(", ").get(), sorted.get()));
}

}  // namespace corvid::expression
