#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Export.h"

namespace Kelvaros
{

/// Checks what a mesh file announces against what it holds and against a memory budget, before a parser trusts
/// the announced counts: a PLY header or a binary STL's count can promise billions of elements in a few hundred
/// bytes, and assimp allocates for them before it notices that the data is missing.
///
/// The bounds: a PLY's elements need at least their properties' sizes in bytes each in a binary file (at least
/// one byte for an element without properties), and at least two bytes per number in an ASCII file (a digit and
/// a separator), and each list's announced length must fit its count type and the bytes after it; a binary STL of n
/// triangles is exactly 84 + 50·n bytes long; an ASCII STL and an OBJ are bounded by their size. A mesh is read with at
/// most kMaxVertices vertices and kMaxFaces faces.
class KELVAROS_API MeshFileBounds
{
public:
    /// About 4 GB while reading at the limit (assimp's copy, the vertex-joining index and the mesh).
    static constexpr std::uint64_t kMaxVertices = 20'000'000;
    static constexpr std::uint64_t kMaxFaces = 20'000'000;

    /// Why the bytes of a file of this format (extension in lower case: "ply", "stl", "obj") cannot be read
    /// within these bounds; empty when they can (the parser may still refuse the file for other reasons).
    [[nodiscard]] static std::string whyRefused(const char* bytes, std::size_t size, const std::string& extension);

private:
    [[nodiscard]] static std::string checkPly(const char* bytes, std::size_t size);
    [[nodiscard]] static std::string checkStl(const char* bytes, std::size_t size);
    [[nodiscard]] static std::string checkObj(const char* bytes, std::size_t size);
};

} // namespace Kelvaros
