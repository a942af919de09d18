#include "navigation/NavigationPathGeometry.h"

#include <cmath>
#include <tuple>

#include <gtest/gtest.h>

#include "core/Properties.h"

#include "TrackingTestSupport.h"
#include "navigation/NavigationSettings.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;
namespace Geometry = Kelvaros::NavigationPathGeometry;

TEST(NavigationPathGeometry, AxesAcrossTheTangent)
{
    // Tangent, axis a, axis b.
    const std::tuple<Eigen::Vector3d, Eigen::Vector3d, Eigen::Vector3d> cases[] = {
        { { 0, 0, 1 }, { 0, 1, 0 }, { -1, 0, 0 } },
        // Along x the helper axis is z.
        { { 1, 0, 0 }, { 0, -1, 0 }, { 0, 0, -1 } },
        { { -1, 0, 0 }, { 0, 1, 0 }, { 0, 0, -1 } },
    };
    for (const auto& [tangent, a, b] : cases)
    {
        EXPECT_TRUE(Geometry::perpendicularAxes(tangent).a.isApprox(a));
        EXPECT_TRUE(Geometry::perpendicularAxes(tangent).b.isApprox(b));
    }
}

TEST(NavigationPathGeometry, LabelStandsOnTheRimAwayFromTheTip)
{
    // A ring in the xy plane, the tip 3 mm off its centre, seen along z and edge-on along x.
    const auto alongZ = [](const Eigen::Vector3d& a, const Eigen::Vector3d& b) { return (a - b).head<2>().norm(); };
    const auto alongX = [](const Eigen::Vector3d& a, const Eigen::Vector3d& b) { return (a - b).tail<2>().norm(); };
    const Geometry::Axes axes{ { 1, 0, 0 }, { 0, 1, 0 } };
    const Eigen::Vector3d centre(0, 0, 50), tip(3, 1, 50);
    EXPECT_TRUE(Geometry::clearestRimPoint(centre, axes, 15, tip, alongZ).isApprox(Eigen::Vector3d(-15, 0, 50)));
    EXPECT_TRUE(Geometry::clearestRimPoint(centre, axes, 15, tip, alongX).isApprox(Eigen::Vector3d(0, -15, 50)));
}

TEST(NavigationPathGeometry, TubeAndFunnelRadii)
{
    // Type, growth, remaining path, radius for a target radius of 10 mm.
    const std::tuple<PathType, double, double, double> cases[] = {
        { PathType::Tubular, 100, 100, 15 },
        { PathType::Funnel, 100, 100, 40.774 },
        { PathType::Funnel, 100, 0, 15 },
        // A funnel that does not grow is a tube, also at the target (0 / 0).
        { PathType::Funnel, 0, 100, 15 },
        { PathType::Funnel, 0, 0, 15 },
    };
    for (const auto& [type, growth, remaining, radius] : cases)
        EXPECT_NEAR(Geometry::ringRadius(type, 10.0, growth, remaining), radius, 1e-3)
          << int(type) << " growth " << growth << " remaining " << remaining;
}

TEST(NavigationPathGeometry, FadingByDistanceFromTheTipRing)
{
    EXPECT_EQ(Geometry::fadingAlphas({ 30, 5, 50, 1, 20, 40 }), (std::vector<double>{ 0.4, 1, 0, 1, 0.4, 0 }));
    // Twins at equal distances fade alike.
    EXPECT_EQ(Geometry::fadingAlphas({ 5, 20, 20, 10, 30, 30 }), (std::vector<double>{ 1, 0.4, 0.4, 1, 0, 0 }));
}

TEST(NavigationPathGeometry, TargetStatusAtTheBoundaries)
{
    const Eigen::Vector3d target(0, 0, 100);
    const Geometry::Ring ring{ { 0, 0, 80 }, 15.0 };
    // What, tip, whether there is a tip ring, status.
    const std::tuple<const char*, Eigen::Vector3d, bool, TargetStatus> cases[] = {
        { "on the sphere", { 10, 0, 100 }, true, TargetStatus::InsideTarget },
        { "sphere's box corner", { 7, 7, 107 }, false, TargetStatus::Outside },
        { "inside the ring", { 14.99, 0, 80 }, true, TargetStatus::InsideTipRing },
        { "on the ring", { 15, 0, 80 }, true, TargetStatus::Outside },
    };
    for (const auto& [what, tip, withRing, status] : cases)
        EXPECT_EQ(Geometry::targetStatus(tip, target, 10.0, withRing ? std::optional(ring) : std::nullopt), status)
          << what;
}

TEST(NavigationPathGeometry, NeedleCameras)
{
    const Eigen::Matrix4d needle = pose({ 10, 20, 30 }, 0.7, { 1, 1, 0 });
    const Eigen::Vector3d z = needle.block<3, 1>(0, 2);
    const Eigen::Vector3d tip = needle.block<3, 1>(0, 3);

    const Eigen::Matrix4d tipCamera = Geometry::needleTipCamera(needle);
    EXPECT_TRUE((tipCamera.topLeftCorner<3, 3>().isApprox(needle.topLeftCorner<3, 3>())));
    EXPECT_TRUE(tipCamera.col(3).head<3>().isApprox(tip - z));
    const Eigen::Matrix4d sideCamera = Geometry::needleSideCamera(needle);
    EXPECT_TRUE(sideCamera.col(3).head<3>().isApprox(tip + 30 * z));
    // The tilted shaft passes 10 mm beside the side camera, and the tip stays put.
    const Eigen::Matrix4d tilted = Geometry::needleSideMeshPose(needle);
    EXPECT_TRUE(tilted.col(3).head<3>().isApprox(tip));
    const Eigen::Vector3d shaftBeside = apply(tilted, { 0, 0, std::sqrt(1000.0) });
    EXPECT_NEAR((shaftBeside - sideCamera.block<3, 1>(0, 3)).norm(), 10.0, 1e-9);
}

TEST(NavigationPathGeometry, RingsCameraSitsBehindTheTipLookingAtTheTarget)
{
    std::vector<Eigen::Vector3d> centres;
    for (int i = 0; i < 10; ++i)
        centres.emplace_back(0, 0, 10.0 * i);
    // Tip height and ring: behind a tip at 35 lie the rings at 0 … 30, the camera takes the one before the last.
    const std::pair<double, std::size_t> cases[] = { { 35, 2 }, { 29, 1 }, { 15, 0 }, { 5, 0 }, { 120, 8 } };
    for (const auto& [tipZ, ring] : cases)
        EXPECT_EQ(Geometry::ringsLinkChoice(centres, { 1, 0, tipZ }), ring) << "tip at " << tipZ;
    EXPECT_FALSE(Geometry::ringsLinkChoice({}, { 0, 0, 0 }));

    const Eigen::Matrix4d camera = Geometry::ringsCamera(pose({ 1, 0, 35 }), { 0, 0, 100 }, centres[2]);
    const Eigen::Matrix4d expected = pose({ 0, 0, 20 }, kPi, Eigen::Vector3d::UnitY());
    EXPECT_TRUE(camera.isApprox(expected)); // up is the needle's y, z points away from the target
}

TEST(NavigationSettings, ConfigureKeepsTheWidgetLimits)
{
    Properties tooMany; // as the widget takes it
    tooMany.setParam("ringsNumber", 500);
    NavigationSettings read;
    read.configure(tooMany);
    EXPECT_EQ(read.ringsNumber, 100);
}
