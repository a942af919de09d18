// VolumeIO::save: a SharedImageSet as .nrrd or .mha through ITK, written atomically.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <itkMetaImageIO.h>
#include <itkNrrdImageIO.h>
#include <limits>
#include <unistd.h>

#include <fmt/format.h>

#include "core/Log.h"
#include "lib/SharedImageSet.h"

#include "imageio/ItkSupport.h"
#include "imageio/VolumeIO.h"

namespace Kelvaros
{

namespace
{
namespace fs = std::filesystem;

const char* const kCategory = "VolumeIO";
using Component = itk::IOComponentEnum;

struct IntegerType
{
    Component component;
    double lowest;
    double highest;
};

/// In order of size, unsigned first: the first that holds the value range is the smallest.
const IntegerType kIntegerTypes[] = {
    { Component::UCHAR, 0.0, 255.0 },       { Component::CHAR, -128.0, 127.0 },
    { Component::USHORT, 0.0, 65535.0 },    { Component::SHORT, -32768.0, 32767.0 },
    { Component::UINT, 0.0, 4294967295.0 }, { Component::INT, -2147483648.0, 2147483647.0 },
};

/// The smallest type that stores every voxel exactly; float32 when any is fractional, not finite or -0.
Component storageType(const std::vector<float>& voxels)
{
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -lowest;
    for (const float value : voxels)
    {
        if (!std::isfinite(value) || value != std::nearbyint(value) || (value == 0.0f && std::signbit(value)))
            return Component::FLOAT;
        lowest = std::min(lowest, double(value));
        highest = std::max(highest, double(value));
    }
    for (const IntegerType& type : kIntegerTypes)
        if (lowest >= type.lowest && highest <= type.highest)
            return type.component;
    return Component::FLOAT;
}

template<typename T>
std::vector<char> bytesAs(const std::vector<float>& voxels)
{
    std::vector<char> bytes(voxels.size() * sizeof(T));
    for (size_t i = 0; i < voxels.size(); ++i)
    {
        const T value = T(voxels[i]);
        std::memcpy(bytes.data() + i * sizeof(T), &value, sizeof(T));
    }
    return bytes;
}

std::vector<char> encode(const std::vector<float>& voxels, Component type)
{
    switch (type)
    {
        case Component::UCHAR:
            return bytesAs<uint8_t>(voxels);
        case Component::CHAR:
            return bytesAs<int8_t>(voxels);
        case Component::USHORT:
            return bytesAs<uint16_t>(voxels);
        case Component::SHORT:
            return bytesAs<int16_t>(voxels);
        case Component::UINT:
            return bytesAs<uint32_t>(voxels);
        case Component::INT:
            return bytesAs<int32_t>(voxels);
        default:
            return bytesAs<float>(voxels);
    }
}

/// The writer for the path's extension, or null.
itk::ImageIOBase::Pointer writerFor(const fs::path& path)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (extension == ".nrrd")
        return itk::NrrdImageIO::New().GetPointer();
    if (extension == ".mha")
    {
        auto io = itk::MetaImageIO::New();
        // Enough digits that every double of the geometry reads back unchanged.
        io->SetDoublePrecision(17);
        return io.GetPointer();
    }
    return nullptr;
}

void describe(itk::ImageIOBase& io, const VolumeGeometry& geometry, Component type)
{
    io.SetNumberOfDimensions(3);
    itk::ImageIORegion region(3);
    for (unsigned axis = 0; axis < 3; ++axis)
    {
        io.SetDimensions(axis, unsigned(geometry.dimensions[axis]));
        io.SetSpacing(axis, geometry.spacing[axis]);
        io.SetOrigin(axis, geometry.origin_LPS[axis]);
        const Eigen::Vector3d column = geometry.direction_LPS.col(axis);
        io.SetDirection(axis, std::vector<double>(column.data(), column.data() + 3));
        region.SetIndex(axis, 0);
        region.SetSize(axis, size_t(geometry.dimensions[axis]));
    }
    io.SetPixelType(itk::IOPixelEnum::SCALAR);
    io.SetComponentType(type);
    io.SetNumberOfComponents(1);
    io.SetIORegion(region);
    io.SetUseCompression(true);
}

/// Beside the target, with its extension (the writers choose their layout by it), hidden and unique per process.
fs::path temporaryPath(const fs::path& target)
{
    return target.parent_path() /
           fmt::format(".{}.partial-{}{}", target.stem().string(), ::getpid(), target.extension().string());
}

/// Empty on success, else the reason.
std::string write(const SharedImageSet& image, const fs::path& target)
{
    itk::ImageIOBase::Pointer io = writerFor(target);
    if (!io)
        return "only .nrrd and .mha can be written";
    if (image.numImages() < 1 || image.numVoxels() == 0)
        return "the image holds no voxels";
    std::string error;
    const auto geometry = VolumeGeometry::fromImage(image, &error);
    if (!geometry)
        return error;
    const std::vector<float>& voxels = image.voxels(0);
    const Component type = storageType(voxels);
    const std::vector<char> bytes = encode(voxels, type);
    describe(*io, *geometry, type);
    const fs::path temporary = temporaryPath(target);
    io->SetFileName(temporary.string());
    try
    {
        io->WriteImageInformation();
        io->Write(bytes.data());
        fs::rename(temporary, target);
        return {};
    }
    catch (const itk::ExceptionObject& exception)
    {
        error = ItkSupport::reason(exception);
    }
    catch (const std::exception& exception)
    {
        error = exception.what();
    }
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return error;
}
} // namespace

std::string VolumeIO::save(const SharedImageSet& image, const std::string& path)
{
    ItkSupport::routeMessagesToLog();
    const std::string reason = write(image, fs::path(path));
    if (reason.empty())
        return reason;
    const std::string error = fmt::format("Cannot write '{}': {}", path, reason);
    Log::log(Log::Error, kCategory, error);
    return error;
}

} // namespace Kelvaros
