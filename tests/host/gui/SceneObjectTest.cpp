#include <cmath>

#include <QImage>

#include "gui/scene/GlArrow.h"
#include "gui/scene/GlCircle.h"
#include "gui/scene/GlGrid.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlPoint.h"
#include "gui/scene/GlSpline.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"

#include "SceneTestFixture.h"

namespace Kelvaros::GL::Testing
{
namespace
{
TEST_F(SceneObjectTest, LineAndCircleCoverTheirPixelsInTheirColourAndWidth)
{
    GlLine line;
    line.setPoints({ { 10, 20, 0 }, { 50, 20, 0 } });
    line.setColor({ 1, 0, 0 });
    line.setLabelVisible(false);
    line.setPointSize(0);
    line.render(info());
    GlCircle circle;
    circle.setCircle({ 96, 32, 0 }, { 1, 0, 0 }, { 0, 1, 0 });
    circle.setRadius(20);
    circle.setLineWidth(4);
    circle.setColor({ 0, 1, 0 });
    circle.setLabelVisible(false);
    circle.render(info());

    const QImage image = frame();
    for (int x = 12; x < 48; ++x)
        for (int y = 16; y < 24; ++y)
            EXPECT_EQ(at(image, x, y), (y == 19 || y == 20) ? qRgb(255, 0, 0) : kBlack) << x << ", " << y;
    for (const auto& [x, y] : { std::pair{ 116, 32 }, { 76, 32 }, { 96, 52 }, { 96, 12 }, { 110, 46 } })
        EXPECT_EQ(at(image, x, y), qRgb(0, 255, 0)) << x << ", " << y;
    for (const auto& [x, y] : { std::pair{ 96, 32 }, { 122, 32 }, { 110, 32 }, { 96, 39 } })
        EXPECT_EQ(at(image, x, y), kBlack) << x << ", " << y;
}

TEST_F(SceneObjectTest, DashedLineLeavesGapsWhereThePatternHasZeros)
{
    GlLine line;
    line.setPoints({ { 0, 30, 0 }, { 128, 30, 0 } });
    line.setLabelVisible(false);
    line.setPointSize(0);
    // Bits 0-7 set, each 2 pixels long: 16 pixels on, 16 off.
    line.lineStipplePattern = 0x00FF;
    line.lineStippleFactor = 2.0;
    line.render(info());

    const QImage image = frame();
    for (int x = 0; x < 128; ++x)
        if (x % 16 != 0 && x % 16 != 15)
        {
            EXPECT_EQ(at(image, x, 30) != kBlack, (x / 16) % 2 == 0) << "column " << x;
        }
}

TEST_F(SceneObjectTest, PointIsADiscOfTheDotSizeAndTransparentOnesBlend)
{
    GlPoint point;
    point.setPoint({ 40, 32, 0 });
    point.setDotSize(12);
    point.setLabelVisible(false);
    point.render(info());
    GlCircle ring;
    ring.setCircle({ 100, 32, 0 }, { 1, 0, 0 }, { 0, 1, 0 });
    ring.setRadius(10);
    ring.setLineWidth(4);
    ring.setAlpha(0.5);
    ring.setLabelVisible(false);
    EXPECT_TRUE(ring.isTransparent());
    ring.render(info());

    const QImage image = frame();
    const Box disc = inkBox(image.copy(0, 0, 64, 64));
    EXPECT_NEAR(disc.right - disc.left + 1, 12, 1);
    EXPECT_NEAR(disc.top - disc.bottom + 1, 12, 1);
    EXPECT_EQ(at(image, 40, 32), qRgb(255, 255, 255));
    EXPECT_NEAR(qRed(at(image, 110, 32)), 128, 2);
}

TEST_F(SceneObjectTest, LitSphereCoversItsDiscAndIsBrightestFacingTheLight)
{
    GlMesh sphere(MeshCreator::createSphere(25.0, 32));
    sphere.setColor({ 1, 0, 0 });
    sphere.setMatrix(Eigen::Affine3d(Eigen::Translation3d(64, 32, 0)).matrix());
    sphere.render(info());

    const QImage image = frame();
    const Box box = inkBox(image);
    EXPECT_NEAR(box.left, 39, 1);
    EXPECT_NEAR(box.right, 88, 1);
    EXPECT_NEAR(box.bottom, 7, 1);
    EXPECT_NEAR(box.top, 56, 1);
    const QRgb centre = at(image, 64, 32);
    EXPECT_GT(qRed(centre), 200);
    EXPECT_LT(qGreen(centre), qRed(centre));
    // The head light falls straight on the middle and grazes the rim.
    EXPECT_GT(brightness(centre), brightness(at(image, 64 + 22, 32)) + 60);
    EXPECT_GT(brightness(at(image, 64 + 15, 32)), brightness(at(image, 64 + 23, 32)));
}

struct ContourCase
{
    double height;
    double radius; // of the contour; 0 when the plane misses the sphere
};

class SliceContourTest
  : public SceneObjectTest
  , public ::testing::WithParamInterface<ContourCase>
{
};

TEST_P(SliceContourTest, MeshShowsAsItsContourOnTheSlicePlane)
{
    GlMesh sphere(MeshCreator::createSphere(20.0, 32));
    sphere.setMatrix(Eigen::Affine3d(Eigen::Translation3d(64, 32, 0)).matrix());
    sphere.setLineColor({ 0, 1, 1, 1 });
    sphere.setLineWidth(2);
    sphere.render(sliceInfo(GetParam().height));

    const QImage image = frame();
    const double r = GetParam().radius;
    if (r == 0.0)
    {
        EXPECT_EQ(inkBox(image), (Box{ 128, -1, 64, -1 }));
        return;
    }
    const Box box = inkBox(image);
    EXPECT_NEAR(box.left, 64 - r, 1.5);
    EXPECT_NEAR(box.right, 64 + r, 1.5);
    EXPECT_EQ(at(image, 64, 32), kBlack);
    EXPECT_EQ(at(image, int(64 - r * 0.5), 32), kBlack);
}

INSTANTIATE_TEST_SUITE_P(Planes, SliceContourTest,
                         ::testing::Values(ContourCase{ 0.0, 20.0 }, ContourCase{ 12.0, 16.0 },
                                           ContourCase{ -16.0, 12.0 }, ContourCase{ 21.0, 0.0 }));

TEST_F(SceneObjectTest, ProjectiveModeFlattensTheWholeMeshOntoTheSliceOnce)
{
    GlMesh sphere(MeshCreator::createSphere(20.0, 32));
    sphere.setMatrix(Eigen::Affine3d(Eigen::Translation3d(64, 32, 0)).matrix());
    sphere.setLineColor({ 0, 1, 1, 1 });
    sphere.setRenderMode2d(1);
    sphere.render(sliceInfo(50.0));

    const QImage image = frame();
    const Box box = inkBox(image);
    EXPECT_NEAR(box.left, 44, 1.5);
    EXPECT_NEAR(box.right, 84, 1.5);
    // A quarter of the line colour: the near and far halves of the sphere must not both be filled.
    EXPECT_NEAR(qGreen(at(image, 64, 32)), 64, 3);
    EXPECT_EQ(at(image, 44, 32), qRgb(0, 255, 255));
}

TEST_F(SceneObjectTest, SliceViewsShowOnlyWhatLiesWithinTheSlab)
{
    RenderInfo slice = sliceInfo(0.0);
    slice.sliceThickness = 2.0;
    // Crosses the plane at x = 60, rising 1 mm per mm: 2 mm of it lie in the slab; its end handles lie outside.
    GlLine line;
    line.setPoints({ { 10, 30, -50 }, { 110, 30, 50 } });
    line.setLabelVisible(false);
    line.render(slice);
    GlPoint inside;
    inside.setPoint({ 20, 50, 0.9 });
    GlPoint outside;
    outside.setPoint({ 100, 50, 1.1 });
    for (GlPoint* point : { &inside, &outside })
    {
        point->setLabelVisible(false);
        point->render(slice);
    }

    const QImage image = frame();
    EXPECT_EQ(inkBox(image.copy(0, 64 - 40, 128, 40)).left, 59);
    EXPECT_EQ(inkBox(image.copy(0, 64 - 40, 128, 40)).right, 60);
    EXPECT_NE(at(image, 20, 50), kBlack);
    EXPECT_EQ(at(image, 100, 50), kBlack);
}

// A line and a path that only cross the plane show an × where they pass, 12 pixels across its diagonal, when their
// crossing is marked.
TEST_F(SceneObjectTest, SliceViewsMarkWhereALineOrPathCrossesThePlane)
{
    GlLine line, unmarked;
    GlSpline path;
    line.setPoints({ { 30, 32, -50 }, { 30, 32, 50 } });
    unmarked.setPoints({ { 60, 32, -50 }, { 60, 32, 50 } });
    path.setPoints({ { 90, 32, -50 }, { 90, 32, -10 }, { 90, 32, 50 } });
    for (GlPointBasedAnnotation* crossing : std::initializer_list<GlPointBasedAnnotation*>{ &line, &unmarked, &path })
    {
        crossing->setLabelVisible(false);
        crossing->setCrossingMarked(crossing != &unmarked);
        crossing->render(sliceInfo(0.0));
    }
    const QImage image = frame();
    EXPECT_EQ(inkBox(image.copy(50, 0, 20, 64)).right, -1) << "an unmarked crossing";
    for (const int x : { 30, 90 })
        EXPECT_EQ(inkBox(image.copy(x - 20, 0, 40, 64)), (Box{ 15, 24, 27, 36 })) << x;
}

/// A perspective view of 400 x 300 pixels from (0, -260, 160) looking at the origin, z up.
RenderInfo perspectiveInfo()
{
    RenderInfo result;
    result.viewState.viewport = { 0, 0, 400, 300 };
    const Eigen::Vector3d eye(0, -260, 160);
    const Eigen::Vector3d back = eye.normalized();
    const Eigen::Vector3d right = Eigen::Vector3d::UnitZ().cross(back).normalized();
    Eigen::Matrix4d cameraToWorld = Eigen::Matrix4d::Identity();
    cameraToWorld.topLeftCorner<3, 3>() << right, back.cross(right), back;
    cameraToWorld.topRightCorner<3, 1>() = eye;
    result.viewState.modelView = cameraToWorld.inverse();
    const double n = 10.0, f = 1000.0, fy = 2.4, fx = fy * 300.0 / 400.0;
    result.viewState.projection << fx, 0, 0, 0, 0, fy, 0, 0, 0, 0, -(f + n) / (f - n), -2 * f * n / (f - n), 0, 0, -1,
      0;
    return result;
}

// Draws a workbench-like scene, saves it for a look by eye, and checks that a label lands beside its line.
TEST_F(SceneObjectTest, LabelsStandBesideTheirAnchorInAFullScene)
{
    OffscreenRenderer big(400, 300, 4);
    ASSERT_TRUE(big.makeCurrent());
    QOpenGLFunctions_3_3_Core* g = currentFunctions("SceneObjectTest");
    const RenderInfo view = perspectiveInfo();
    GlGrid grid({ 400, 400 }, { 50, 50 });
    grid.setLineColor({ 0.4, 0.4, 0.4, 0.6 });
    GlMesh tool(MeshCreator::createSphere(30.0, 32));
    tool.setColor({ 1, 1, 0 });
    tool.setBackMaterial({ 0.5, 0.5, 0 }, { 0.5, 0.5, 0 }, { 1, 1, 1 }, 100);
    GlLine measured;
    measured.setPoints({ { -120, -40, 20 }, { -40, -60, 60 } });
    measured.setColor({ 0, 1, 1 });
    GlLine direction;
    direction.setPoints({ { 0, 0, 0 }, { 0, 0, -100 } });
    direction.lineStipplePattern = 0xAAAA;
    direction.lineStippleFactor = 2.0;
    direction.setLabelVisible(false);
    GlCircle ring;
    ring.setCircle({ 60, 40, 30 }, { 1, 0, 0 }, { 0, 0.6, 0.8 });
    ring.setRadius(35);
    ring.setColor({ 1, 0.2, 0.2 });
    ring.setLineWidth(3);
    ring.setLabelText("Tip ring");
    GlSpline path;
    path.setPoints({ { 100, -80, 0 }, { 80, 0, 40 }, { 40, 60, 60 }, { 0, 120, 50 } });
    path.setColor({ 0.3, 0.6, 1 });
    GlArrow up;
    up.setPoints({ { -150, 80, 0 }, { -150, 80, 100 } });
    up.setColor({ 0, 1, 0 });
    up.setLabelText("Up Axis");
    GlPoint tip;
    tip.setPoint({ 0, 0, 0 });
    tip.setDotSize(10);
    tip.setColor({ 141 / 255.0, 209 / 255.0, 25 / 255.0 });
    tip.setAlwaysVisible(true);
    tip.setLabelVisible(false);
    const auto draw = [&]
    {
        // Reading a multisampled frame leaves another framebuffer bound.
        big.makeCurrent();
        g->glClearColor(0.08f, 0.09f, 0.12f, 1.0f);
        g->glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        for (GlObject* object :
             std::initializer_list<GlObject*>{ &tool, &measured, &direction, &path, &up, &tip, &grid, &ring })
            object->render(view);
        return big.toImage().convertToFormat(QImage::Format_RGB32);
    };
    measured.setLabelVisible(false);
    const QImage without = draw();
    measured.setLabelVisible(true);
    const QImage with = draw();
    ASSERT_TRUE(big.savePng("/tmp/scene.png"));

    const Eigen::Vector2d anchor = view.viewState.toWindow(Eigen::Vector3d(-80, -50, 40));
    Box changed{ 400, -1, 300, -1 };
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x)
            if (at(with, x, y) != at(without, x, y))
                changed = { std::min(changed.left, x), std::max(changed.right, x), std::min(changed.bottom, y),
                            std::max(changed.top, y) };
    // "91.7 mm" in 13-pixel bold with its dark rim, 8 pixels right of the anchor, its descent line 4 above it.
    EXPECT_NEAR(changed.left, anchor.x() + 7, 1.5);
    EXPECT_NEAR(changed.bottom, anchor.y() + 6, 3);
    EXPECT_GT(changed.right - changed.left, 40);
    EXPECT_LT(changed.right - changed.left, 80);
    EXPECT_LT(changed.top - changed.bottom, 20);
}

} // namespace
} // namespace Kelvaros::GL::Testing
