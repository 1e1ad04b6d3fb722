#include "gfield/parts.hpp"

namespace corvid::gfield {

void add_pcmatern(PyObject*) {}

}  // namespace corvid::gfield
