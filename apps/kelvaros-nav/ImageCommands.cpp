#include "ImageCommands.h"

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>

#include "lib/SharedImageSet.h"

#include "CommandLine.h"
#include "ExitCode.h"
#include "MatrixText.h"
#include "imageio/PhantomVolume.h"
#include "imageio/VolumeIO.h"

namespace Kelvaros::Nav
{

const char* const kImageInfoUsage =
  "  image-info FILE|FOLDER\n"
  "               format, dimensions, spacing, origin and direction (LPS, as in the file), the world\n"
  "               matrix (RAS), value range and memory of a volume: .nrrd, .nhdr, .nii, .nii.gz, .mha,\n"
  "               .mhd, or a DICOM series (its folder or any of its files)\n";
const char* const kPhantomUsage =
  "  phantom OUT.nrrd|OUT.mha [--spacing MM]\n"
  "               writes a CT-like image of the simulator's phantom (fiducials at the landmarks, the\n"
  "               insertion target), in phantom coordinates; --spacing in mm (default 1)\n";

namespace
{
int fail(const char* command, int code, const std::string& error)
{
    std::fprintf(stderr, "kelvaros-nav %s: %s\n", command, error.c_str());
    return code;
}

std::string rowsText(const Eigen::Matrix3d& matrix)
{
    std::string text;
    for (int row = 0; row < 3; ++row)
        text += fmt::format("   {:>12.6f} {:>12.6f} {:>12.6f}\n", matrix(row, 0), matrix(row, 1), matrix(row, 2));
    return text;
}

void printInfo(const std::string& path, const VolumeIO::FileInfo& info, const SharedImageSet& image)
{
    const VolumeGeometry& geometry = info.geometry;
    const auto [lowest, highest] = std::minmax_element(image.voxels().begin(), image.voxels().end());
    const double mebibytes = double(image.numVoxels() * sizeof(float)) / (1024.0 * 1024.0);
    std::printf("File: %s\n", path.c_str());
    const std::string files = info.fileCount > 1 ? fmt::format(" series of {} files", info.fileCount) : "";
    std::printf("Format: %s%s\n", info.format.c_str(), files.c_str());
    std::printf("Voxel type: %s\n", info.voxelType.c_str());
    std::printf("Dimensions: %d x %d x %d (%zu voxels)\n", geometry.dimensions.x(), geometry.dimensions.y(),
                geometry.dimensions.z(), image.numVoxels());
    std::printf("Spacing (mm): %s\n", vectorText(geometry.spacing, 6).c_str());
    std::printf("Origin, centre of voxel 0 (LPS, as in the file): %s\n", vectorText(geometry.origin_LPS).c_str());
    std::printf("Origin, centre of voxel 0 (RAS): %s\n", vectorText(geometry.origin_RAS()).c_str());
    std::printf("Direction (LPS, columns = voxel axes):\n%s", rowsText(geometry.direction_LPS).c_str());
    std::printf("World matrix (image frame centred on the grid -> world RAS, mm):\n%s",
                matrixText(image.matrix()).c_str());
    std::printf("Value range: %g .. %g\n", double(*lowest), double(*highest));
    std::printf("Memory: %.1f MiB as float voxels\n", mebibytes);
}
} // namespace

int runImageInfo(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { {}, {}, 1, 1 });
    if (!line.ok())
        return fail("image-info", ExitUsage, line.error() + " (image-info FILE|FOLDER)");
    const std::string& path = line.positional().front();
    const VolumeIO::LoadResult loaded = VolumeIO::load(path);
    if (!loaded.image)
        return fail("image-info", ExitBadInput, path + ": refused (see the message above)");
    printInfo(path, loaded.info, *loaded.image);
    return ExitSuccess;
}

int runPhantom(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "spacing" }, {}, 1, 1 });
    if (!line.ok())
        return fail("phantom", ExitUsage, line.error() + " (phantom OUT.nrrd|OUT.mha [--spacing MM])");
    std::string error;
    const auto spacing = line.number("spacing", 1.0, &error);
    if (!spacing)
        return fail("phantom", ExitUsage, error);
    const std::string& path = line.positional().front();
    const auto phantom = PhantomVolume::create(TrackingSimulator::groundTruth(), *spacing);
    if (!phantom)
        return fail("phantom", ExitUsage, "--spacing refused (see the message above)");
    if (!VolumeIO::save(*phantom, path).empty())
        return fail("phantom", ExitOutputError, "cannot write " + path + " (see the message above)");
    const Eigen::Vector3i& dimensions = phantom->dimensions();
    std::printf("Wrote the phantom (%d x %d x %d voxels of %g mm) to %s\n", dimensions.x(), dimensions.y(),
                dimensions.z(), *spacing, path.c_str());
    return ExitSuccess;
}

} // namespace Kelvaros::Nav
