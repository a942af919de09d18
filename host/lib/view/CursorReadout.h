#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/view/Slice.h"

namespace Kelvaros
{

class SharedImageSet;

/// The text a slice view shows in its corner about its plane and the view cursor, for instance
///   Axial  S 12.5 mm
///   R 12.3  A -4.0  S 55.1
///   voxel 120, 88, 40
///   value 1023
///   W 400 L 40
/// World coordinates are RAS (x to the patient's right, y anterior, z superior). Formatting only; any thread.
class KELVAROS_API CursorReadout
{
public:
    /// The lines, top first: the slice position; then, with a cursor, its RAS coordinates, and, with a volume,
    /// the nearest voxel's indices and value in the volume's selected image ("outside the volume" when the cursor
    /// is not within the grid) followed by the window and level the view maps that volume with.
    [[nodiscard]] static std::vector<std::string> lines(const Slice& slice,
                                                        const std::optional<Eigen::Vector3d>& cursor,
                                                        const SharedImageSet* volume,
                                                        const std::pair<double, double>& windowLevel);

    /// "Axial  S 12.5 mm": the plane's name and where its centre lies along the world axis closest to its normal.
    [[nodiscard]] static std::string slicePosition(const Slice& slice);

private:
    [[nodiscard]] static std::vector<std::string> volumeLines(const Eigen::Vector3d& cursor,
                                                              const SharedImageSet& volume);
};

} // namespace Kelvaros
