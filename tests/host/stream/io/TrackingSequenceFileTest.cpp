#include "stream/io/TrackingSequenceFile.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/Log.h"
#include "stream/TrackingSequence.h"
#include "stream/io/BoundedLineReader.h"
#include "stream/io/TrackingSequenceWriter.h"

#include "LogExpectation.h"
#include "SampleComparison.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{

TrackingInstrument instrument(const std::string& id, const Eigen::Matrix4d& matrix, double quality, bool tracked,
                              int64_t timestamp, const std::string& model = "Model", const std::string& name = "")
{
    return TrackingInstrument{ TrackerID(id, model, name.empty() ? id : name), matrix, quality, timestamp, tracked };
}

/// Doubles chosen to break any writer that does not use the shortest round-trip form: thirds, sub-normals,
/// extremes, negative zero, values one ulp apart.
std::vector<TrackingSample> awkwardRecording()
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> uniform(-500.0, 500.0);
    const std::vector<double> specials = { 1.0 / 3.0,
                                           -0.0,
                                           std::numeric_limits<double>::denorm_min(),
                                           std::numeric_limits<double>::max(),
                                           -std::numeric_limits<double>::min(),
                                           std::nextafter(1.0, 2.0),
                                           0.1 + 0.2,
                                           123456789.123456789 };
    const std::vector<int64_t> timestamps = { 0, 16667, -1, -1234567, 1'700'000'000'123'456LL, 999'999 };
    std::vector<TrackingSample> samples;
    for (size_t i = 0; i < timestamps.size(); ++i)
    {
        TrackingSample sample;
        sample.timestampDevice = timestamps[i];
        for (const char* id : { "Pointer", "Needle_2", "Ref.Frame" })
        {
            if (i == 2 && std::string(id) == "Needle_2")
                continue; // an instrument absent from a frame stays absent
            Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 4; ++c)
                    matrix(r, c) = uniform(random);
            // Tracked poses must be rigid to read back as tracked; the untracked ones carry the awkward numbers.
            if (i % 2 == 0)
                matrix.topLeftCorner<3, 3>() =
                  Eigen::Quaterniond(uniform(random), uniform(random), uniform(random), uniform(random))
                    .normalized()
                    .toRotationMatrix();
            else
                matrix(0, 0) = specials[(i * 3 + sample.instruments.size()) % specials.size()];
            sample.instruments.push_back(instrument(id, matrix, uniform(random) / 500.0, i % 2 == 0,
                                                    sample.timestampDevice,
                                                    std::string(id) == "Pointer" ? "TRK 0005678" : "",
                                                    std::string(id) == "Ref.Frame" ? "Reference frame" : ""));
        }
        samples.push_back(sample);
    }
    return samples;
}

/// A small file as another toolkit writes it: extra image metadata, CRLF line ends, statuses without quality.
const char* const kForeignFile = "ObjectType = Image\r\n"
                                 "NDims = 3\r\n"
                                 "AnatomicalOrientation = RAI\r\n"
                                 "BinaryData = True\r\n"
                                 "CompressedData = False\r\n"
                                 "DimSize = 0 0 2\r\n"
                                 "ElementSpacing = 1 1 1\r\n"
                                 "Offset = 0 0 0\r\n"
                                 "TransformMatrix = 1 0 0 0 1 0 0 0 1\r\n"
                                 "ElementType = MET_UCHAR\r\n"
                                 "Kinds = domain domain list\r\n"
                                 "Seq_Frame0000_FrameNumber = 0\r\n"
                                 "Seq_Frame0000_StylusToTrackerTransform = 1 0 0 10.5 0 1 0 -2 0 0 1 -1200 0 0 0 1\r\n"
                                 "Seq_Frame0000_StylusToTrackerTransformStatus = OK\r\n"
                                 "Seq_Frame0000_ProbeToTrackerTransform = 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\r\n"
                                 "Seq_Frame0000_ProbeToTrackerTransformStatus = MISSING\r\n"
                                 "Seq_Frame0000_Timestamp = 1234.5\r\n"
                                 "Seq_Frame0001_FrameNumber = 1\r\n"
                                 "Seq_Frame0001_StylusToTrackerTransform = 0 -1 0 11 1 0 0 -2 0 0 1 -1200 0 0 0 1\r\n"
                                 "Seq_Frame0001_StylusToTrackerTransformStatus = INVALID\r\n"
                                 "Seq_Frame0001_Timestamp = 1234.5166666666\r\n"
                                 "ElementDataFile = LOCAL\r\n";

} // namespace

TEST(TrackingSequenceFile, WrittenFilesReadBackBitForBit)
{
    const std::vector<TrackingSample> samples = awkwardRecording();
    const std::string path = temporaryPath("awkward.seq.mha");
    ASSERT_TRUE(TrackingSequenceFile::write(path, samples));
    LogExpectation backwards(Log::Warning, "earlier than the frame before, the first frame 2", 1);
    const auto read = TrackingSequenceFile::read(path);
    std::remove(path.c_str());
    ASSERT_TRUE(read);
    EXPECT_TRUE(samplesIdentical(samples, *read));
    // What we read, written again, is the same text: nothing is lost or reformatted on the way.
    EXPECT_EQ(TrackingSequenceFile::format(*read), TrackingSequenceFile::format(samples));

    EXPECT_TRUE(samplesIdentical({}, *TrackingSequenceFile::parse(*TrackingSequenceFile::format({}), "empty")));
}

TEST(TrackingSequenceFile, WritesTheMetafileLayoutOtherToolsRead)
{
    TrackingSample sample;
    sample.timestampDevice = 1'016'667;
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topRightCorner<3, 1>() = Eigen::Vector3d(10, -2.5, -1200);
    sample.instruments = { instrument("Pointer", pose, 0.5, true, sample.timestampDevice, ""),
                           instrument("Needle", pose, 0.0, false, sample.timestampDevice, "") };
    const std::string text = *TrackingSequenceFile::format({ sample });

    EXPECT_EQ(text.rfind("ObjectType = Image\nNDims = 3\n", 0), 0u);
    for (const char* line :
         { "DimSize = 0 0 1                   ",
           "Seq_Frame0000_PointerToTrackerTransform = 1 0 0 10 0 1 0 -2.5 0 0 1 -1200 0 0 0 1",
           "Seq_Frame0000_PointerToTrackerTransformStatus = OK", "Seq_Frame0000_PointerToTrackerTransformQuality = 0.5",
           "Seq_Frame0000_NeedleToTrackerTransformStatus = INVALID", "Seq_Frame0000_Timestamp = 1.016667" })
        EXPECT_NE(text.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
    EXPECT_EQ(text.substr(text.size() - 24), "ElementDataFile = LOCAL\n");
}

TEST(TrackingSequenceFile, ReadsFilesOfOtherToolsAndSaysWhatItLeavesOut)
{
    LogExpectation ignored(Log::Warning,
                           "2 per-frame fields are not supported and are left out, the first 'FrameNumber'", 1);
    const auto samples = TrackingSequenceFile::parse(kForeignFile, "foreign.mha");
    ASSERT_TRUE(samples);
    ASSERT_EQ(samples->size(), 2u);

    const TrackingSample& first = (*samples)[0];
    EXPECT_EQ(first.timestampDevice, 1'234'500'000);
    ASSERT_EQ(first.instruments.size(), 2u);
    EXPECT_EQ(first.instruments[0].ID(), "Stylus");
    EXPECT_EQ(first.instruments[0].name(), "Stylus");
    EXPECT_TRUE(first.instruments[0].tracked);
    EXPECT_EQ(first.instruments[0].quality, 1.0); // default for OK
    EXPECT_EQ(first.instruments[0].matrix(0, 3), 10.5);
    EXPECT_EQ(first.instruments[0].matrix(2, 3), -1200.0);
    EXPECT_EQ(first.instruments[0].timestamp, first.timestampDevice);
    EXPECT_EQ(first.instruments[1].ID(), "Probe");
    EXPECT_FALSE(first.instruments[1].tracked); // MISSING
    EXPECT_EQ(first.instruments[1].quality, 0.0);

    const TrackingSample& second = (*samples)[1];
    EXPECT_EQ(second.timestampDevice, 1'234'516'667); // rounded to the microsecond
    ASSERT_EQ(second.instruments.size(), 1u);
    EXPECT_EQ(second.instruments[0].matrix(0, 1), -1.0); // row-major
    EXPECT_EQ(second.instruments[0].matrix(1, 0), 1.0);
    EXPECT_FALSE(second.instruments[0].tracked);
}

TEST(TrackingSequenceFile, RefusesMalformedFilesNamingTheFrameAndField)
{
    struct Case
    {
        std::string from;
        std::string to;
        std::string message;
    };
    // The foreign file without its FrameNumber fields, so that the only message is the refusal.
    std::string good = kForeignFile;
    for (const char* line : { "Seq_Frame0000_FrameNumber = 0\r\n", "Seq_Frame0001_FrameNumber = 1\r\n" })
        good.erase(good.find(line), std::strlen(line));
    const std::vector<Case> cases = {
        { "Seq_Frame0001_Timestamp = 1234.5166666666\r\n", "", "frame 1: missing field 'Timestamp'" },
        { "-2 0 0 1 -1200 0 0 0 1\r\nSeq_Frame0000_StylusToTrackerTransformStatus",
          "-2 0 0 1 -1200 0 0 0\r\nSeq_Frame0000_StylusToTrackerTransformStatus",
          "frame 0, field 'StylusToTrackerTransform': expected 16 matrix entries, got 15" },
        { "1 0 0 10.5", "1 0 0 ten", "frame 0, field 'StylusToTrackerTransform': matrix entry 4 is not a finite" },
        { "-1200 0 0 0 1\r\nSeq_Frame0000_StylusToTrackerTransformStatus",
          "-1200 0 0.5 0 1\r\nSeq_Frame0000_StylusToTrackerTransformStatus", "the last matrix row must be 0 0 0 1" },
        { "Seq_Frame0000_Timestamp = 1234.5", "Seq_Frame0000_Timestamp = soon", "frame 0, field 'Timestamp'" },
        { "Seq_Frame0001_StylusToTrackerTransform =", "Seq_Frame0002_StylusToTrackerTransform =",
          "frame 2 (field 'StylusToTrackerTransform') out of order: expected frame 1 or 0" },
        { "Seq_Frame0000_ProbeToTrackerTransformStatus = MISSING\r\n",
          "Seq_Frame0000_ProbeToTrackerTransformStatus = MISSING\r\nSeq_Frame0000_ProbeToTrackerTransformStatus = "
          "OK\r\n",
          "duplicate key 'Seq_Frame0000_ProbeToTrackerTransformStatus'" },
        { "Seq_Frame0000_ProbeToTrackerTransformStatus = MISSING\r\n",
          "Seq_Frame0000_ProbeToTrackerTransformStatus = MISSING\r\nSeq_Frame00_ProbeToTrackerTransformStatus = OK\r\n",
          "frame 0: field 'ProbeToTrackerTransformStatus' given twice" },
        { "Seq_Frame0000_ProbeToTrackerTransformStatus = MISSING\r\n", "",
          "frame 0: missing field 'ProbeToTrackerTransformStatus'" },
        { "= MISSING", "= LOST", "frame 0, field 'ProbeToTrackerTransformStatus': expected OK or INVALID" },
        { "DimSize = 0 0 2", "DimSize = 0 0 3", "DimSize announces 3 frames but the file holds 2" },
        { "DimSize = 0 0 2", "DimSize = 0 0 1", "frame 1 beyond the 1 frames of DimSize" },
        { "DimSize = 0 0 2", "DimSize = 640 480 2", "image data" },
        { "DimSize = 0 0 2\r\n", "", "missing field 'DimSize'" },
        { "ObjectType = Image", "ObjectType = Mesh", "ObjectType is 'Mesh'" },
        { "ElementDataFile = LOCAL\r\n", "", "does not end with 'ElementDataFile = LOCAL'" },
        { "ElementDataFile = LOCAL\r\n", "ElementDataFile = LOCAL\r\n\x01\x02garbage", "unexpected data after" },
        { "Kinds = domain domain list", "Kinds domain domain list", "line 11: expected 'key = value'" },
        { "Seq_Frame0001_Timestamp = 1234.5166666666\r\n",
          "Seq_Frame0001_Timestamp = 1234.5166666666\r\nComment = x\r\n", "header field 'Comment' after the frames" },
        { "Seq_Frame0001_Timestamp", "Seq_FrameX_Timestamp", "malformed frame field name 'Seq_FrameX_Timestamp'" },
        { "Seq_Frame0000_StylusToTrackerTransform ", "Seq_Frame0000_Sty lusToTrackerTransform ",
          "the instrument name contains white space" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.message);
        const size_t at = good.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from;
        std::string text = good;
        text.replace(at, c.from.size(), c.to);
        LogExpectation error(Log::Error, c.message, 1);
        EXPECT_FALSE(TrackingSequenceFile::parse(text, "broken.mha"));
        for (const Log::Record& record : capturedLog())
            EXPECT_TRUE(record.level != Log::Error || record.category == "SequenceFile") << record.category;
    }
    LogExpectation missing(Log::Error, "Cannot open", 1);
    EXPECT_FALSE(TrackingSequenceFile::read(temporaryPath("does-not-exist.mha")));
}

// Neither a pipe nor a file of NULs without a line feed may block the reader or be held whole: the test keeps the
// pipe's other end open, so a regression fails on the time-out instead of hanging.
TEST(TrackingSequenceFile, RefusesPipesAndEndlessLinesWithoutHoldingThem)
{
    const std::string fifo = temporaryPath("pipe.mha");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int holder = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    LogExpectation pipe(Log::Error, "Cannot open '" + fifo + "': a pipe (FIFO), not a file", 1);
    auto reading = std::async(std::launch::async, [&fifo] { return TrackingSequenceFile::read(fifo).has_value(); });
    EXPECT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    close(holder); // ends a blocked read
    EXPECT_FALSE(reading.get());
    std::remove(fifo.c_str());

    const std::string nuls(BoundedLineReader::kMaxLineBytes + 1, '\0');
    const std::string path = temporaryPath("nuls.mha");
    std::ofstream(path, std::ios::binary) << nuls;
    LogExpectation tooLong(Log::Error, "line 1 is longer than 1 MiB; not a recording", 2);
    EXPECT_FALSE(TrackingSequenceFile::read(path));
    EXPECT_FALSE(TrackingSequenceFile::parse(nuls, path));
    std::remove(path.c_str());
}

TEST(TrackingSequenceFile, RefusesToWriteWhatCouldNotBeReadBack)
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    const auto refused = [&](const TrackingInstrument& bad, const std::string& message)
    {
        LogExpectation error(Log::Error, message, 1);
        return !TrackingSequenceFile::format({ TrackingSample{ 5, { bad } } });
    };
    EXPECT_TRUE(refused(instrument("my tool", pose, 1, true, 5), "instrument id 'my tool'"));
    EXPECT_TRUE(refused(instrument("", pose, 1, true, 5), "instrument id ''"));
    EXPECT_TRUE(refused(instrument("a=b", pose, 1, true, 5), "instrument id 'a=b'"));
    EXPECT_TRUE(refused(instrument("t", pose, std::nan(""), true, 5), "non-finite"));
    pose(3, 0) = 1.0;
    EXPECT_TRUE(refused(instrument("t", pose, 1, true, 5), "last row"));
    pose(3, 0) = 0.0;
    EXPECT_TRUE(refused(instrument("t", pose, 1, true, 5, "line\nbreak"), "control characters"));
    {
        LogExpectation error(Log::Error, "appears twice", 1);
        EXPECT_FALSE(TrackingSequenceFile::format(
          { TrackingSample{ 5, { instrument("t", pose, 1, true, 5), instrument("t", pose, 1, true, 5) } } }));
    }
    {
        LogExpectation error(Log::Error, "/nonexistent-folder/x.mha: cannot write", 1);
        EXPECT_FALSE(TrackingSequenceFile::write("/nonexistent-folder/x.mha", { TrackingSample{ 5, {} } }));
    }
}

TEST(TrackingSequenceFile, ConvertsToAndFromOneSequencePerInstrument)
{
    const std::vector<TrackingSample> samples = awkwardRecording();
    const auto sequences = TrackingSequenceFile::toSequences(samples);
    ASSERT_EQ(sequences.size(), 3u);
    EXPECT_EQ(sequences[0]->trackerID().ID(), "Pointer");
    EXPECT_EQ(sequences[0]->trackerID().model(), "TRK 0005678");
    EXPECT_EQ(sequences[2]->name(), "Reference frame");
    EXPECT_EQ(sequences[0]->size(), 6);
    EXPECT_EQ(sequences[1]->size(), 5); // absent from one frame

    std::vector<const TrackingSequence*> pointers;
    for (const auto& sequence : sequences)
        pointers.push_back(sequence.get());
    pointers.push_back(nullptr);
    // Frames come back sorted by timestamp; the recording's own order is not sorted.
    std::vector<TrackingSample> sorted = samples;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const TrackingSample& a, const TrackingSample& b)
                     { return a.timestampDevice < b.timestampDevice; });
    EXPECT_TRUE(samplesIdentical(sorted, TrackingSequenceFile::fromSequences(pointers)));

    // Two samples of one tool with the same timestamp stay two frames.
    TrackingSequence repeated("Repeated");
    repeated.setTrackerID(TrackerID("R", "", "R"));
    repeated.add(Eigen::Matrix4d::Identity(), 10);
    repeated.add(Eigen::Matrix4d::Identity() * 1.0, 10, 0.5, false);
    const auto frames = TrackingSequenceFile::fromSequences({ &repeated });
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].instruments.at(0).quality, 0.5);
}

// Questionable but readable content is read and said once per kind, with its count and first frame, however often it
// occurs: a scaled pose is untracked, time running backwards and unknown fields are kept as they are or left out.
TEST(TrackingSequenceFile, QuestionableContentIsOneWarningPerKind)
{
    Eigen::Matrix4d scaled = Eigen::Matrix4d::Identity() * 1000.0;
    scaled(3, 3) = 1.0;
    std::vector<TrackingSample> samples;
    for (int i = 0; i < 1000; ++i)
        samples.push_back(
          { 1000 - i, { instrument("Probe", i < 10 ? Eigen::Matrix4d::Identity() : scaled, 0.9, true, 1000 - i) } });
    std::string text;
    std::istringstream lines(*TrackingSequenceFile::format(samples));
    for (std::string line; std::getline(lines, line);)
    {
        const size_t timestamp = line.find("_Timestamp");
        for (int field = 0; field < 100 && timestamp != std::string::npos; ++field)
            text += line.substr(0, timestamp) + "_Extra" + std::to_string(field) + " = 1\n";
        text += line + "\n";
    }
    LogExpectation nonRigid(Log::Warning,
                            "990 tracked poses are not rigid (or not finite) and are read as "
                            "untracked, the first of 'Probe' in frame 10",
                            1);
    LogExpectation backwards(Log::Warning, "999 frames have a negative time stamp or one earlier", 1);
    LogExpectation unknown(Log::Warning,
                           "100000 per-frame fields are not supported and are left out, the first "
                           "'Extra0' in frame 0",
                           1);
    const auto read = TrackingSequenceFile::parse(text, "questionable.mha");
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), 1000u);
    EXPECT_TRUE(read->at(9).instruments.at(0).tracked);
    EXPECT_FALSE(read->at(10).instruments.at(0).tracked);
    EXPECT_EQ(read->at(10).instruments.at(0).quality, 0.0);
}

// Written as it comes: the old file stays until close() (or for good when the writer is dropped), and the frame
// count filled in at the end makes a file larger than the write buffer read back whole.
TEST(TrackingSequenceWriter, ReplacesTheOldFileOnlyWhenClosed)
{
    const std::string path = temporaryPath("incremental.mha");
    const TrackingSample sample{ 7, { instrument("Pointer", Eigen::Matrix4d::Identity(), 1, true, 7) } };
    ASSERT_TRUE(TrackingSequenceFile::write(path, { sample }));
    for (bool close : { true, false })
    {
        TrackingSequenceWriter writer(path);
        ASSERT_TRUE(writer.open());
        for (int i = 0; i < 5000; ++i)
            ASSERT_EQ(writer.append(sample), TrackingSequenceWriter::Result::Written);
        EXPECT_EQ(TrackingSequenceFile::read(path)->size(), close ? 1u : 5000u);
        EXPECT_TRUE(!close || writer.close());
    }
    EXPECT_EQ(TrackingSequenceFile::read(path)->size(), 5000u);
    std::remove(path.c_str());
}
