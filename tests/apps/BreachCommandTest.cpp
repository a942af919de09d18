#include "BreachCommand.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/geometry/MeshIO.h"
#include "stream/io/TrackingSequenceFile.h"

#include "ExitCode.h"
#include "MatrixText.h"
#include "imageio/VolumeIO.h"

using namespace Kelvaros;
using namespace Kelvaros::Nav;
namespace fs = std::filesystem;

namespace
{
/// A pointer whose tip lies 100 mm along its calibrated z axis, turned a quarter about x, seen in an image shifted
/// 10 mm from the tracker: the tip reaches image point (x, 0, 0) only when every transform is applied the right way.
class BreachCommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(m_dir);
        Properties calibration;
        calibration.setParam("calibration", Eigen::Matrix4d(Eigen::Affine3d(Eigen::Translation3d(0, 0, 100)).matrix()));
        ASSERT_TRUE(calibration.saveToXmlFile(path("pointer.xml")));
        const Eigen::Matrix4d imageToTracker = Eigen::Affine3d(Eigen::Translation3d(10, 0, 0)).matrix();
        std::ofstream(path("registration.txt")) << "T (image to tracker coordinates):\n" << matrixText(imageToTracker);
        ASSERT_TRUE(MeshIO::saveObj(*MeshCreator::createSphere(20.0, 64), path("vessel.obj")));

        std::vector<TrackingSample> samples;
        for (const double x : { 40.0, 23.0, 5.0, 5.0 })
        {
            const Eigen::Matrix4d pose =
              (Eigen::Translation3d(x + 10, 100, 0) * Eigen::AngleAxisd(EIGEN_PI / 2, Eigen::Vector3d::UnitX()))
                .matrix();
            const bool tracked = samples.size() < 3;
            samples.push_back(
              { int64_t(samples.size()) * 100000,
                { TrackingInstrument{ TrackerID("Pointer", "", "Pointer"), pose, tracked ? 1.0 : 0.0, 0, tracked } } });
        }
        ASSERT_TRUE(TrackingSequenceFile::write(path("recording.mha"), samples));
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string path(const std::string& name) const { return (m_dir / name).string(); }
    int run(const std::string& tool, const std::string& structure, std::string* error)
    {
        ::testing::internal::CaptureStderr();
        const int code =
          runBreach({ path("recording.mha"), "--tool", tool, "--calibration", path("pointer.xml"), "--registration",
                      path("registration.txt"), "--structure", path(structure), "--out", path("out.csv") });
        *error = ::testing::internal::GetCapturedStderr();
        return code;
    }

    const fs::path m_dir = fs::temp_directory_path() / ("breach-command-" + std::to_string(::getpid()));
};

// The same vessel as a mesh and as label 1 of a 1 mm label volume (within a voxel of the mesh's distances).
TEST_F(BreachCommandTest, WritesTheSignedDistanceOfEveryFrame)
{
    SharedImageSet labels("vessel", Eigen::Vector3i::Constant(46), Eigen::Vector3d::Ones());
    for (std::size_t i = 0; i < labels.numVoxels(); ++i)
        labels.voxels()[i] = labels.voxelToImage(Eigen::Vector3d(i % 46, i / 46 % 46, i / 2116)).norm() <= 20;
    ASSERT_EQ(VolumeIO::save(labels, path("labels.mha")), "");
    for (const std::string file : { "vessel.obj", "labels.mha" })
    {
        std::string error;
        ASSERT_EQ(run("Pointer", file, &error), ExitSuccess) << error;
        const std::string name = file == "vessel.obj" ? "vessel" : "labels label 1";
        const double tolerance = name == "vessel" ? 0.03 : 0.5;
        std::ifstream csv(path("out.csv"));
        std::string line;
        std::getline(csv, line);
        EXPECT_EQ(line, "time_s,distance_mm,inside,status,structure");
        for (const auto& [distance, rest] :
             { std::pair(20.0, ",0,clear,"), std::pair(3.0, ",0,warning,"), std::pair(-15.0, ",1,breach,") })
        {
            ASSERT_TRUE(std::getline(csv, line));
            const std::size_t comma = line.find(',');
            EXPECT_NEAR(std::stod(line.substr(comma + 1)), distance, tolerance) << line;
            EXPECT_EQ(line.substr(line.find(',', comma + 1)), rest + name);
        }
        std::getline(csv, line);
        EXPECT_EQ(line, "0.300000,,,not_seen,");
    }
}

TEST_F(BreachCommandTest, RefusesAnUnknownToolOrAMissingMesh)
{
    std::string error;
    EXPECT_EQ(run("Needle", "vessel.obj", &error), ExitBadInput);
    EXPECT_NE(error.find("no instrument 'Needle' (instruments: 'Pointer')"), std::string::npos) << error;
    EXPECT_EQ(run("Pointer", "nerve.stl", &error), ExitBadInput);
    EXPECT_NE(error.find("nerve.stl: cannot be read"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(path("out.csv")));
}

} // namespace
