#include <gtest/gtest.h>

#include "gui/scene/GlLine.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveButtonOverlay.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/scene/MeshSlicer.h"
#include "lib/geometry/Mesh.h"

namespace Kelvaros::Testing
{
namespace
{
/// The unit cube [0, 1]^3, two triangles per face, wound outwards.
Mesh unitCube()
{
    std::vector<Eigen::Vector3d> vertices;
    for (int i = 0; i < 8; ++i)
        vertices.emplace_back(i & 1, (i >> 1) & 1, (i >> 2) & 1);
    const std::vector<Eigen::Vector3i> faces{ { 0, 2, 1 }, { 1, 2, 3 }, { 4, 5, 6 }, { 5, 7, 6 },
                                              { 0, 1, 4 }, { 1, 5, 4 }, { 2, 6, 3 }, { 3, 6, 7 },
                                              { 0, 4, 2 }, { 2, 4, 6 }, { 1, 3, 5 }, { 3, 7, 5 } };
    return Mesh(vertices, faces);
}

struct SliceCase
{
    const char* name;
    Eigen::Vector3d normal;
    double offset;
    double length; // of the whole contour
};

class MeshSlicerTest : public ::testing::TestWithParam<SliceCase>
{
};

// Each contour must be closed (every end point shared by exactly two pieces) and counted once (its length).
TEST_P(MeshSlicerTest, ClosedMeshGivesEachPieceOfAClosedContourOnce)
{
    const std::vector<Eigen::Vector3d> segments = MeshSlicer::slice(unitCube(), GetParam().normal, GetParam().offset);
    ASSERT_EQ(segments.size() % 2, 0u);
    double length = 0.0;
    for (size_t i = 0; i < segments.size(); i += 2)
    {
        EXPECT_GT((segments[i + 1] - segments[i]).norm(), 0.0);
        length += (segments[i + 1] - segments[i]).norm();
    }
    EXPECT_NEAR(length, GetParam().length, 1e-12);
    for (const Eigen::Vector3d& p : segments)
    {
        EXPECT_NEAR(GetParam().normal.dot(p), GetParam().offset, 1e-12);
        EXPECT_EQ(std::count(segments.begin(), segments.end(), p), 2) << p.transpose();
    }
    // Chained, the one loop runs head to tail and closes.
    const std::vector<Eigen::Vector3d> chained = MeshSlicer::chain(segments);
    ASSERT_EQ(chained.size(), segments.size());
    for (size_t i = 1; i + 1 < chained.size(); i += 2)
        EXPECT_EQ(chained[i], chained[i + 1]);
    if (!chained.empty())
    {
        EXPECT_EQ(chained.back(), chained.front());
    }
}

INSTANTIATE_TEST_SUITE_P(
  Planes, MeshSlicerTest,
  ::testing::Values(SliceCase{ "Middle", { 0, 0, 1 }, 0.5, 4.0 },
                    SliceCase{ "ThroughDiagonalEdges", { 1, -1, 0 }, 0.0, 2.0 + 2.0 * std::sqrt(2.0) },
                    SliceCase{ "ThroughFaceDiagonals", { 1, 1, 0 }, 1.0, 2.0 + 2.0 * std::sqrt(2.0) },
                    SliceCase{ "OnTheTopFace", { 0, 0, 1 }, 1.0, 4.0 },
                    SliceCase{ "ThroughACorner", { 1, 1, 1 }, 0.0, 0.0 },
                    SliceCase{ "Missing", { 0, 0, 1 }, 2.0, 0.0 }),
  [](const auto& info) { return std::string(info.param.name); });

TEST(GlSplineTest, CurveQueriesFollowTheCurrentPoints)
{
    GlSpline annotation;
    annotation.setPoints({ { 0, 0, 0 }, { 10, 5, 0 }, { 20, 0, 3 } });
    const std::vector<Eigen::Vector3d> moved{ { 0, 0, 0 }, { 30, 10, 0 }, { 40, -5, 8 }, { 60, 0, 0 } };
    annotation.setPoints(moved);
    const Spline reference(moved);
    EXPECT_EQ(annotation.points(), moved);
    EXPECT_DOUBLE_EQ(annotation.getCurveLength(), reference.getCurveLength());
    EXPECT_DOUBLE_EQ(annotation.getCurveLength(0.2, 0.7), reference.getCurveLength(0.2, 0.7));
    for (const double u : { 0.0, 0.3, 0.77, 1.0 })
    {
        EXPECT_TRUE(annotation.evaluate(u).isApprox(reference.evaluate(u)));
        EXPECT_TRUE(annotation.evaluateTangent(u).isApprox(reference.evaluateTangent(u)));
        EXPECT_DOUBLE_EQ(annotation.splineCoordToArcLength(u), reference.splineCoordToArcLength(u));
        EXPECT_DOUBLE_EQ(annotation.arcLengthToSplineCoord(40 * u), reference.arcLengthToSplineCoord(40 * u));
    }
    Eigen::Vector3d nearest;
    const Eigen::Vector3d q(35, 20, 1);
    EXPECT_DOUBLE_EQ(annotation.calculateNearestPointArcLength(q, 4, &nearest),
                     reference.calculateNearestPointArcLength(q, 4));
    EXPECT_NEAR(
      (nearest - q).norm(),
      (reference.evaluate(reference.arcLengthToSplineCoord(reference.calculateNearestPointArcLength(q, 4))) - q).norm(),
      1e-6);
}

TEST(InteractiveOverlayTest, AnchorsPlaceTheButtonTenPixelsFromTheEdges)
{
    // Clockwise from the top-left, then the centre; (x, y) of the bottom-left corner in a 200 x 100 view.
    const std::vector<std::pair<int, int>> expected{ { 10, 50 }, { 80, 50 }, { 150, 50 }, { 150, 30 }, { 150, 10 },
                                                     { 80, 10 }, { 10, 10 }, { 10, 30 },  { 80, 30 } };
    for (int anchor = 0; anchor < 9; ++anchor)
    {
        InteractiveButtonOverlay button(anchor);
        EXPECT_EQ(button.rect(200, 100), QRect(expected[anchor].first, expected[anchor].second, 40, 40))
          << "anchor " << anchor;
        // In a view narrower than the overlay its beginning stays in view.
        EXPECT_EQ(button.rect(30, 30).topLeft(),
                  QPoint(expected[anchor].first == 10 ? 10 : 0, expected[anchor].second == 10 ? 10 : 0))
          << "anchor " << anchor;
    }
}

TEST(InteractiveOverlayTest, ButtonSignalsPressesInsideItsDiscOnly)
{
    InteractiveButtonOverlay button(5);
    int clicks = 0;
    QObject::connect(&button, &InteractiveButtonOverlay::clicked, [&] { ++clicks; });
    ASSERT_EQ(button.rect(200, 100), QRect(80, 10, 40, 40));
    EXPECT_FALSE(button.mousePress(81, 11)); // the square's corner, outside the disc
    EXPECT_EQ(clicks, 0);
    EXPECT_TRUE(button.mousePress(100, 45));
    EXPECT_EQ(clicks, 1);
    button.setVisible(false);
    EXPECT_FALSE(button.mousePress(100, 30));
    EXPECT_EQ(clicks, 1);
}

TEST(InteractiveObjectTest, RemovalCallbacksRunBeforeTheObjectGoes)
{
    auto line = std::make_unique<GlLine>("Direction");
    bool objectGone = false;
    line->signalDestroyed.connect([&](const GlObject*) { objectGone = true; });
    std::vector<bool> seenAlive;
    {
        InteractiveObject interactive(std::move(line));
        for (int i = 0; i < 2; ++i)
            interactive.addRemovalCallback([&] { seenAlive.push_back(!objectGone); });
    }
    EXPECT_EQ(seenAlive, (std::vector<bool>{ true, true }));
    EXPECT_TRUE(objectGone);
}

} // namespace
} // namespace Kelvaros::Testing
