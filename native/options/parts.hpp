/// The pieces of corvid.options, and the key helpers they share.
#pragma once

#include "glue/function.hpp"

namespace corvid::options {

/// `_cpu_default_string`, `quill_get_option_default`: the option table.
void add_table(PyObject* module);
/// `quill_get_option`, `quill_enabled_Tandem_features`.
void add_reading(PyObject* module);
/// `quill_set_option`, `_set_one`.
void add_setting(PyObject* module);
/// `_post_set_checks`.
void add_checks(PyObject* module);

/// `key in mapping`, with the mapping's own error for a key it cannot look up (an unhashable
/// one).
inline bool has_key(PyObject* mapping, PyObject* key) {
    return check_status(PySequence_Contains(mapping, key)) == 1;
}

/// Raises KeyError "Unknown option '<key>'", the key shown with `str()`.
[[noreturn]] void unknown_option(PyObject* key);

}  // namespace corvid::options
