/// corvid.meshkin.gfield: the PC-Matérn field model, its model files and projector matrices.
#include "gfield/parts.hpp"
#include "glue/call.hpp"
#include "glue/module.hpp"

using namespace corvid;

namespace {

void exec(PyObject* m) {
    // The mesh and finite-element facilities, bound once; the functions below look them up
    // through the module at each call.
    for (const char* name : {"MkMesh", "MkFEM"})
        check_status(PyModule_AddObjectRef(m, name, import_from(m, "mesh", name, 1).get()));
    check_status(PyModule_AddObjectRef(m, "mk_fem", import_from(m, "core", "mk_fem", 1).get()));
    gfield::add_matrix_writer(m);
    gfield::add_pcmatern(m);
    gfield::add_projector(m);
    gfield::add_grid_projector(m);
}

}  // namespace

CORVID_MODULE(gfield, "corvid.meshkin.gfield",
              "Spatial field models on triangular meshes: the PC-Matern field, its model files,\n"
              "the projector matrix to observation locations and the grid projector.",
              exec)
