#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

class Mesh;

/// Critical structures (vessels, nerves) as a plan keeps them: a mesh file (STL, OBJ, PLY) is one structure named
/// after the file; a label map (NRRD, NIfTI, MetaImage) is one structure per label, named "<file> label N"
/// (LabelSurfaces). Both are in the image coordinates of the volume they were segmented from.
///
/// Stateless; any thread.
class KELVAROS_API StructureFiles
{
public:
    struct Structure
    {
        std::string name;
        std::shared_ptr<const Mesh> mesh;
    };

    /// The structures a file holds; empty, with the reason (naming the file) in `reason`, when it cannot be read or
    /// holds none.
    [[nodiscard]] static std::optional<std::vector<Structure>> read(const std::string& path, std::string* reason);
    /// True for the endings of the volume formats read as label maps.
    [[nodiscard]] static bool isLabelMap(const std::string& path);
};

} // namespace Kelvaros
