#include "lib/view/CursorReadout.h"

#include <cmath>

#include <fmt/format.h>

#include "lib/SharedImageSet.h"

namespace Kelvaros
{
namespace
{
const char* planeName(Slice::AnatomicalPlane plane)
{
    switch (plane)
    {
        case Slice::AnatomicalPlane::Sagittal:
            return "Sagittal";
        case Slice::AnatomicalPlane::Coronal:
            return "Coronal";
        case Slice::AnatomicalPlane::Axial:
        default:
            return "Axial";
    }
}

/// The voxel whose cell holds a continuous voxel position; empty outside the grid. Cells span ±0.5 around the
/// voxel centres, and the test is made on doubles so that far or non-finite points never reach an int.
std::optional<Eigen::Vector3i> voxelContaining(const Eigen::Vector3d& voxel, const Eigen::Vector3i& dimensions)
{
    const Eigen::Array3d shifted = voxel.array() + 0.5;
    if (!((shifted >= 0).all() && (shifted < dimensions.cast<double>().array()).all()))
        return std::nullopt;
    return shifted.floor().cast<int>().matrix();
}
} // namespace

std::vector<std::string> CursorReadout::lines(const Slice& slice, const std::optional<Eigen::Vector3d>& cursor,
                                              const SharedImageSet* volume,
                                              const std::pair<double, double>& windowLevel)
{
    std::vector<std::string> result = { slicePosition(slice) };
    if (!cursor)
        return result;
    result.push_back(fmt::format("R {:.1f}  A {:.1f}  S {:.1f}", cursor->x(), cursor->y(), cursor->z()));
    if (!volume)
        return result;
    const std::vector<std::string> inVolume = volumeLines(*cursor, *volume);
    result.insert(result.end(), inVolume.begin(), inVolume.end());
    result.push_back(fmt::format("W {:g} L {:g}", windowLevel.first, windowLevel.second));
    return result;
}

std::string CursorReadout::slicePosition(const Slice& slice)
{
    Eigen::Index axis = 0;
    slice.normal().cwiseAbs().maxCoeff(&axis);
    const double position = slice.origin()[axis];
    const char letter = position >= 0 ? "RAS"[axis] : "LPI"[axis];
    return fmt::format("{}  {} {:.1f} mm", planeName(slice.plane()), letter, std::abs(position));
}

std::vector<std::string> CursorReadout::volumeLines(const Eigen::Vector3d& cursor, const SharedImageSet& volume)
{
    const int image = volume.selectedImage();
    const std::optional<Eigen::Vector3i> voxel = voxelContaining(volume.worldToVoxel(cursor), volume.dimensions());
    if (!voxel || image < 0 || image >= volume.numImages())
        return { "outside the volume" };
    return { fmt::format("voxel {}, {}, {}", voxel->x(), voxel->y(), voxel->z()),
             fmt::format("value {:g}", volume.voxel(*voxel, image)) };
}

} // namespace Kelvaros
