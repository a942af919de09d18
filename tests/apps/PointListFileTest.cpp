#include "PointListFile.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "stream/io/BoundedLineReader.h"

using namespace Kelvaros::Nav;

namespace
{
class PointListFileTest : public ::testing::Test
{
protected:
    std::string write(const std::string& text)
    {
        const std::string path = m_dir.filePath("points.txt").toStdString();
        std::ofstream(path) << text;
        return path;
    }

    QTemporaryDir m_dir;
};
} // namespace

TEST_F(PointListFileTest, ReadsTextAndCsvWithHeaderCommentsAndBlankLines)
{
    std::string error;
    const auto points = readPointList(write("x,y,z\n# touched with the pointer\n1,2,3\n\n-4.5\t5e1 ;6\r\n"), &error);
    ASSERT_TRUE(points) << error;
    ASSERT_EQ(points->size(), 2u);
    EXPECT_EQ((*points)[0], Eigen::Vector3d(1, 2, 3));
    EXPECT_EQ((*points)[1], Eigen::Vector3d(-4.5, 50, 6));
}

TEST_F(PointListFileTest, RefusesMalformedLinesNamingFileAndLine)
{
    std::string error;
    const std::string twoNumbers = write("1 2 3\n4 5\n");
    EXPECT_FALSE(readPointList(twoNumbers, &error));
    EXPECT_EQ(error, twoNumbers + ":2: expected 3 coordinates, found 2");

    const std::string notFinite = write("1 2 3\n4 nan 6\n");
    EXPECT_FALSE(readPointList(notFinite, &error));
    EXPECT_EQ(error, notFinite + ":2: coordinates must be finite numbers");

    // Only the first line may be a header: words further down are an error, not something to skip.
    EXPECT_FALSE(readPointList(write("1 2 3\nx y z\n"), &error));
    EXPECT_FALSE(readPointList(write("1 2 3x\n"), &error));
    EXPECT_FALSE(readPointList(m_dir.filePath("missing.txt").toStdString(), &error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos);
}

// A pipe would block the reader and a line without end fill the memory; the test holds the pipe's other end, so a
// regression fails on the time-out instead of hanging.
TEST_F(PointListFileTest, RefusesPipesAndEndlessLines)
{
    const std::string fifo = m_dir.filePath("points.fifo").toStdString();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int holder = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    std::string error;
    auto reading = std::async(std::launch::async, [&] { return readPointList(fifo, &error).has_value(); });
    EXPECT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    close(holder); // ends a blocked read
    EXPECT_FALSE(reading.get());
    EXPECT_EQ(error, fifo + ": cannot be read: a pipe (FIFO), not a file");

    const std::string endless = write("1 2 3\n" + std::string(Kelvaros::BoundedLineReader::kMaxLineBytes + 1, '1'));
    EXPECT_FALSE(readPointList(endless, &error));
    EXPECT_EQ(error, endless + ": line 2 is longer than 1 MiB; not a point list");
}
