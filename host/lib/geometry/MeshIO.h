#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "core/Export.h"

namespace Kelvaros
{

class Mesh;
class Progress;

/// Reads triangle meshes (Wavefront OBJ, STL in ASCII or binary, PLY) through assimp and writes OBJ.
/// All functions are reentrant; they may run on any thread. Failures are logged once (category "MeshIO") with the
/// path at fault; nothing throws.
class KELVAROS_API MeshIO
{
public:
    /// Parses a mesh from bytes in memory, so Qt resource paths (":/x.obj") work: the caller reads the file, and
    /// `path` names it in messages and gives the format by its extension (.obj, .stl, .ply; any case). Polygons are
    /// triangulated, points and lines dropped, all parts of the file joined into one mesh (node transforms applied),
    /// and identical vertices merged. With `keepFileNormals` the file's normals are kept when it has them for every
    /// vertex (an STL's face normals then give a faceted mesh); otherwise vertices are joined by position (and
    /// colour) alone and the normals computed with Mesh::AngleAndArea weighting. `progress` (may be null) hears
    /// the parser's progress; when it reports a cancellation the result is null (an Info line, no Error). Null, with an
    /// Error line naming the path, for an unknown format, unreadable input or a file without triangles. Before the
    /// parser runs, a file is refused when the counts it announces cannot fit its size or exceed the budget of
    /// MeshFileBounds; after it, when a vertex has a coordinate (or kept normal or colour) that is not a finite
    /// number, naming the vertex. Faces without corners are dropped. Coordinates pass through single precision
    /// (assimp's). Nothing outside `bytes` is opened: an OBJ's material library is ignored.
    [[nodiscard]] static std::unique_ptr<Mesh> load(const char* bytes, std::size_t size, const std::string& path,
                                                    Progress* progress = nullptr, bool keepFileNormals = false);
    /// Reads the file (a Qt resource path works too) and parses it as load() does. A pipe, a device or a folder is
    /// refused before it is opened (it would block or never end), and so is a file over 1 GiB.
    [[nodiscard]] static std::unique_ptr<Mesh> loadFile(const std::string& path, Progress* progress = nullptr,
                                                        bool keepFileNormals = false);
    /// As loadFile, but a file that cannot be opened gives null without a log line, for callers that report a
    /// missing file in words of their own.
    [[nodiscard]] static std::unique_ptr<Mesh> loadFileIfPresent(const std::string& path);
    /// Writes the mesh as OBJ: vertices (with their colours' RGB as the common "v x y z r g b" extension when it has
    /// colours), normals when it has them, and faces, numbers in round-trip precision. Atomic: a temporary file is
    /// renamed over `path`, so readers never see a partial file. False with an Error line on failure.
    [[nodiscard]] static bool saveObj(const Mesh& mesh, const std::string& path);
};

} // namespace Kelvaros
