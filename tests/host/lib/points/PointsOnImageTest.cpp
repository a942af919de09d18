#include "lib/points/PointsOnImage.h"

#include <cmath>

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/SharedImageSet.h"

#include "LogExpectation.h"
#include "PointsTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
SharedImageSet makeVolume()
{
    return SharedImageSet("volume", Eigen::Vector3i(8, 8, 8), Eigen::Vector3d(1.0, 1.0, 2.0));
}
} // namespace

TEST(PointsOnImage, PointsStayOnTheImageWhenItMoves)
{
    std::mt19937 rng(11);
    SharedImageSet volume = makeVolume();
    const Eigen::Matrix4d placement = randomRigid(rng);
    volume.setMatrix(placement);
    PointsOnImage points(volume);
    PointSignalLog log(points);

    points.addImagePoint({ 1, 2, 3 }, 0);
    points.addWorldPoint(apply(placement, Eigen::Vector3d(-4, 5, 6)));
    ASSERT_EQ(points.size(), 2);
    EXPECT_EQ(points.data(), &volume);
    EXPECT_TRUE(points.allPoints()[0].isApprox(apply(placement, Eigen::Vector3d(1, 2, 3)), 1e-12));
    EXPECT_TRUE(points.imagePoints()[1].isApprox(Eigen::Vector3d(-4, 5, 6), 1e-9));

    const Eigen::Matrix4d moved = randomRigid(rng);
    volume.setMatrix(moved);
    EXPECT_TRUE(points.imagePoints()[0].isApprox(Eigen::Vector3d(1, 2, 3)));
    EXPECT_TRUE(points.point(0).isApprox(apply(moved, Eigen::Vector3d(1, 2, 3)), 1e-12));
    EXPECT_TRUE(points.point(1).isApprox(apply(moved, Eigen::Vector3d(-4, 5, 6)), 1e-9));
    EXPECT_EQ(log.events, (std::vector<std::string>{ "added 0 1", "added 1 2", "changed 0 2" }));
}

TEST(PointsOnImage, NamesAndFlagsStayInStepWithThePoints)
{
    SharedImageSet volume = makeVolume();
    PointsOnImage points(volume);
    for (int i = 0; i < 4; ++i)
        points.addImagePoint(Eigen::Vector3d::Constant(i), 0);
    EXPECT_EQ(points.names(), std::vector<std::string>(4));
    EXPECT_EQ(points.flags(), std::vector<bool>(4, true));

    PointSignalLog log(points);
    points.setName("nasion", 1);
    points.setName("tragus", 3);
    points.setFlag(2, false);
    points.setFlag(2, false); // no change, no signal
    points.remove(-5, 2);     // clamped to [0, 2)
    EXPECT_EQ(points.names(), (std::vector<std::string>{ "", "tragus" }));
    EXPECT_EQ(points.flags(), (std::vector<bool>{ false, true }));
    EXPECT_TRUE(points.imagePoints()[0].isApprox(Eigen::Vector3d::Constant(2)));

    points.remove(1, 100); // clamped to [1, 2)
    points.remove(1, 1);   // empty: nothing
    points.remove(5, 9);   // beyond the end: nothing
    EXPECT_EQ(points.size(), 1);
    EXPECT_EQ(points.names().size(), 1u);
    EXPECT_EQ(points.flags().size(), 1u);
    EXPECT_EQ(log.events,
              (std::vector<std::string>{ "renamed 1 2", "renamed 3 4", "changed 2 3", "removed 0 2", "removed 1 2" }));

    points.clear();
    EXPECT_TRUE(points.empty());
    EXPECT_EQ(log.events.back(), "removed 0 1");
}

TEST(PointsOnImage, InvalidIndicesAreRefusedWithoutChange)
{
    SharedImageSet volume = makeVolume();
    PointsOnImage points(volume);
    {
        LogExpectation expect(Log::Error, "setImagePoint: invalid index 0", 1);
        points.setImagePoint({ 1, 1, 1 }, -1);
    }
    points.addImagePoint({ 1, 1, 1 }, 0);
    points.setImagePoint({ 7, 7, 7 }, -1); // the last point
    EXPECT_TRUE(points.imagePoints()[0].isApprox(Eigen::Vector3d(7, 7, 7)));
    {
        LogExpectation expect(Log::Error, "setWorldPoint: invalid index 1", 1);
        points.setWorldPoint({ 1, 1, 1 }, 1);
    }
    {
        LogExpectation expect(Log::Error, "invalid index", 3);
        EXPECT_TRUE(std::isnan(points.point(3).x()));
        points.setName("x", 1);
        points.setFlag(-1, false);
    }
    EXPECT_EQ(points.size(), 1);
    EXPECT_EQ(points.name(1), "");
    EXPECT_FALSE(points.flag(1));
}

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

    // Properties without a point list leave the points alone.
    Properties unrelated;
    unrelated.setParam("something", 1);
    restored.configure(&unrelated);
    restored.configure(nullptr);
    EXPECT_EQ(restored.size(), 2);
}
