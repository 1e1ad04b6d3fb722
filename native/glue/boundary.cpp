#include "glue/boundary.hpp"

namespace corvid {

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const python_error&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error reported without a Python exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace corvid
