#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/Export.h"
#include "lib/geometry/Mesh.h"

namespace Kelvaros
{

class SharedImageSet;

/// The structures of a label map (voxels hold 0 for background and 1..N for structures, as segmentations of vessels
/// and nerves are saved) as one closed surface per label, for the breach warning.
///
/// Each label's voxels become a mask whose surface VolumeSurface extracts halfway between the voxels inside and
/// those outside, so a surface lies within half a voxel of the labelled region's border. The vertices are in the
/// volume's image coordinates (SharedImageSet's image frame), as the breach warning takes its structures: they stay
/// on the anatomy whatever the registration does.
///
/// Pure function, callable from any thread while nobody changes the volume.
class KELVAROS_API LabelSurfaces
{
public:
    /// More labels than this are refused: no plan has that many critical structures, and each costs a surface.
    static constexpr int kMaxLabels = 64;

    struct Structure
    {
        int label = 0;
        /// "label N".
        std::string name;
        Mesh mesh;
    };

    /// One structure per label present in image `image` (-1: the selected one), by increasing label. Empty for a
    /// volume whose voxels are not whole non-negative numbers, without a label, with more than kMaxLabels labels,
    /// or whose surfaces cannot be extracted: then one Error is logged (category "LabelSurfaces") naming the volume
    /// and the reason, which `error`, when given, receives as well.
    [[nodiscard]] static std::optional<std::vector<Structure>> extract(const SharedImageSet& labels,
                                                                       std::string* error = nullptr, int image = -1);
};

} // namespace Kelvaros
