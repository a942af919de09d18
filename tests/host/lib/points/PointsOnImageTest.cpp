#include "lib/points/PointsOnImage.h"

#include <cmath>

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/SharedImageSet.h"

#include "LogExpectation.h"
#include "PointSignalLog.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
SharedImageSet makeVolume()
{
    return SharedImageSet("volume", Eigen::Vector3i(8, 8, 8), Eigen::Vector3d(1.0, 1.0, 2.0));
}
} // namespace

TEST(PointsOnImage, NamesAndFlagsStayInStepAndInvalidIndicesChangeNothing)
{
    SharedImageSet volume = makeVolume();
    PointsOnImage points(volume);
    {
        LogExpectation expect(Log::Error, "setImagePoint: invalid index 0", 1);
        points.setImagePoint({ 1, 1, 1 }, -1);
    }
    for (int i = 0; i < 4; ++i)
        points.addImagePoint(Eigen::Vector3d::Constant(i), 0);
    PointSignalLog log(points);
    points.setName("nasion", 1);
    points.setName("tragus", 3);
    points.setFlag(2, false);
    points.setFlag(2, false); // no change, no signal
    points.setImagePoint({ 7, 7, 7 }, -1);
    points.remove(-5, 2); // clamped to [0, 2)
    points.remove(1, 1);  // empty: nothing
    points.remove(5, 9);  // beyond the end: nothing
    EXPECT_EQ(points.imagePoints(), (std::vector<Eigen::Vector3d>{ Eigen::Vector3d::Constant(2), { 7, 7, 7 } }));
    EXPECT_EQ(points.names(), (std::vector<std::string>{ "", "tragus" }));
    EXPECT_EQ(points.flags(), (std::vector<bool>{ false, true }));
    EXPECT_EQ(log.events,
              (std::vector<std::string>{ "renamed 1 2", "renamed 3 4", "changed 2 3", "changed 3 4", "removed 0 2" }));
    {
        LogExpectation expect(Log::Error, "invalid index", 4);
        points.setWorldPoint({ 1, 1, 1 }, 2);
        EXPECT_TRUE(std::isnan(points.point(3).x()));
        points.setName("x", 2);
        points.setFlag(-1, false);
    }
    EXPECT_EQ(points.size(), 2);
}

// Workspace files store image points in this form.
TEST(PointsOnImage, ConfigurationRoundTripsThroughXml)
{
    SharedImageSet volume = makeVolume();
    PointsOnImage points(volume);
    points.addImagePoint({ 1.5, -2.25, 3 }, 0);
    points.addImagePoint({ 0.1, 0.2, 0.3 }, 0);
    points.setName("first", 0);
    points.setFlag(1, false);

    Properties written;
    points.configuration(&written);
    const auto reread = Properties::fromXml(written.toXml());
    ASSERT_TRUE(reread);

    PointsOnImage restored(volume);
    restored.addImagePoint({ 9, 9, 9 }, 0); // replaced by the stored list
    PointSignalLog log(restored);
    restored.configure(reread.get());
    ASSERT_EQ(restored.size(), 2);
    EXPECT_EQ(restored.imagePoints(), points.imagePoints());
    EXPECT_EQ(restored.names(), points.names());
    EXPECT_EQ(restored.flags(), points.flags());
    EXPECT_EQ(log.events, (std::vector<std::string>{ "removed 0 1", "added 0 1", "renamed 0 1", "added 1 2",
                                                     "renamed 1 2", "changed 1 2" }));
}
