#include "imageio/DicomScanner.h"

#include <filesystem>
#include <fstream>
#include <itkGDCMImageIO.h>
#include <itkImageFileWriter.h>
#include <itkMetaDataObject.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace Kelvaros
{
namespace
{
namespace fs = std::filesystem;

std::string le(uint32_t value, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; ++i)
        out += char(value >> (8 * i) & 0xFF);
    return out;
}

/// One explicit VR little endian element; `length` overrides the stated length.
std::string element(uint32_t tag, std::string vr, std::string value, int64_t length = -1)
{
    value.resize(value.size() + value.size() % 2, vr == "UI" ? '\0' : ' ');
    const uint32_t stated = length < 0 ? uint32_t(value.size()) : uint32_t(length);
    const bool wide = vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN";
    return le(tag >> 16, 2) + le(tag & 0xFFFF, 2) + vr + (wide ? le(0, 2) + le(stated, 4) : le(stated, 2)) + value;
}

struct Slice
{
    std::string series = "1.2.3.4";
    double z = 0;
    int rows = 2;
    int columns = 2;
    std::string pixels = std::string(8, '\x01');
    int64_t pixelLength = -1;
    std::string syntax = "1.2.840.10008.1.2.1";
    std::string extra; // elements between Series Instance UID and Image Position Patient

    template<typename T>
    Slice with(T Slice::*field, T value) const
    {
        Slice changed = *this;
        changed.*field = std::move(value);
        return changed;
    }
};

/// A Part 10 file of 16-bit slices in explicit VR little endian.
std::string dicom(const Slice& s)
{
    const std::string meta = element(0x00020010, "UI", s.syntax);
    return std::string(128, '\0') + "DICM" + element(0x00020000, "UL", le(uint32_t(meta.size()), 4)) + meta +
           element(0x0020000E, "UI", s.series) + s.extra + element(0x00200032, "DS", fmt::format("0\\0\\{}", s.z)) +
           element(0x00200037, "DS", "1\\0\\0\\0\\1\\0") + element(0x00280010, "US", le(s.rows, 2)) +
           element(0x00280011, "US", le(s.columns, 2)) + element(0x00280100, "US", le(16, 2)) +
           element(0x7FE00010, "OW", s.pixels, s.pixelLength);
}

std::string refusal(const Slice& slice)
{
    return DicomScanner::checkBytes(dicom(slice)).reason;
}

TEST(DicomScannerTest, HeadersThatWouldMakeTheReaderAllocateTooMuchOrLeaveVoxelsUnsetAreRefused)
{
    EXPECT_EQ(refusal(Slice()), "");
    EXPECT_EQ(refusal(Slice().with(&Slice::pixels, {}).with(&Slice::pixelLength, int64_t(0xFFFFFFF0))),
              "Pixel Data (7FE0,0010) claims 4294967280 bytes; the file holds 0 after its header");
    EXPECT_EQ(refusal(Slice().with(&Slice::rows, 46340).with(&Slice::columns, 46340)),
              "Rows 46340 x Columns 46340 x 16 bits need 4294791200 bytes of pixels, more than the 1073741824 "
              "allowed per file");
    EXPECT_EQ(refusal(Slice().with(&Slice::rows, 4)), "pixel data holds 8 bytes; Rows 4 x Columns 2 x 16 bits need 16");
    EXPECT_EQ(refusal(Slice().with(&Slice::columns, 0)), "Rows 2 and Columns 0 describe no image");
    EXPECT_EQ(refusal(Slice().with(&Slice::syntax, { "1.2.840.10008.1.2.2" })),
              "the transfer syntax 1.2.840.10008.1.2.2 is not supported");
    EXPECT_EQ(refusal(Slice().with(&Slice::extra, element(0x00080060, "CS", "CT"))),
              "element (0008,0060) follows (0020,000E): tags must ascend");
    EXPECT_EQ(refusal(Slice().with(&Slice::extra, element(0x00200020, "OB", "x", 0xFFFFFFFF))),
              "element (0020,0020) of VR OB has an undefined length");
    // A sequence of undefined length whose item of undefined length holds one element, as many scanners write.
    const std::string item = le(0xFFFE, 2) + le(0xE000, 2) + le(0xFFFFFFFF, 4) + element(0x00080100, "SH", "T1") +
                             le(0xFFFE, 2) + le(0xE00D, 2) + le(0, 4);
    const std::string sequence = element(0x00200020, "SQ", item, 0xFFFFFFFF) + le(0xFFFE, 2) + le(0xE0DD, 2) + le(0, 4);
    EXPECT_EQ(refusal(Slice().with(&Slice::extra, sequence)), "");
    EXPECT_EQ(refusal(Slice().with(&Slice::extra, sequence.substr(0, sequence.size() - 8))),
              "Image Position Patient (0020,0032) stands in a sequence where an item belongs");
    // Encapsulated pixel data: an empty offset table, then a fragment that claims more than the file holds.
    const std::string fragments =
      le(0xFFFE, 2) + le(0xE000, 2) + le(0, 4) + le(0xFFFE, 2) + le(0xE000, 2) + le(1000, 4) + "abcd";
    EXPECT_EQ(refusal(Slice()
                        .with(&Slice::pixels, fragments)
                        .with(&Slice::pixelLength, int64_t(0xFFFFFFFF))
                        .with(&Slice::syntax, { "1.2.840.10008.1.2.4.90" })),
              "a pixel data fragment at byte 274 claims 1000 bytes; the file ends 4 bytes after its header");
}

class DicomFolderTest : public ::testing::Test
{
protected:
    void SetUp() override { fs::create_directories(m_folder); }
    void TearDown() override { fs::remove_all(m_folder); }
    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(m_folder / name, std::ios::binary) << bytes;
    }
    std::vector<std::string> names(const DicomScanner::Series& series) const
    {
        std::vector<std::string> names;
        for (const auto& file : series.files)
            names.push_back(fs::path(file.path).filename().string());
        return names;
    }

    const fs::path m_folder =
      fs::temp_directory_path() /
      fmt::format("dicomscanner-{}-{}", ::testing::UnitTest::GetInstance()->current_test_info()->name(), ::getpid());
};

TEST_F(DicomFolderTest, DamagedAndForeignFilesAreSkippedBesideGoodSeries)
{
    // File names run against the slice order.
    write("c.dcm", dicom(Slice()));
    write("b.dcm", dicom(Slice().with(&Slice::z, 2.5)));
    write("a.dcm", dicom(Slice().with(&Slice::z, 5.0)));
    write("x1.dcm", dicom(Slice().with(&Slice::series, { "9.8" }).with(&Slice::z, 1.0)));
    write("x2.dcm", dicom(Slice().with(&Slice::series, { "9.8" })));
    write("cut.dcm",
          dicom(Slice().with(&Slice::rows, 16).with(&Slice::columns, 16).with(&Slice::pixels, std::string(512, 'p')))
            .substr(0, 300));
    std::mt19937 random(437);
    std::string noise(437, '\0');
    for (char& c : noise)
        c = char(random());
    write("noise", noise);
    ASSERT_EQ(::mkfifo((m_folder / "pipe").c_str(), 0600), 0);
    fs::create_directory(m_folder / "sub");

    const auto scan = DicomScanner::scanFolder(m_folder.string());
    EXPECT_EQ(scan.error, "");
    EXPECT_EQ(scan.fileCount, 8);
    ASSERT_EQ(scan.series.size(), 2u);
    EXPECT_EQ(names(scan.series[0]), (std::vector<std::string>{ "c.dcm", "b.dcm", "a.dcm" }));
    EXPECT_EQ(names(scan.series[1]), (std::vector<std::string>{ "x2.dcm", "x1.dcm" }));
    for (const auto& series : scan.series)
        EXPECT_EQ(series.refusal + series.warning, "");
    ASSERT_EQ(scan.skipped.size(), 3u);
    EXPECT_EQ(scan.skipped[0].reason, "Pixel Data (7FE0,0010) claims 512 bytes; the file holds 36 after its header");
    EXPECT_EQ(scan.skipped[1].reason, "not a DICOM file (no DICM marker at byte 128, no data set at its start)");
    EXPECT_EQ(scan.skipped[2].reason, "a pipe (FIFO), not a file");
    EXPECT_EQ(DicomScanner::skippedSummary(scan, scan.series[0]),
              fmt::format("5 of 8 files in {} skipped: cut.dcm: {}", m_folder.string(), scan.skipped[0].reason));
}

TEST_F(DicomFolderTest, SlicesThatDoNotMakeAVolumeAreRefusedAndUnevenSpacingIsReported)
{
    const auto series = [this](std::vector<double> depths, bool dropLastPosition = false)
    {
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
        for (size_t i = 0; i < depths.size(); ++i)
            write(fmt::format("{}.dcm", i), dicom(Slice().with(&Slice::z, depths[i])));
        auto scan = DicomScanner::scanFolder(m_folder.string());
        EXPECT_EQ(scan.series.size(), 1u);
        if (dropLastPosition)
        {
            scan.series[0].files.back().position.reset();
            DicomScanner::checkSeries(scan.series[0]);
        }
        return scan.series[0].refusal + "|" + scan.series[0].warning;
    };
    EXPECT_EQ(series({ 0, 2.5, 5, 10 }),
              "uneven slice spacing (2.5 mm to 5.0 mm): a slice is missing, or the slices do not make one volume|");
    EXPECT_EQ(series({ 0, 2.5, 2.5 }), "1.dcm and 2.dcm lie at the same position 2.5 mm along the slice normal (a "
                                       "duplicate slice)|");
    EXPECT_EQ(series({ 0, 1, 2 }, true), "only 2 of 3 files state Image Position Patient (0020,0032)|");
}

TEST_F(DicomFolderTest, SeriesWrittenByGdcmIsAccepted)
{
    using Slice = itk::Image<short, 3>;
    for (int slice = 0; slice < 3; ++slice)
    {
        auto image = Slice::New();
        image->SetRegions(Slice::SizeType{ { 7, 5, 1 } });
        image->Allocate(true);
        const double origin[3] = { 1, 2, 3.0 * (2 - slice) };
        image->SetOrigin(origin);
        itk::EncapsulateMetaData<std::string>(image->GetMetaDataDictionary(), "0020|000e", "1.2.826.0.1.99");
        itk::EncapsulateMetaData<std::string>(image->GetMetaDataDictionary(), "0008|0060", "CT");
        auto io = itk::GDCMImageIO::New();
        io->KeepOriginalUIDOn();
        auto writer = itk::ImageFileWriter<Slice>::New();
        writer->SetImageIO(io);
        writer->SetInput(image);
        writer->SetFileName((m_folder / fmt::format("{}.dcm", slice)).string());
        writer->Update();
    }
    const auto scan = DicomScanner::scanFolder(m_folder.string());
    ASSERT_EQ(scan.series.size(), 1u);
    EXPECT_TRUE(scan.skipped.empty());
    EXPECT_EQ(names(scan.series[0]), (std::vector<std::string>{ "2.dcm", "1.dcm", "0.dcm" }));
    EXPECT_EQ(scan.series[0].files[0].rows, 5);
    EXPECT_EQ(scan.series[0].refusal + scan.series[0].warning, "");
}

} // namespace
} // namespace Kelvaros
