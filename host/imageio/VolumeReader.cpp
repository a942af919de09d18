// VolumeIO::load: files and DICOM series through ITK into a SharedImageSet.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <itkGDCMImageIO.h>
#include <itkGDCMSeriesFileNames.h>
#include <itkImageFileReader.h>
#include <itkImageSeriesReader.h>
#include <itkMetaImageIO.h>
#include <itkNiftiImageIO.h>
#include <itkNrrdImageIO.h>
#include <stdexcept>

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
using FloatVolume = itk::Image<float, 3>;
using FileNames = std::vector<std::string>;

/// Why a file is refused; caught in load(), never leaves the library.
struct Refusal : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

struct Format
{
    const char* name;
    itk::ImageIOBase::Pointer (*create)();
};

template<typename IO>
itk::ImageIOBase::Pointer createIO()
{
    return IO::New().GetPointer();
}

const Format kNrrd{ "NRRD", &createIO<itk::NrrdImageIO> };
const Format kNifti{ "NIfTI", &createIO<itk::NiftiImageIO> };
const Format kMeta{ "MetaImage", &createIO<itk::MetaImageIO> };
const Format kDicom{ "DICOM", &createIO<itk::GDCMImageIO> };

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

/// The format a file name announces; DICOM files commonly carry any extension or none, so everything else is
/// offered to the DICOM reader.
const Format& formatOf(const std::string& path)
{
    const std::string name = lowerCase(fs::path(path).filename().string());
    if (endsWith(name, ".nrrd") || endsWith(name, ".nhdr"))
        return kNrrd;
    if (endsWith(name, ".nii") || endsWith(name, ".nii.gz"))
        return kNifti;
    if (endsWith(name, ".mha") || endsWith(name, ".mhd"))
        return kMeta;
    return kDicom;
}

/// The volume's name: a DICOM series is named by its folder, a file by its name without its format extension(s)
/// ("head.nii.gz" → "head").
std::string volumeName(const std::string& path, const Format& format)
{
    fs::path name = fs::path(path).lexically_normal();
    if (&format == &kDicom && !fs::is_directory(path))
        name = name.parent_path();
    if (!name.has_filename())
        name = name.parent_path();
    name = name.filename();
    if (&format == &kDicom)
        return name.string();
    if (lowerCase(name.extension().string()) == ".gz")
        name = name.stem();
    return name.stem().string();
}

/// Reads the header and refuses what cannot become one scalar volume of bounded size. `files` > 1 for a series of
/// slices that share this header's geometry.
VolumeIO::FileInfo checkHeader(itk::ImageIOBase& io, const std::string& path, const Format& format, size_t files)
{
    io.SetFileName(path);
    io.ReadImageInformation();
    if (io.GetNumberOfComponents() != 1)
        throw Refusal(fmt::format("{} components per voxel ({}); only scalar volumes can be shown",
                                  io.GetNumberOfComponents(), io.GetPixelTypeAsString(io.GetPixelType())));
    double voxels = double(files);
    for (unsigned axis = 0; axis < io.GetNumberOfDimensions(); ++axis)
    {
        if (axis >= 3 && io.GetDimensions(axis) > 1)
            throw Refusal(fmt::format("{} dimensions ({} along axis {}); only 2D and 3D images can be read",
                                      io.GetNumberOfDimensions(), io.GetDimensions(axis), axis + 1));
        voxels *= double(io.GetDimensions(axis));
    }
    if (voxels > VolumeIO::maxVoxels())
        throw Refusal(fmt::format("the header claims {:.0f} voxels, more than the {:.0f} this program reads", voxels,
                                  VolumeIO::maxVoxels()));
    if (voxels == 0)
        throw Refusal("the header claims no voxels");
    VolumeIO::FileInfo info;
    info.format = format.name;
    info.voxelType = ItkSupport::voxelTypeName(io.GetComponentType());
    info.fileCount = int(files);
    return info;
}

VolumeGeometry geometryOf(const FloatVolume& volume)
{
    VolumeGeometry geometry;
    const auto size = volume.GetLargestPossibleRegion().GetSize();
    for (int axis = 0; axis < 3; ++axis)
    {
        geometry.dimensions[axis] = int(size[axis]);
        geometry.spacing[axis] = volume.GetSpacing()[axis];
        geometry.origin_LPS[axis] = volume.GetOrigin()[axis];
        for (int row = 0; row < 3; ++row)
            geometry.direction_LPS(row, axis) = volume.GetDirection()(row, axis);
    }
    return geometry;
}

template<typename Reader>
FloatVolume::Pointer run(Reader& reader)
{
    reader.Update();
    FloatVolume::Pointer volume = reader.GetOutput();
    volume->DisconnectPipeline();
    return volume;
}

/// The slices of the series that `path` (a folder, or one of its files) belongs to, ordered by position.
FileNames seriesFiles(const std::string& path)
{
    const bool isFolder = fs::is_directory(path);
    const std::string folder = isFolder ? path : fs::path(path).parent_path().string();
    auto names = itk::GDCMSeriesFileNames::New();
    names->SetUseSeriesDetails(true);
    names->SetDirectory(folder.empty() ? std::string(".") : folder);
    const FileNames series = names->GetSeriesUIDs();
    if (series.empty())
        throw Refusal(isFolder ? "no DICOM series in this folder" : "not a volume file nor part of a DICOM series");
    FileNames chosen;
    for (const std::string& uid : series)
    {
        FileNames files = names->GetFileNames(uid);
        std::error_code error;
        const bool holdsPath =
          !isFolder && std::any_of(files.begin(), files.end(),
                                   [&](const std::string& file) { return fs::equivalent(file, path, error); });
        if (holdsPath)
            return files;
        // In a folder of several series the largest is most likely the volume a user means.
        if (isFolder && files.size() > chosen.size())
            chosen = std::move(files);
    }
    if (chosen.empty())
        throw Refusal("not a volume file nor part of a DICOM series");
    if (series.size() > 1)
        Log::logf(Log::Info, kCategory, "{}: {} DICOM series in the folder; reading the largest ({} slices)", path,
                  series.size(), chosen.size());
    return chosen;
}

FloatVolume::Pointer readSeries(const std::string& path, VolumeIO::FileInfo& info)
{
    const FileNames files = seriesFiles(path);
    itk::ImageIOBase::Pointer io = kDicom.create();
    info = checkHeader(*io, files.front(), kDicom, files.size());
    auto reader = itk::ImageSeriesReader<FloatVolume>::New();
    reader->SetImageIO(io);
    reader->SetFileNames(files);
    return run(*reader);
}

FloatVolume::Pointer readFile(const std::string& path, const Format& format, VolumeIO::FileInfo& info)
{
    itk::ImageIOBase::Pointer io = format.create();
    if (!io->CanReadFile(path.c_str()))
        throw Refusal(fmt::format("not a {} file (its header is not recognised)", format.name));
    info = checkHeader(*io, path, format, 1);
    auto reader = itk::ImageFileReader<FloatVolume>::New();
    reader->SetImageIO(io);
    reader->SetFileName(path);
    return run(*reader);
}

FloatVolume::Pointer read(const std::string& path, VolumeIO::FileInfo& info)
{
    std::error_code error;
    if (!fs::exists(path, error))
        throw Refusal("no such file or folder");
    const Format& format = formatOf(path);
    if (&format != &kDicom)
        return readFile(path, format, info);
    return readSeries(path, info);
}

std::unique_ptr<SharedImageSet> toImageSet(const FloatVolume& volume, const VolumeGeometry& geometry,
                                           const std::string& name)
{
    auto image = std::make_unique<SharedImageSet>(name, geometry.dimensions, geometry.spacing);
    std::vector<float>& voxels = image->voxels();
    const float* buffer = volume.GetBufferPointer();
    std::copy(buffer, buffer + voxels.size(), voxels.begin());
    image->setMatrix(geometry.imageToWorld());
    return image;
}
} // namespace

VolumeIO::LoadResult VolumeIO::load(const std::string& path)
{
    ItkSupport::routeMessagesToLog();
    LoadResult result;
    try
    {
        FloatVolume::Pointer volume = read(path, result.info);
        result.info.geometry = geometryOf(*volume);
        result.image = toImageSet(*volume, result.info.geometry, volumeName(path, formatOf(path)));
        return result;
    }
    catch (const Refusal& refusal)
    {
        result.error = refusal.what();
    }
    catch (const itk::ExceptionObject& exception)
    {
        result.error = ItkSupport::reason(exception);
    }
    catch (const std::exception& exception)
    {
        result.error = exception.what();
    }
    result.error = fmt::format("Cannot read '{}': {}", path, result.error);
    Log::log(Log::Error, kCategory, result.error);
    result.image.reset();
    return result;
}

} // namespace Kelvaros
