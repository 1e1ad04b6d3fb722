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

/// `key in mapping`; a key that cannot be hashed is in no mapping (it is an unknown option,
/// not an interpreter error).
bool has_key(PyObject* mapping, PyObject* key);

/// `bool(obj)`.
inline bool is_true(PyObject* obj) { return check_status(PyObject_IsTrue(obj)) == 1; }

/// Raises KeyError "Unknown option '<key>'", the key shown with `str()`.
[[noreturn]] void unknown_option(PyObject* key);

}  // namespace corvid::options
