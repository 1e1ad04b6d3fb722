/// corvid.meshkin._locator: point location in a mesh's own triangles, for corvid.meshkin.locate.
#include "glue/module.hpp"
#include "locator/parts.hpp"

namespace {

void exec(PyObject* m) { corvid::locator::add_location(m); }

}  // namespace

CORVID_MODULE(_locator, "corvid.meshkin._locator",
              "Point location in a mesh's own triangles: the triangle that holds each point,\n"
              "its barycentric weights, and the rows of the P1 basis matrix.",
              exec)
