#include "gfield/parts.hpp"

namespace corvid::gfield {

void add_projector(PyObject*) {}

}  // namespace corvid::gfield
