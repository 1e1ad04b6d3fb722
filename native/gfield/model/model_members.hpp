/// Members of `GFIELD2PcMatern` declared apart from the class: the parameterisation matrices,
/// the hyperparameter count and the model-file writer (model_files.cpp).
#pragma once

#include "glue/function.hpp"

namespace corvid::gfield::model {

extern const FunctionDef kComputeBMatrices;
extern const FunctionDef kB0, kB1, kB2, kBLC, kNTheta;
extern const FunctionDef kWriteGfieldFiles;

}  // namespace corvid::gfield::model
