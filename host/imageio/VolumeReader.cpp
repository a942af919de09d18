// VolumeIO::load: files and DICOM series, checked before ITK reads them, into a SharedImageSet.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <itkGDCMImageIO.h>
#include <itkImageFileReader.h>
#include <itkImageSeriesReader.h>
#include <itkMetaImageIO.h>
#include <itkNiftiImageIO.h>
#include <itkNrrdImageIO.h>
#include <optional>
#include <stdexcept>
#include <unistd.h>

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "core/Log.h"
#include "lib/Progress.h"
#include "lib/SharedImageSet.h"

#include "imageio/DicomScanner.h"
#include "imageio/ItkSupport.h"
#include "imageio/MetaImageData.h"
#include "imageio/NiftiHeader.h"
#include "imageio/NrrdHeader.h"
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

/// The user asked to stop: not a fault of the file, so it is logged as information.
struct Canceled : std::runtime_error
{
    Canceled() : std::runtime_error("the load was canceled") {}
};

/// Tells an optional Progress how far a load is, and stops the load between steps once it was canceled.
class Steps
{
public:
    explicit Steps(Progress* progress) : m_progress(progress) {}
    void reach(double percent, const std::string& text) const
    {
        if (!m_progress)
            return;
        if (m_progress->wasCanceled())
            throw Canceled();
        m_progress->setProgress(percent, text);
    }

private:
    Progress* m_progress;
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

/// Refuses what cannot become one scalar volume of bounded size, from a header already read. `files` > 1 for a
/// series of slices that share this header's geometry.
VolumeIO::FileInfo describe(const itk::ImageIOBase& io, const Format& format, size_t files)
{
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
    if (std::string(ItkSupport::voxelTypeName(io.GetComponentType())) == "unknown")
        throw Refusal(fmt::format("voxel type {} cannot be read", io.GetComponentTypeAsString(io.GetComponentType())));
    VolumeIO::FileInfo info;
    info.format = format.name;
    info.voxelType = ItkSupport::voxelTypeName(io.GetComponentType());
    info.fileCount = int(files);
    return info;
}

/// The geometry exactly as ITK's readers place the volume (dimensions padded to 3, series spacing from the slice
/// positions), refused when implausible.
template<typename Reader>
VolumeGeometry placedGeometry(Reader& reader)
{
    reader.UpdateOutputInformation();
    const FloatVolume& volume = *reader.GetOutput();
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
    const std::string why = geometry.whyImplausible();
    if (!why.empty())
        throw Refusal(why);
    return geometry;
}

std::string inUnits(uint64_t bytes)
{
    return bytes >= 1000000000 ? fmt::format("{:.1f} GB", double(bytes) / 1e9)
                               : fmt::format("{:.1f} MB", double(bytes) / 1e6);
}

/// Refuses a read whose peak (the float volume plus `extraBytes`) the memory budget does not allow.
void checkBudget(const VolumeGeometry& geometry, uint64_t extraBytes)
{
    const uint64_t voxels = uint64_t(geometry.dimensions.cast<int64_t>().prod());
    const uint64_t peak = voxels * sizeof(float) + extraBytes;
    if (peak > VolumeIO::memoryBudgetBytes())
        throw Refusal(fmt::format("needs {} to read; this machine allows {} for one volume", inUnits(peak),
                                  inUnits(VolumeIO::memoryBudgetBytes())));
}

/// The stored voxels when they do not fit into the float voxels they become (8-byte types).
uint64_t separateBufferBytes(const itk::ImageIOBase& io)
{
    return io.GetComponentSize() > sizeof(float) ? uint64_t(io.GetImageSizeInBytes()) : 0;
}

/// Converts `count` stored values of type T at `stored` into `out`, last first: when `stored` is `out` itself,
/// each value is read before a wider float overwrites its bytes.
template<typename T>
void convertBackwards(const unsigned char* stored, float* out, size_t count)
{
    for (size_t i = count; i-- > 0;)
    {
        T value;
        std::memcpy(&value, stored + i * sizeof(T), sizeof(T));
        out[i] = float(value);
    }
}

void convert(itk::IOComponentEnum type, const unsigned char* stored, float* out, size_t count)
{
    using C = itk::IOComponentEnum;
    switch (type)
    {
        case C::UCHAR:
            return convertBackwards<uint8_t>(stored, out, count);
        case C::CHAR:
            return convertBackwards<int8_t>(stored, out, count);
        case C::USHORT:
            return convertBackwards<uint16_t>(stored, out, count);
        case C::SHORT:
            return convertBackwards<int16_t>(stored, out, count);
        case C::UINT:
            return convertBackwards<uint32_t>(stored, out, count);
        case C::INT:
            return convertBackwards<int32_t>(stored, out, count);
        case C::ULONG:
        case C::ULONGLONG:
            return convertBackwards<uint64_t>(stored, out, count);
        case C::LONG:
        case C::LONGLONG:
            return convertBackwards<int64_t>(stored, out, count);
        case C::FLOAT:
            return convertBackwards<float>(stored, out, count);
        case C::DOUBLE:
            return convertBackwards<double>(stored, out, count);
        default:
            throw Refusal("voxel type cannot be read");
    }
}

/// Reads all voxels the header of `io` describes into `out` (`count` floats). Types up to 4 bytes are read into
/// `out` itself and widened in place, so the peak stays the float volume.
void readVoxels(itk::ImageIOBase& io, float* out, size_t count)
{
    const unsigned dimensions = io.GetNumberOfDimensions();
    itk::ImageIORegion region(dimensions);
    size_t stored = 1;
    for (unsigned axis = 0; axis < dimensions; ++axis)
    {
        region.SetSize(axis, io.GetDimensions(axis));
        stored *= io.GetDimensions(axis);
    }
    if (stored != count)
        throw Refusal(fmt::format("holds {} voxels where {} were expected", stored, count));
    io.SetIORegion(region);
    std::vector<unsigned char> separate(size_t(separateBufferBytes(io)));
    unsigned char* buffer = separate.empty() ? reinterpret_cast<unsigned char*>(out) : separate.data();
    io.Read(buffer);
    convert(io.GetComponentType(), buffer, out, count);
}

std::unique_ptr<SharedImageSet> allocate(const VolumeGeometry& geometry, const std::string& name)
{
    auto image = std::make_unique<SharedImageSet>(name, geometry.dimensions, geometry.spacing);
    image->setMatrix(geometry.imageToWorld());
    return image;
}

/// The series a folder scan offers for `path`: the one holding the file given, or the largest of the folder, which
/// is most likely the volume a user means.
const DicomScanner::Series* chosenSeries(const DicomScanner::FolderScan& scan, const std::string& path, bool isFolder)
{
    for (const DicomScanner::Series& series : scan.series)
    {
        std::error_code error;
        const bool holdsPath = std::any_of(series.files.begin(), series.files.end(),
                                           [&](const auto& file) { return fs::equivalent(file.path, path, error); });
        if (isFolder || holdsPath)
            return &series;
    }
    return nullptr;
}

/// The slices of the series that `path` (a folder, or one of its files) belongs to, ordered by position. Every
/// file is checked by our own scanner before the DICOM library opens it: a damaged file would crash that library
/// or make it allocate what a length field claims, so such files are skipped and named in one warning.
FileNames seriesFiles(const std::string& path)
{
    const bool isFolder = fs::is_directory(path);
    const auto perFile = static_cast<long long>(std::min<uint64_t>(VolumeIO::memoryBudgetBytes(), INT64_MAX));
    if (!isFolder)
    {
        const DicomScanner::FileCheck check = DicomScanner::checkFile(path, perFile);
        if (!check.ok())
            throw Refusal(fmt::format("not a volume file nor a readable DICOM slice ({})", check.reason));
    }
    const std::string folder = isFolder ? path : fs::path(path).parent_path().string();
    const DicomScanner::FolderScan scan = DicomScanner::scanFolder(folder.empty() ? "." : folder, perFile);
    const DicomScanner::Series* chosen = chosenSeries(scan, path, isFolder);
    if (!chosen)
    {
        throw Refusal(scan.error == "no files" ? "no DICOM series in this folder (it holds no files)"
                      : scan.error.empty()     ? "the file belongs to no DICOM series of its folder"
                                               : scan.error);
    }
    const std::string skipped = DicomScanner::skippedSummary(scan, *chosen);
    if (!chosen->refusal.empty())
        throw Refusal(fmt::format("DICOM series {}: {}{}", chosen->uid, chosen->refusal,
                                  scan.skipped.empty() ? std::string() : " (" + skipped + ")"));
    if (!chosen->warning.empty())
        Log::logf(Log::Warning, kCategory, "{}: DICOM series {}: {}", path, chosen->uid, chosen->warning);
    if (!skipped.empty() && !scan.skipped.empty())
        Log::log(Log::Warning, kCategory, skipped);
    if (scan.series.size() > 1)
        Log::logf(Log::Info, kCategory, "{}: {} DICOM series in the folder; reading {} ({} slices)", path,
                  scan.series.size(), isFolder ? "the largest" : "the one of this file", chosen->files.size());
    FileNames files;
    for (const DicomScanner::FileFacts& file : chosen->files)
        files.push_back(file.path);
    return files;
}

/// Reads one slice file into its place in the volume; it must match the first slice's size.
void readSlice(const std::string& file, const VolumeGeometry& geometry, float* out)
{
    itk::ImageIOBase::Pointer io = kDicom.create();
    io->SetFileName(file);
    io->ReadImageInformation();
    const bool sameSize = io->GetNumberOfComponents() == 1 && int(io->GetDimensions(0)) == geometry.dimensions.x() &&
                          io->GetNumberOfDimensions() >= 2 && int(io->GetDimensions(1)) == geometry.dimensions.y() &&
                          (io->GetNumberOfDimensions() < 3 || io->GetDimensions(2) == 1);
    if (!sameSize)
        throw Refusal(fmt::format("slice '{}' differs in size or components from the series' first slice", file));
    readVoxels(*io, out, size_t(geometry.dimensions.x()) * size_t(geometry.dimensions.y()));
}

/// A series is read slice by slice into the volume, so the peak is the volume plus what one file needs.
std::unique_ptr<SharedImageSet> readSeries(const std::string& path, VolumeIO::FileInfo& info, const Steps& steps)
{
    const FileNames files = seriesFiles(path);
    itk::ImageIOBase::Pointer io = kDicom.create();
    io->SetFileName(files.front());
    io->ReadImageInformation();
    info = describe(*io, kDicom, files.size());
    auto reader = itk::ImageSeriesReader<FloatVolume>::New();
    reader->SetImageIO(kDicom.create());
    reader->SetFileNames(files);
    info.geometry = placedGeometry(*reader);
    checkBudget(info.geometry, uint64_t(io->GetImageSizeInBytes()) * 2);
    auto image = allocate(info.geometry, volumeName(path, kDicom));
    float* voxels = image->voxels().data();
    if (files.size() == 1)
    {
        readVoxels(*io, voxels, image->numVoxels());
        return image;
    }
    const size_t slice = size_t(info.geometry.dimensions.x()) * size_t(info.geometry.dimensions.y());
    for (size_t k = 0; k < files.size(); ++k)
    {
        steps.reach(100.0 * double(k) / double(files.size()), fmt::format("slice {} of {}", k + 1, files.size()));
        readSlice(files[k], info.geometry, voxels + k * slice);
    }
    return image;
}

/// Checks that precede ITK (the NIfTI library asserts on some headers) and those that need the header read by
/// ITK; returns the memory the format's own reader holds besides the volume.
class FormatChecks
{
public:
    FormatChecks(const std::string& path, const Format& format) : m_path(path)
    {
        std::string error;
        if (&format == &kNifti && !(m_nifti = NiftiHeader::read(path, error)))
            throw Refusal(error);
        if (&format == &kNrrd && !(error = NrrdHeader::whyUnsafe(path)).empty())
            throw Refusal(error);
        if (&format == &kMeta && !(m_meta = MetaImageData::locate(m_path, error)))
            throw Refusal(error);
    }

    /// The memory the format's reader holds besides the volume, known once ITK has read the header.
    uint64_t extraBytes(const itk::ImageIOBase& io) const
    {
        // The NIfTI library loads the stored voxels into a buffer of its own before handing them over.
        const uint64_t formatBuffer = m_nifti ? m_nifti->dataBytes() : m_meta ? m_meta->compressedBytesHeld() : 0;
        return separateBufferBytes(io) + formatBuffer;
    }

    /// Before the voxels are read: the file holds them all, and compressed data inflate completely.
    void requireComplete(const itk::ImageIOBase& io) const
    {
        const std::string why = m_nifti  ? m_nifti->whyIncomplete(m_path)
                                : m_meta ? m_meta->whyIncomplete(uint64_t(io.GetImageSizeInBytes()))
                                         : std::string();
        if (!why.empty())
            throw Refusal(why);
    }

private:
    const std::string& m_path;
    std::optional<NiftiHeader> m_nifti;
    std::optional<MetaImageData> m_meta;
};

std::unique_ptr<SharedImageSet> readFile(const std::string& path, const Format& format, VolumeIO::FileInfo& info,
                                         const Steps& steps)
{
    FormatChecks checks(path, format);
    itk::ImageIOBase::Pointer io = format.create();
    if (!io->CanReadFile(path.c_str()))
        throw Refusal(fmt::format("not a {} file (its header is not recognised)", format.name));
    auto reader = itk::ImageFileReader<FloatVolume>::New();
    reader->SetImageIO(io);
    reader->SetFileName(path);
    reader->UpdateOutputInformation();
    info = describe(*io, format, 1);
    info.geometry = placedGeometry(*reader);
    checkBudget(info.geometry, checks.extraBytes(*io));
    steps.reach(5.0, "checking the data");
    checks.requireComplete(*io);
    // The formats' readers take the voxels in one call: the steps are before and after it.
    steps.reach(10.0, fmt::format("reading {} voxels", info.geometry.dimensions.prod()));
    auto image = allocate(info.geometry, volumeName(path, format));
    readVoxels(*io, image->voxels().data(), image->numVoxels());
    return image;
}

std::unique_ptr<SharedImageSet> read(const std::string& path, VolumeIO::FileInfo& info, const Steps& steps)
{
    const std::string why = FileSystem::whyNotReadable(path, /*folderAllowed*/ true);
    if (!why.empty())
        throw Refusal(why == "no such file" ? "no such file or folder" : why);
    const Format& format = formatOf(path);
    if (&format != &kDicom)
        return readFile(path, format, info, steps);
    return readSeries(path, info, steps);
}

uint64_t defaultBudget()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    // A quarter leaves room for the rest of the workbench and for a second volume being loaded at the same time.
    return pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) / 4 : uint64_t(2) << 30;
}

std::atomic<uint64_t> g_budget{ 0 };
} // namespace

uint64_t VolumeIO::memoryBudgetBytes()
{
    const uint64_t set = g_budget.load();
    return set ? set : defaultBudget();
}

void VolumeIO::setMemoryBudgetBytes(uint64_t bytes)
{
    g_budget.store(bytes);
}

VolumeIO::LoadResult VolumeIO::load(const std::string& path, Progress* progress)
{
    ItkSupport::routeMessagesToLog();
    LoadResult result;
    const Steps steps(progress);
    try
    {
        steps.reach(0.0, "reading the header");
        result.image = read(path, result.info, steps);
        steps.reach(100.0, "done");
        return result;
    }
    catch (const Canceled& canceled)
    {
        result.error = fmt::format("'{}' was not loaded: {}", path, canceled.what());
        Log::log(Log::Info, kCategory, result.error);
        result.image.reset();
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
