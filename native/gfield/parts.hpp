/// The pieces of corvid.meshkin.gfield, each adding its functions and classes to the module.
#pragma once

#include "glue/ref.hpp"

namespace corvid::gfield {

/// `_write_meshkin_file`: one matrix into one file of the binary matrix format.
void add_matrix_writer(PyObject* module);
/// `gfield2_pcmatern` and the `GFIELD2PcMatern` model class.
void add_pcmatern(PyObject* module);
/// `gfield_make_A`, `_compute_barycentric`, `_find_nearest_vertex`.
void add_projector(PyObject* module);
/// `gfield_grid_projector` and the `GfieldGridProjector` class.
void add_grid_projector(PyObject* module);

}  // namespace corvid::gfield
