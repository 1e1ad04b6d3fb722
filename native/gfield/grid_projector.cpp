#include "gfield/parts.hpp"

namespace corvid::gfield {

void add_grid_projector(PyObject*) {}

}  // namespace corvid::gfield
