#include <cstring>
#include <filesystem>
#include <fstream>
#include <itkGDCMImageIO.h>
#include <itkImageFileWriter.h>
#include <itkMetaDataObject.h>
#include <itkMetaImageIOFactory.h>
#include <itkNiftiImageIOFactory.h>
#include <itkNrrdImageIOFactory.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "lib/SharedImageSet.h"

#include "GeometryTestSupport.h"
#include "LogExpectation.h"
#include "imageio/VolumeIO.h"

namespace Kelvaros
{
namespace
{
namespace fs = std::filesystem;
using Testing::LogExpectation;
using Volume = itk::Image<short, 3>;

class VolumeIOTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Named by test and process: other build folders may run the same test at the same time.
        m_folder =
          fs::temp_directory_path() /
          fmt::format("volumeio-{}-{}", ::testing::UnitTest::GetInstance()->current_test_info()->name(), ::getpid());
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }
    std::string file(const std::string& name) const { return (m_folder / name).string(); }

    fs::path m_folder;
};

/// A file geometry with a rotation about an oblique axis, unequal spacing and a non-zero origin (LPS).
const Eigen::Vector3d kSpacing(0.7, 1.3, 2.1);
const Eigen::Vector3d kOrigin_LPS(12.5, -7.25, 30.0);
const Eigen::Matrix3d kDirection_LPS = Eigen::AngleAxisd(0.5, Eigen::Vector3d(1, 2, 3).normalized()).matrix();
/// Voxels with distinct values in a 5 x 4 x 3 grid of zeros: each axis's far end and one inner voxel.
const std::vector<std::pair<Eigen::Vector3i, short>> kMarks = { { { 0, 0, 0 }, 100 },
                                                                { { 4, 0, 0 }, 200 },
                                                                { { 0, 3, 0 }, 300 },
                                                                { { 0, 0, 2 }, 400 },
                                                                { { 3, 2, 1 }, -500 } };

Volume::Pointer asymmetricVolume(const Eigen::Vector3i& size)
{
    auto volume = Volume::New();
    volume->SetRegions(Volume::SizeType{ { size_t(size.x()), size_t(size.y()), size_t(size.z()) } });
    volume->Allocate(true);
    volume->SetSpacing(kSpacing.data());
    volume->SetOrigin(kOrigin_LPS.data());
    Volume::DirectionType direction;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            direction(row, column) = kDirection_LPS(row, column);
    volume->SetDirection(direction);
    return volume;
}

void writeWithItk(const Volume::Pointer& volume, const std::string& path, itk::ImageIOBase* io = nullptr)
{
    static const bool registered = []
    {
        itk::NrrdImageIOFactory::RegisterOneFactory();
        itk::NiftiImageIOFactory::RegisterOneFactory();
        itk::MetaImageIOFactory::RegisterOneFactory();
        return true;
    }();
    EXPECT_TRUE(registered);
    auto writer = itk::ImageFileWriter<Volume>::New();
    writer->SetInput(volume);
    writer->SetFileName(path);
    if (io)
        writer->SetImageIO(io);
    writer->Update();
}

TEST_F(VolumeIOTest, MarkedVoxelsLandAtTheirRasPositionInEveryFormat)
{
    auto volume = asymmetricVolume({ 5, 4, 3 });
    for (const auto& [voxel, value] : kMarks)
        volume->SetPixel({ { voxel.x(), voxel.y(), voxel.z() } }, value);
    for (const std::string name : { "a.nrrd", "a.nhdr", "a.nii.gz", "a.mha", "a.mhd" })
    {
        SCOPED_TRACE(name);
        writeWithItk(volume, file(name));
        const auto loaded = VolumeIO::load(file(name));
        ASSERT_TRUE(loaded.image) << loaded.error;
        EXPECT_EQ(loaded.info.voxelType, "int16");
        EXPECT_EQ(loaded.image->name(), "a");
        // Voxel 0 sits at the file's origin with x and y negated: (-12.5, 7.25, 30) in RAS.
        EXPECT_LT((loaded.image->voxelToWorld(Eigen::Vector3d::Zero()) - Eigen::Vector3d(-12.5, 7.25, 30)).norm(),
                  1e-4);
        for (const auto& [voxel, value] : kMarks)
        {
            const Eigen::Vector3d lps = kOrigin_LPS + kDirection_LPS * kSpacing.cwiseProduct(voxel.cast<double>());
            const Eigen::Vector3d ras(-lps.x(), -lps.y(), lps.z());
            EXPECT_EQ(loaded.image->voxel(voxel), value);
            EXPECT_LT((loaded.image->voxelToWorld(voxel.cast<double>()) - ras).norm(), 1e-4) << voxel.transpose();
        }
    }
}

struct RoundTrip
{
    const char* name;
    std::vector<float> values;
    const char* voxelType;
};

TEST_F(VolumeIOTest, OurFilesReadBackBitIdenticalInTheSmallestExactType)
{
    const RoundTrip cases[] = {
        { "fractions", { 0.1f, -2.5f, 3e7f, 1e-30f }, "float32" },
        { "bytes", { 0.0f, 255.0f, 17.0f }, "uint8" },
        { "signed bytes", { -128.0f, 127.0f }, "int8" },
        { "CT values", { -1000.0f, 3071.0f, 40.0f }, "int16" },
        { "large integers", { -40000.0f, 1e9f }, "int32" },
        { "negative zero", { -0.0f, 1.0f }, "float32" },
    };
    std::mt19937 rng(7);
    for (const RoundTrip& c : cases)
    {
        SharedImageSet image("volume", { 3, 4, 5 }, { 0.5, 0.8, 1.25 });
        for (size_t i = 0; i < image.numVoxels(); ++i)
            image.voxels()[i] = c.values[i % c.values.size()];
        image.setMatrix(Testing::randomRigid(rng));
        // NRRD stores spacing times direction, which ITK splits again, so its geometry comes back within rounding.
        for (const auto& [name, tolerance] : { std::pair("round.nrrd", 1e-12), std::pair("round.mha", 0.0) })
        {
            SCOPED_TRACE(std::string(c.name) + " " + name);
            ASSERT_EQ(VolumeIO::save(image, file(name)), "");
            const auto loaded = VolumeIO::load(file(name));
            ASSERT_TRUE(loaded.image) << loaded.error;
            EXPECT_EQ(loaded.info.voxelType, c.voxelType);
            EXPECT_LE((loaded.image->spacing() - image.spacing()).cwiseAbs().maxCoeff(), tolerance);
            EXPECT_LE((loaded.image->matrix() - image.matrix()).cwiseAbs().maxCoeff(), tolerance * 1000);
            EXPECT_EQ(std::memcmp(loaded.image->voxels().data(), image.voxels().data(), image.numVoxels() * 4), 0);
        }
    }
}

TEST_F(VolumeIOTest, AFailedSaveLeavesWhatWasThere)
{
    SharedImageSet image("volume", { 2, 2, 2 }, { 1, 1, 1 });
    // A folder in the way cannot be replaced by a file: the rename fails after the data were written.
    fs::create_directory(file("taken.nrrd"));
    LogExpectation error(Log::Error, "taken.nrrd", 1);
    EXPECT_NE(VolumeIO::save(image, file("taken.nrrd")), "");
    EXPECT_TRUE(fs::is_directory(file("taken.nrrd")));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_folder), fs::directory_iterator()), 1);
}

/// One slice of a series as a scanner writes it: a file per slice, position and orientation in the header.
void writeDicomSlice(const std::string& path, int slice, double z, const std::string& series)
{
    auto volume = asymmetricVolume({ 5, 4, 1 });
    volume->SetPixel({ { 1, 2, 0 } }, short(10 * (slice + 1)));
    Eigen::Vector3d origin = kOrigin_LPS + kDirection_LPS.col(2) * z;
    volume->SetOrigin(origin.data());
    auto& tags = volume->GetMetaDataDictionary();
    itk::EncapsulateMetaData<std::string>(tags, "0020|000e", series);
    itk::EncapsulateMetaData<std::string>(tags, "0008|0018", series + "." + std::to_string(slice + 1));
    itk::EncapsulateMetaData<std::string>(tags, "0008|0060", "CT");
    itk::EncapsulateMetaData<std::string>(tags, "0028|0004", "MONOCHROME2");
    auto io = itk::GDCMImageIO::New();
    io->KeepOriginalUIDOn();
    writeWithItk(volume, path, io);
}

TEST_F(VolumeIOTest, DicomSeriesIsOrderedByPositionNotByName)
{
    // File names run against the slice order; slice k lies k * 2.5 mm along the slice normal.
    const char* names[] = { "c.dcm", "b.dcm", "a.dcm" };
    for (int slice = 0; slice < 3; ++slice)
        writeDicomSlice(file(names[slice]), slice, 2.5 * slice, "1.2.826.0.1.3680043.2.1125.7");
    for (const std::string& path : { file(""), file("b.dcm") })
    {
        SCOPED_TRACE(path);
        const auto loaded = VolumeIO::load(path);
        ASSERT_TRUE(loaded.image) << loaded.error;
        EXPECT_EQ(loaded.info.fileCount, 3);
        EXPECT_EQ(loaded.image->name(), m_folder.filename());
        EXPECT_EQ(loaded.image->dimensions(), Eigen::Vector3i(5, 4, 3));
        EXPECT_LT((loaded.image->spacing() - Eigen::Vector3d(0.7, 1.3, 2.5)).norm(), 1e-4);
        for (int slice = 0; slice < 3; ++slice)
            EXPECT_EQ(loaded.image->voxel({ 1, 2, slice }), 10 * (slice + 1));
        const Eigen::Vector3d lps = kOrigin_LPS + kDirection_LPS * Eigen::Vector3d(0.7 * 1, 1.3 * 2, 2.5 * 2);
        EXPECT_LT((loaded.image->voxelToWorld({ 1, 2, 2 }) - Eigen::Vector3d(-lps.x(), -lps.y(), lps.z())).norm(),
                  1e-3);
    }
    // A middle slice cut short is skipped; the stack left would be placed stretched, so it is refused.
    writeDicomSlice(file("d.dcm"), 3, 7.5, "1.2.826.0.1.3680043.2.1125.7");
    fs::resize_file(file("b.dcm"), 300);
    LogExpectation error(Log::Error, "uneven slice spacing (2.5 mm to 5.0 mm)", 1);
    const auto refused = VolumeIO::load(file(""));
    EXPECT_FALSE(refused.image);
    EXPECT_NE(refused.error.find("(1 of 4 files in"), std::string::npos) << refused.error;
    EXPECT_NE(refused.error.find("b.dcm: "), std::string::npos) << refused.error;
}

struct Malformed
{
    const char* name;
    const char* content; // null: not created
    const char* reason;
};

TEST_F(VolumeIOTest, MalformedInputIsRefusedNamingTheFile)
{
    // MetaIO copied a name this long into a 255-byte buffer, and the program aborted.
    const std::string longName = "ObjectType = Image\nNDims = 3\nName = " + std::string(300, 'A') +
                                 "\nDimSize = 2 2 2\nElementType = MET_UCHAR\nElementDataFile = LOCAL\n12345678";
    const Malformed cases[] = {
        { "missing.nrrd", nullptr, "no such file" },
        { "magic.nrrd", "HELLO WORLD\n", "not a NRRD file" },
        { "endian.nrrd", "NRRD0004\ntype: short\ndimension: 1\nsizes: 2\nencoding: raw\n\n0123",
          "require endian info" },
        { "truncated.nrrd",
          "NRRD0004\ntype: short\ndimension: 3\nsizes: 10 10 10\nencoding: raw\nendian: little\n\n012345",
          "fread got only 3 2-sized things, not 1000" },
        { "huge.nrrd",
          "NRRD0004\ntype: short\ndimension: 3\nsizes: 1048576 1048576 1\nencoding: raw\nendian: little\n\n0123",
          "claims 1099511627776 voxels" },
        { "fourd.mha",
          "ObjectType = Image\nNDims = 4\nDimSize = 2 2 2 2\nElementType = MET_SHORT\nElementDataFile = LOCAL\n",
          "4 dimensions" },
        { "rgb.mha",
          "ObjectType = Image\nNDims = 3\nDimSize = 2 2 2\nElementNumberOfChannels = 3\nElementType = MET_UCHAR\n"
          "ElementDataFile = LOCAL\n",
          "3 components" },
        // MetaIO read a key across the line break and took the later "ElementDataFile" pattern: division by zero.
        { "damaged-key.mha",
          "ObjectType = Image\nNDims = 1\nDimSize = 4\nElementType = MET_SHORT\nElementDataFile\n =m%g 1\n"
          "ElementDataFile = LOCAL\n",
          "the header line 'ElementDataFile' is not 'Key = value'" },
        { "long-name.mha", longName.c_str(), "its Name is 300 characters long, more than the 254" },
        { "empty-folder", nullptr, "no DICOM series" },
        { "notes.txt", "just text\n", "not a volume file" },
    };
    fs::create_directory(file("empty-folder"));
    for (const Malformed& c : cases)
    {
        SCOPED_TRACE(c.name);
        if (c.content)
            std::ofstream(file(c.name)) << c.content;
        LogExpectation error(Log::Error, file(c.name), 1);
        const auto loaded = VolumeIO::load(file(c.name));
        EXPECT_FALSE(loaded.image);
        EXPECT_NE(loaded.error.find(file(c.name)), std::string::npos) << loaded.error;
        EXPECT_NE(loaded.error.find(c.reason), std::string::npos) << loaded.error;
    }
}

/// A file to damage: `writer` makes it valid, then its bytes from `offset` (negative: from the end) are inverted,
/// or it is cut to `size` + offset bytes.
struct Damage
{
    const char* name;
    const char* reason;
    long offset;
    size_t flipped; // 0: cut the file at `offset` instead
};

void damage(const std::string& path, const Damage& d)
{
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const size_t at = d.offset < 0 ? bytes.size() - size_t(-d.offset) : size_t(d.offset);
    if (d.flipped == 0)
        bytes.resize(at);
    for (size_t i = at; i < at + d.flipped; ++i)
        bytes[i] = char(~bytes[i]);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

/// Refuses `path` with `reason` in the logged error and the result.
void expectRefused(const std::string& path, const std::string& reason)
{
    LogExpectation error(Log::Error, path, 1);
    const auto loaded = VolumeIO::load(path);
    EXPECT_FALSE(loaded.image);
    EXPECT_NE(loaded.error.find(reason), std::string::npos) << loaded.error;
}

TEST_F(VolumeIOTest, TruncatedOrCorruptVoxelDataAreRefusedNotReadAsMemory)
{
    auto volume = asymmetricVolume({ 16, 16, 16 });
    for (int i = 0; i < 16; ++i)
        volume->SetPixel({ { i, (i * 7) % 16, (i * 3) % 16 } }, short(1000 + 37 * i));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::string nanBytes(reinterpret_cast<const char*>(&nan), sizeof nan);
    const Damage cases[] = {
        { "short.mha", "holds only", -100, 0 },      { "short.nii", "holds only", -100, 0 },
        { "short.nii.gz", "end early", -30, 0 },     { "flipped.nii.gz", "corrupt", -30, 20 },
        { "short.nrrd", "fread got only", -100, 0 }, { "nan-sform.nii", "srow_x", 280, 0 },
        { "nan-pixdim.nii", "pixdim", 80, 0 },
    };
    for (const Damage& c : cases)
    {
        SCOPED_TRACE(c.name);
        writeWithItk(volume, file(c.name));
        if (std::string(c.name).rfind("nan-", 0) == 0)
            std::fstream(file(c.name), std::ios::binary | std::ios::in | std::ios::out).seekp(c.offset) << nanBytes;
        else
            damage(file(c.name), c);
        expectRefused(file(c.name), c.reason);
    }
    // Our writer compresses MetaImage data; a flipped run or a cut must not pass as voxels.
    SharedImageSet image("volume", { 16, 16, 16 }, { 1, 1, 1 });
    for (size_t i = 0; i < image.numVoxels(); ++i)
        image.voxels()[i] = float((i * 7919) % 3001);
    for (const Damage& c :
         { Damage{ "flipped.mha", "compressed", -200, 20 }, Damage{ "cut.mha", "holds only", -30, 0 } })
    {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(VolumeIO::save(image, file(c.name)), "");
        damage(file(c.name), c);
        expectRefused(file(c.name), c.reason);
    }
}

TEST_F(VolumeIOTest, ImplausiblePlacementsAreRefusedWithTheirNumbers)
{
    const std::pair<const char*, const char*> cases[] = {
        { "TransformMatrix = 1 0 0 0.7071 0.7071 0 0 0 1", "columns 1 and 2 at 45.0°" },
        { "TransformMatrix = 2 0 0 0 1 0 0 0 1", "column 1 has length 2" },
        { "ElementSpacing = 1e308 1 1", "spacing 1e+308 mm along axis 1 is out of range" },
        { "ElementSpacing = 1 1 1e-9", "spacing 1e-09 mm along axis 3" },
        { "Offset = 0 3e7 0", "origin (0, 3e+07, 0) mm" },
    };
    for (const auto& [line, reason] : cases)
    {
        SCOPED_TRACE(line);
        std::ofstream(file("placed.mha"), std::ios::binary | std::ios::trunc)
          << "ObjectType = Image\nNDims = 3\nDimSize = 2 2 2\n"
          << line << "\nElementType = MET_SHORT\nElementDataFile = LOCAL\n"
          << std::string(16, '\1');
        expectRefused(file("placed.mha"), reason);
    }
}

TEST_F(VolumeIOTest, ReadsBeyondTheMemoryBudgetAndPipesAreRefusedBeforeOpening)
{
    // A small gzip claiming 2^30 int16 voxels: 4.3 GB of floats, refused before anything is allocated.
    std::ofstream(file("bomb.nrrd"))
      << "NRRD0004\ntype: short\ndimension: 3\nsizes: 1024 1024 1024\nencoding: gzip\nendian: little\n\nx";
    VolumeIO::setMemoryBudgetBytes(64 << 20);
    expectRefused(file("bomb.nrrd"), "needs 4.3 GB to read; this machine allows 67.1 MB for one volume");
    VolumeIO::setMemoryBudgetBytes(0);
    EXPECT_GT(VolumeIO::memoryBudgetBytes(), uint64_t(64) << 20);
    // Opening a pipe would block until someone writes to it.
    ASSERT_EQ(::mkfifo(file("pipe.nrrd").c_str(), 0600), 0);
    expectRefused(file("pipe.nrrd"), "a pipe (FIFO), not a file");
    // Beside a good slice, the pipe, the volumes and a slice cut at 300 bytes (which crashes the DICOM library) are
    // skipped with one warning, and the good slice is read.
    writeDicomSlice(file("slice.dcm"), 0, 0.0, "1.2.826.0.1.3680043.2.1125.8");
    std::ifstream whole(file("slice.dcm"), std::ios::binary);
    std::string cut(300, '\0');
    whole.read(cut.data(), 300);
    std::ofstream(file("cut.dcm"), std::ios::binary) << cut;
    LogExpectation warning(Log::Warning, "3 of 4 files in", 1);
    const auto loaded = VolumeIO::load(m_folder.string());
    ASSERT_TRUE(loaded.image) << loaded.error;
    EXPECT_EQ(loaded.image->voxel({ 1, 2, 0 }), 10);
}

} // namespace
} // namespace Kelvaros
