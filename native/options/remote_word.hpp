/// The words that, as the engine command, ask for a remote run. The option reader and the
/// local-command lookup of corvid.binary.call both go by this one rule.
#pragma once

#include "glue/call.hpp"

namespace corvid::options {

/// A str whose lower-case form is "remote" or "quill.remote".
inline bool is_remote_word(PyObject* value) {
    if (!PyUnicode_Check(value)) return false;
    Ref lowered = call_method(value, "lower");
    return py_equal(lowered.get(), py_str("remote").get()) ||
           py_equal(lowered.get(), py_str("quill.remote").get());
}

}  // namespace corvid::options
