/// The pieces of corvid.meshkin._locator, each adding its functions to the module.
#pragma once

#include "glue/ref.hpp"

namespace corvid::locator {

/// `_locate`, `_basis` and `_triangles_near`.
void add_location(PyObject* module);

}  // namespace corvid::locator
