#include "imageio/NiftiHeader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <zlib.h>

#include <fmt/format.h>

#include "core/FileSystem.h"

#include "imageio/ZlibStream.h"

namespace Kelvaros
{

namespace
{
constexpr int kHeaderSize = 348;
/// Inflated data beyond the announced end are tolerated up to this much, so a gzip bomb behind a small header is
/// still stopped early.
constexpr uint64_t kSlack = 64ull << 20;
/// No volume this program reads comes near this many voxels (VolumeIO refuses far fewer); it only keeps the
/// products below in range.
constexpr double kMaxCountedVoxels = 1e15;

using Bytes = std::array<unsigned char, kHeaderSize>;

/// Little helper to read numbers at byte offsets in the header's own byte order.
class Fields
{
public:
    Fields(const Bytes& bytes, bool swapped) : m_bytes(bytes), m_swapped(swapped) {}

    template<typename T>
    T at(size_t offset) const
    {
        std::array<unsigned char, sizeof(T)> raw;
        std::memcpy(raw.data(), m_bytes.data() + offset, sizeof(T));
        if (m_swapped)
            std::reverse(raw.begin(), raw.end());
        T value;
        std::memcpy(&value, raw.data(), sizeof(T));
        return value;
    }

private:
    const Bytes& m_bytes;
    bool m_swapped;
};

/// Bytes per voxel of a NIfTI datatype code; 0 for codes the standard does not define.
int bytesPerVoxel(int datatype)
{
    switch (datatype)
    {
        case 2:   // uint8
        case 256: // int8
            return 1;
        case 4:   // int16
        case 512: // uint16
            return 2;
        case 128: // RGB
            return 3;
        case 8:    // int32
        case 16:   // float32
        case 768:  // uint32
        case 2304: // RGBA
            return 4;
        case 32:   // complex64
        case 64:   // float64
        case 1024: // int64
        case 1280: // uint64
            return 8;
        case 1536: // float128
        case 1792: // complex128
            return 16;
        case 2048: // complex256
            return 32;
        default:
            return 0;
    }
}

/// The header's bytes, inflated when the file is compressed; the reason when they cannot be had.
std::string readBytes(const std::string& path, Bytes& bytes)
{
    std::unique_ptr<gzFile_s, int (*)(gzFile)> file(gzopen(path.c_str(), "rb"), &gzclose);
    if (!file)
        return "it cannot be opened";
    if (gzread(file.get(), bytes.data(), unsigned(bytes.size())) == int(bytes.size()))
        return {};
    int code = Z_OK;
    const char* message = gzerror(file.get(), &code);
    if (code != Z_OK && code != Z_BUF_ERROR)
        return fmt::format("the compressed data are corrupt ({})", message ? message : "");
    return fmt::format("shorter than a NIfTI header ({} bytes)", kHeaderSize);
}

/// Byte order from sizeof_hdr, as the standard intends it to be used; the reason when the file is no NIfTI-1.
std::string detectOrder(const Bytes& bytes, bool& swapped)
{
    for (const bool swap : { false, true })
    {
        const int size = Fields(bytes, swap).at<int32_t>(0);
        if (size == 540)
            return "a NIfTI-2 file, which this reader does not support";
        if (size == kHeaderSize)
        {
            swapped = swap;
            return std::memcmp(bytes.data() + 344, "n+1", 4) == 0
                     ? std::string()
                     : std::string("not a single-file NIfTI-1 file (its magic is not \"n+1\")");
        }
    }
    return "not a NIfTI file (its header size is neither 348 nor 540)";
}

/// The first named float field that is not finite, as a reason; empty when all are.
std::string firstNonFinite(const Fields& fields)
{
    struct Group
    {
        const char* name;
        size_t offset;
        int count;
    };
    const Group groups[] = { { "pixdim", 76, 8 },     { "vox_offset", 108, 1 },      { "scl_slope", 112, 1 },
                             { "scl_inter", 116, 1 }, { "quatern/qoffset", 256, 6 }, { "srow_x", 280, 4 },
                             { "srow_y", 296, 4 },    { "srow_z", 312, 4 } };
    for (const Group& group : groups)
        for (int i = 0; i < group.count; ++i)
            if (!std::isfinite(fields.at<float>(group.offset + 4 * size_t(i))))
                return fmt::format("{} holds a value that is not a finite number", group.name);
    return {};
}

/// ITK's NIfTI reader decomposes the orientation with an SVD that does not return on absurd magnitudes; numbers
/// beyond what any plausible placement holds (VolumeIO.h) are refused before it runs.
std::string firstOutOfRange(const Fields& fields)
{
    constexpr float kMaxAxis = 1e5f;
    constexpr float kMaxOffset = 1e7f;
    for (int i = 1; i <= 3; ++i)
        if (std::abs(fields.at<float>(76 + 4 * size_t(i))) > kMaxAxis)
            return fmt::format("pixdim[{}] is {:g}, out of range", i, fields.at<float>(76 + 4 * size_t(i)));
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column)
        {
            const float value = fields.at<float>(280 + 16 * size_t(row) + 4 * size_t(column));
            if (std::abs(value) > (column == 3 ? kMaxOffset : kMaxAxis))
                return fmt::format("srow_{}[{}] is {:g}, out of range", "xyz"[row], column, value);
        }
    const float b = fields.at<float>(256), c = fields.at<float>(260), d = fields.at<float>(264);
    if (b * b + c * c + d * d > 1.0001f)
        return "quatern_b, c and d are no unit quaternion's parts";
    for (int i = 0; i < 3; ++i)
        if (std::abs(fields.at<float>(268 + 4 * size_t(i))) > kMaxOffset)
            return fmt::format("qoffset {:g} is out of range", fields.at<float>(268 + 4 * size_t(i)));
    return {};
}

/// Voxel count from dim[]; the reason when the dimensions are malformed.
std::string countVoxels(const Fields& fields, double& voxels)
{
    const int rank = fields.at<int16_t>(40);
    if (rank < 1 || rank > 7)
        return fmt::format("dim[0] is {}, not a number of dimensions from 1 to 7", rank);
    voxels = 1;
    for (int axis = 1; axis <= rank; ++axis)
    {
        const int size = fields.at<int16_t>(40 + 2 * size_t(axis));
        if (size < 1)
            return fmt::format("dim[{}] is {}; sizes must be at least 1", axis, size);
        voxels *= size;
    }
    return voxels > kMaxCountedVoxels ? fmt::format("the header claims {:.0f} voxels", voxels) : std::string();
}
} // namespace

std::optional<NiftiHeader> NiftiHeader::read(const std::string& path, std::string& error)
{
    Bytes bytes{};
    bool swapped = false;
    error = readBytes(path, bytes);
    if (error.empty())
        error = detectOrder(bytes, swapped);
    const Fields fields(bytes, swapped);
    double voxels = 0;
    if (error.empty())
        error = firstNonFinite(fields);
    if (error.empty())
        error = firstOutOfRange(fields);
    if (error.empty())
        error = countVoxels(fields, voxels);
    const int datatype = fields.at<int16_t>(70);
    const float offset = fields.at<float>(108);
    if (error.empty() && bytesPerVoxel(datatype) == 0)
        error = fmt::format("unknown datatype {}", datatype);
    if (error.empty() && !(offset >= float(kHeaderSize) && offset < 0x1p40f))
        error = fmt::format("vox_offset {} lies inside the header or beyond any file", offset);
    if (!error.empty())
        return std::nullopt;
    NiftiHeader header;
    header.m_dataOffset = uint64_t(offset);
    header.m_dataBytes = uint64_t(voxels) * uint64_t(bytesPerVoxel(datatype));
    return header;
}

std::string NiftiHeader::whyIncomplete(const std::string& path) const
{
    const std::string name = path.size() >= 3 ? path.substr(path.size() - 3) : path;
    if (name == ".gz" || name == ".GZ")
    {
        std::string error;
        const auto size = ZlibStream::gzipContentSize(path, announcedBytes() + kSlack, error);
        if (!size)
            return error;
        if (*size < announcedBytes())
            return fmt::format("the header announces {} bytes of voxels and header, the data inflate to only {}",
                               announcedBytes(), *size);
        return {};
    }
    const long long size = FileSystem::fileSize(path);
    if (size < 0 || uint64_t(size) < announcedBytes())
        return fmt::format("the header announces {} bytes of voxels and header, the file holds only {}",
                           announcedBytes(), size);
    return {};
}

} // namespace Kelvaros
