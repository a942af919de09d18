// libFuzzer target for the mesh reader.
//
// The first byte picks the format (its value modulo 3: OBJ, STL, PLY), the rest is the file. Besides "no crash,
// no sanitizer finding, no allocation beyond the fuzzer's memory limit", it checks what the reader promises of a
// mesh it accepts: finite vertices, and faces that index them.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshIO.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace Kelvaros;
    Fuzz::quietLog();
    if (size == 0)
        return 0;

    static const char* const names[] = { "fuzz.obj", "fuzz.stl", "fuzz.ply" };
    const std::unique_ptr<Mesh> mesh =
      MeshIO::load(reinterpret_cast<const char*>(data + 1), size - 1, names[data[0] % 3]);
    if (!mesh)
        return 0;

    for (const Eigen::Vector3d& vertex : mesh->vertices())
        if (!vertex.allFinite())
            __builtin_trap(); // a vertex that is not a number came through
    const int count = int(mesh->vertices().size());
    for (const Eigen::Vector3i& face : mesh->faces())
        if (face.minCoeff() < 0 || face.maxCoeff() >= count)
            __builtin_trap(); // a face points past the vertices
    return 0;
}
