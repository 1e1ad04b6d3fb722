/// Multi-phase module initialisation: the module is in `sys.modules` while its contents are
/// created, so `dataclasses` and relative imports see it.
#pragma once

#include "glue/boundary.hpp"
#include "glue/function.hpp"

namespace corvid {

/// Runs a module's exec step, translating exceptions into the import error.
template <void (*Exec)(PyObject*)>
int exec_module(PyObject* module) noexcept {
    return guarded([&]() -> int {
        ready_function_type();
        Exec(module);
        return 0;
    });
}

}  // namespace corvid

#if PY_VERSION_HEX >= 0x030C0000
#define CORVID_MODULE_INTERPRETER_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define CORVID_MODULE_INTERPRETER_SLOT
#endif

/// Defines `PyInit_<name>` for a module whose contents are created by `exec_fn(module)`.
#define CORVID_MODULE(name, qualified_name, doc, exec_fn)                                   \
    static PyModuleDef_Slot name##_slots[] = {                                              \
        {Py_mod_exec, reinterpret_cast<void*>(&::corvid::exec_module<exec_fn>)},            \
        CORVID_MODULE_INTERPRETER_SLOT{0, nullptr}};                                        \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, qualified_name, doc, 0,         \
                                     nullptr, name##_slots, nullptr, nullptr, nullptr};     \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_def); }
