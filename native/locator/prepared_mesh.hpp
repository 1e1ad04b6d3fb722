/// A mesh read from Python arrays and made ready for point location: copied, checked for
/// overlaps, with its neighbour table and bucket grid.
#pragma once

#include "glue/ref.hpp"
#include "locator/kernels/bucket_grid.hpp"
#include "locator/kernels/mesh.hpp"

#include <cstdint>
#include <vector>

namespace corvid::locator {

/// Vertex coordinates beyond this magnitude could overflow the orientation tests.
inline constexpr double kMaxCoordinate = 1e150;

struct PreparedMesh {
    std::vector<double> xy;
    std::vector<std::int32_t> triangles;
    std::vector<std::int32_t> neighbors;
    std::vector<double> area2;
    BucketGrid grid;

    Mesh<std::int32_t> view() const {
        return {xy.data(),        xy.size() / 2, triangles.data(),
                neighbors.data(), area2.data(),  area2.size()};
    }
};

/// Copies `vertices` ((n, 2) or (n, 3) float64; x and y are used) and `triangles` ((m, 3)
/// int64) and builds what point location needs, with the GIL released for the work.
/// Raises ValueError for a non-finite or huge coordinate, a corner outside the vertices, or
/// triangles that are flat or overlap, naming the first such vertex or triangle.
PreparedMesh prepare_mesh(PyObject* vertices, PyObject* triangles);

}  // namespace corvid::locator
