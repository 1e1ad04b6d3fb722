/// The pieces of corvid.binary.call, each adding its functions to the module.
#pragma once

#include "glue/function.hpp"

namespace corvid::binary_call {

/// `_bits`, `_system`, `_machine`, `_package_root`, `_resolve_path`.
void add_platform(PyObject* module);
/// `quill_call_builtin`, `quill_call_no_remote`, `meshkin_call_builtin`, `quill_remote_script`.
void add_locators(PyObject* module);

}  // namespace corvid::binary_call
