// VolumeIO::save: a SharedImageSet as .nrrd or .mha through ITK, handed to AtomicFile.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <itkMetaImageIO.h>
#include <itkNrrdImageIO.h>
#include <limits>
#include <optional>
#include <unistd.h>

#include <fmt/format.h>

#include "core/AtomicFile.h"
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

itk::ImageIORegion wholeRegion(const Eigen::Vector3i& dimensions)
{
    itk::ImageIORegion region(3);
    for (unsigned axis = 0; axis < 3; ++axis)
    {
        region.SetIndex(axis, 0);
        region.SetSize(axis, size_t(dimensions[axis]));
    }
    return region;
}

void describe(itk::ImageIOBase& io, const VolumeGeometry& geometry, Component type)
{
    io.SetNumberOfDimensions(3);
    for (unsigned axis = 0; axis < 3; ++axis)
    {
        io.SetDimensions(axis, unsigned(geometry.dimensions[axis]));
        io.SetSpacing(axis, geometry.spacing[axis]);
        io.SetOrigin(axis, geometry.origin_LPS[axis]);
        const Eigen::Vector3d column = geometry.direction_LPS.col(axis);
        io.SetDirection(axis, std::vector<double>(column.data(), column.data() + 3));
    }
    io.SetPixelType(itk::IOPixelEnum::SCALAR);
    io.SetComponentType(type);
    io.SetNumberOfComponents(1);
    io.SetIORegion(wholeRegion(geometry.dimensions));
    io.SetUseCompression(true);
}

/// A file of our own in the system's temporary folder, removed with this object. ITK writes only to a named file,
/// and its way of replacing one (a new file renamed over the old) would turn a device or a pipe into a regular file
/// and report success on a full disk; so ITK writes here and AtomicFile writes the target.
struct ScratchFile
{
    explicit ScratchFile(const std::string& extension)
    {
        // The writers choose their layout by the extension, so it ends the name.
        std::string pattern = (fs::temp_directory_path() / ("kelvaros-volume-XXXXXX" + extension)).string();
        const int fd = ::mkstemps(pattern.data(), int(extension.size()));
        if (fd < 0)
            return;
        ::close(fd);
        path = pattern;
    }
    ~ScratchFile()
    {
        if (!path.empty())
            ::unlink(path.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    std::string path; // empty when none could be made
};

/// The whole content of a file, or nothing when it cannot be read.
std::optional<std::string> readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    if (!in || size < 0)
        return std::nullopt;
    std::string bytes(size_t(size), '\0');
    if (!in.seekg(0).read(bytes.data(), size))
        return std::nullopt;
    return bytes;
}

/// ITK's encoding of the image into `scratch`; empty on success, else the reason.
std::string encodeInto(itk::ImageIOBase& io, const std::vector<char>& bytes, const std::string& scratch)
{
    io.SetFileName(scratch);
    try
    {
        io.WriteImageInformation();
        io.Write(bytes.data());
        return {};
    }
    catch (const itk::ExceptionObject& exception)
    {
        return ItkSupport::reason(exception);
    }
    catch (const std::exception& exception)
    {
        return exception.what();
    }
}

/// Whether the file decodes to exactly `voxels`. Not every ITK writer reports a failed write (MetaIO only prints to
/// the console), and a full disk must not pass for a written file.
bool decodesTo(itk::ImageIOBase& reader, const std::string& path, const Eigen::Vector3i& dimensions,
               const std::vector<char>& voxels)
{
    // The complement of what is expected, so that a byte the reader leaves alone cannot match by chance.
    std::vector<char> decoded(voxels.size());
    std::transform(voxels.begin(), voxels.end(), decoded.begin(), [](char c) { return char(~c); });
    reader.SetFileName(path);
    try
    {
        reader.ReadImageInformation();
        if (size_t(reader.GetImageSizeInBytes()) != voxels.size())
            return false;
        reader.SetIORegion(wholeRegion(dimensions));
        reader.Read(decoded.data());
    }
    catch (const itk::ExceptionObject&)
    {
        return false;
    }
    catch (const std::exception&)
    {
        return false;
    }
    return decoded == voxels;
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
    describe(*io, *geometry, type);
    const ScratchFile scratch(target.extension().string());
    if (scratch.path.empty())
        return fmt::format("no temporary file in {}: {}", fs::temp_directory_path().string(), std::strerror(errno));
    const std::vector<char> bytes = encode(voxels, type);
    error = encodeInto(*io, bytes, scratch.path);
    if (!error.empty())
        return fmt::format("encoding in {}: {}", scratch.path, error);
    if (!decodesTo(*writerFor(target), scratch.path, geometry->dimensions, bytes))
        return fmt::format("{} does not read back as written (is its disk full?)", scratch.path);
    const std::optional<std::string> encoded = readAll(scratch.path);
    if (!encoded)
        return fmt::format("cannot read back {}", scratch.path);
    if (!AtomicFile::writeFile(target.string(), *encoded, &error))
        return error;
    return {};
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
