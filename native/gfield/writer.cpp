#include "gfield/parts.hpp"

namespace corvid::gfield {

void add_matrix_writer(PyObject*) {}

}  // namespace corvid::gfield
