/// A mesh read from Python arrays and made ready for point location: copied (rescaled by a
/// power of two when its coordinates are tiny), checked for overlaps, with its neighbour table.
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
    std::vector<double> xy;  ///< the caller's coordinates times 2^shift
    std::vector<std::int32_t> triangles;
    std::vector<std::int32_t> neighbors;
    std::vector<double> area2;
    Box bounds{0.0, 0.0, 0.0, 0.0};  ///< of the triangles' corners, in the frame of xy
    int shift = 0;                   ///< xy is the caller's coordinates times 2^shift

    Mesh<std::int32_t> view() const {
        return {xy.data(),        xy.size() / 2, triangles.data(),
                neighbors.data(), area2.data(),  area2.size()};
    }
};

/// Copies `vertices` ((n, 2) or (n, 3) float64; x and y are used) and `triangles` ((m, 3)
/// int64) and builds what point location needs, with the GIL released for the work.
/// Raises ValueError for a non-finite or huge coordinate, a corner outside the vertices, or
/// triangles that are flat, too small for floating point beside the mesh's coordinates, or
/// overlap, naming the first such vertex or triangle.
PreparedMesh prepare_mesh(PyObject* vertices, PyObject* triangles);

/// The points of `xy` (k rows, `stride` apart) in the mesh's frame: `xy` itself when the
/// frame is the caller's, else a copy with rows (x, y) times 2^shift (infinite where that
/// overflows: such points lie far outside the mesh). Sets `stride` to the copy's.
const double* framed_points(const PreparedMesh& mesh, const double* xy, std::size_t& stride,
                            std::size_t k, std::vector<double>& copy);

}  // namespace corvid::locator
