#include "visualization/BullseyeScene.h"

#include <set>

#include <QDoubleSpinBox>
#include <QLabel>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include "gl/TextRenderer.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlPoint.h"
#include "gui/scene/InteractiveOverlay.h"
#include "gui/view/GlView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "gui/view/ViewGroup.h"

#include "../host/gui/GuiTestFixture.h"
#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/GlInsertionReadoutOverlay.h"
#include "visualization/GlToolTargetOverlay.h"
#include "visualization/InsertionReadoutWidget.h"
#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros::Testing
{
namespace
{
class BullseyeSceneTest : public GuiTest
{
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        if (HasFatalFailure())
            return; // no display: widgets cannot be made
        view3d = std::make_unique<ImageView3D>();
        slice = std::make_unique<ImageViewSlice>();
        algorithm.toolVisAlg().p_trackingTargetId.setValue("needle");
        algorithm.toolVisAlg().setRunning(true);
        allViews.addView(view3d.get());
        allViews.addView(slice.get());
    }

    DriverStream stream;
    BullseyeVisualizationAlgorithm algorithm{ &stream, nullptr };
    std::unique_ptr<ImageView3D> view3d;
    std::unique_ptr<ImageViewSlice> slice;
    ViewGroup allViews;
};

// A 40 mm path from the target A to the entry B; the mesh files are missing, so stand-ins are drawn.
TEST_F(BullseyeSceneTest, ObjectsFollowTheAlgorithmsGeometry)
{
    const Eigen::Vector3d a(10, 0, 0);
    const Eigen::Vector3d b(10, 40, 0);
    algorithm.p_bullseyeMeshPath.setValue("/nonexistent/Bullseye.obj");
    algorithm.p_toolRingMeshPath.setValue("/nonexistent/SingleRing.obj");
    BullseyeScene scene(algorithm);
    {
        LogExpectation missing(Log::Warning, "not found!", 2);
        ASSERT_TRUE(scene.build(a, b));
    }
    EXPECT_FALSE(scene.build(b, a)) << "the scene is built once";
    EXPECT_EQ(algorithm.linePointA(), a);
    EXPECT_EQ(scene.pathLine()->points(), (std::vector<Eigen::Vector3d>{ a, Eigen::Vector3d(10, 200, 0) }));

    scene.attach(*view3d, allViews);
    for (GlObject* object : std::vector<GlObject*>{ scene.pathLine(), scene.tipMarker() })
        EXPECT_TRUE(view3d->glView().hasObject(object) && slice->glView().hasObject(object));
    for (GlObject* object : std::vector<GlObject*>{ scene.ring(), scene.bullseye() })
        EXPECT_TRUE(view3d->glView().hasObject(object) && !slice->glView().hasObject(object));
    EXPECT_EQ(view3d->glView().overlays().size(), 2u);

    const Eigen::Matrix4d needle = pose({ 12, 30, 1 }, 0.3, { 1, 0, 0 });
    stream.publish({ instrument("needle", needle) });
    EXPECT_FALSE(scene.update()) << "a hidden scene moved";
    scene.setShown(true);
    ASSERT_TRUE(scene.update());
    EXPECT_EQ(scene.tipMarker()->points().front(), Eigen::Vector3d(12, 30, 1));
    // annotationLineDistance = 40 mm · 2, and one more
    EXPECT_TRUE(scene.ring()->matrix().isApprox(needle * pose({ 0, 0, 81 })));
    EXPECT_TRUE(scene.bullseye()->matrix().isApprox(algorithm.createLookAtAlongNeedle(0)));
    Eigen::Vector2d tip, shaft;
    algorithm.computeOverlayParameters(tip, shaft, needle);
    EXPECT_EQ(scene.targetOverlay()->tipPoint(), tip);
    EXPECT_EQ(scene.targetOverlay()->shaftPoint(), shaft);

    stream.publish({ instrument("needle", pose({ 50, 50, 50 }), 0.0, false) });
    EXPECT_FALSE(scene.update());
    EXPECT_EQ(scene.tipMarker()->points().front(), Eigen::Vector3d(12, 30, 1)) << "moved without a pose";

    scene.detach();
    EXPECT_TRUE(view3d->glView().objects().empty() && slice->glView().objects().empty());
    EXPECT_TRUE(view3d->glView().overlays().empty());
}

TEST_F(BullseyeSceneTest, ReadoutWidgetGradesAndTurnsStale)
{
    InsertionReadoutWidget widget;
    widget.setPath({ 0, 0, 100 }, { 0, 0, 0 }, std::nullopt);
    widget.onSample(ToolSnapshot{ pose({ 3, 0, 50 }), 0, { true, true } });
    EXPECT_EQ(widget.labels()[1]->text(), "Off path 3.0 mm");
    EXPECT_TRUE(widget.labels()[1]->styleSheet().contains("rgb(255, 191")) << "3 mm against 2 mm is near";
    widget.toleranceMmSpinBox()->setValue(3.0);
    EXPECT_EQ(widget.readout().lateralGrade, ToleranceGrade::Within);
    widget.refresh(InsertionReadout::kStaleAfterUs);
    EXPECT_EQ(widget.labels()[0]->text(), "Stale: no tracking data");
    EXPECT_FALSE(widget.labels()[1]->isVisibleTo(&widget));
}

using ReadoutOverlayTest = GuiTest;

// The breach line hangs below the read-out's lines (here the one "No path") in the breach panel's colour: red inside
// a structure, amber within the margin.
TEST_F(ReadoutOverlayTest, BreachLineIsDrawnInItsColourBelowTheFigures)
{
    const auto colouredRows = [&](BreachStatus status, bool (*colour)(QRgb))
    {
        InsertionReadout readout;
        readout.state = InsertionReadout::State::NoPath;
        BreachDistance distance;
        distance.status = status;
        distance.distance = status == BreachStatus::Breach ? -3.0 : 3.0;
        distance.structure = "Vessel";
        readout.breach = BreachReading{ { FigureState::Valid, 0.0 }, distance, false };
        GlInsertionReadoutOverlay overlay;
        overlay.setReadout(readout);
        renderer->context()->functions()->glClear(GL_COLOR_BUFFER_BIT);
        overlay.render(renderer->viewport());
        const QImage image = frame();
        std::set<int> rows;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                if (colour(at(image, x, y)))
                    rows.insert(y);
        return rows;
    };
    const auto red = [](QRgb c) { return qRed(c) > 120 && qGreen(c) < 40 && qBlue(c) < 40; };
    const auto amber = [](QRgb c)
    { return qRed(c) > 120 && qGreen(c) > 60 && qGreen(c) < qRed(c) - 40 && qBlue(c) < 40; };
    // 22 pixel rows a line from the top: the first line over rows 74 to 95, the breach line over 52 to 73.
    const std::set<int> breach = colouredRows(BreachStatus::Breach, red);
    ASSERT_FALSE(breach.empty());
    EXPECT_TRUE(*breach.begin() >= 52 && *breach.rbegin() <= 73);
    EXPECT_TRUE(colouredRows(BreachStatus::Breach, amber).empty());
    const std::set<int> warning = colouredRows(BreachStatus::Warning, amber);
    EXPECT_TRUE(!warning.empty() && *warning.begin() >= 52 && *warning.rbegin() <= 73);
}

// The read-out is as wide as its widest line: in the top-right corner of a narrow 3D view it stays clear of the
// view's label at the top left, and it widens with its lines.
TEST_F(ReadoutOverlayTest, StandsInTheTopRightCornerAsWideAsItsText)
{
    auto overlay = std::make_unique<GlInsertionReadoutOverlay>();
    GlInsertionReadoutOverlay& readoutOverlay = *overlay;
    const InteractiveOverlay placed(std::move(overlay), /*top right*/ 2);
    const int width = GL::TextRenderer::advance("Tool not visible", GL::Font{ "DejaVu Sans", 16, 1 });
    const int margin = InteractiveOverlay::kMargin;
    EXPECT_EQ(placed.rect(300, 400), QRect(300 - margin - width, 400 - margin - 110, width, 110));
    InsertionReadout readout;
    readout.state = InsertionReadout::State::Valid;
    readoutOverlay.setReadout(readout);
    EXPECT_GT(placed.rect(300, 400).width(), width);
}

} // namespace
} // namespace Kelvaros::Testing
