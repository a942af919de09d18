#include <QCoreApplication>

#include "gui/tracking/GlTrackingStream.h"
#include "gui/view/GlVolumeView.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStreamDisplayOptions.h"

#include "../GuiTestFixture.h"
#include "TrackingTestSupport.h"
#include "WaitUntil.h"

namespace Kelvaros::Testing
{
namespace
{
TEST(TrackingStreamDisplayOptionsTest, SignalsChangesOnlyAndRoundTripsThroughAClone)
{
    DriverStream stream;
    TrackingStreamDisplayOptions& options = TrackingStreamDisplayOptions::of(stream);
    EXPECT_EQ(&options, &TrackingStreamDisplayOptions::of(stream));
    int changes = 0;
    options.signalChanged.connect([&changes] { ++changes; });
    options.setInstrumentDisplay(TrackingStreamDisplayOptions::AxesAndNames); // the default
    options.setPathDisplay(TrackingStreamDisplayOptions::Recording);
    options.setPathDisplay(TrackingStreamDisplayOptions::Recording);
    EXPECT_EQ(changes, 1);

    const std::unique_ptr<DataComponent> saved = options.cloneDerived();
    options.setInstrumentDisplay(TrackingStreamDisplayOptions::NoInstruments);
    options.setPathDisplay(TrackingStreamDisplayOptions::NoPath);
    ASSERT_TRUE(options.assign(*saved));
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(options.instrumentDisplay(), TrackingStreamDisplayOptions::AxesAndNames);
    EXPECT_EQ(options.pathDisplay(), TrackingStreamDisplayOptions::Recording);
    EXPECT_TRUE(options.assign(*saved));
    EXPECT_FALSE(options.assign(InstrumentCalibrationDataComponent()));
    EXPECT_EQ(changes, 4);
}

struct TrackingDrawingTest : GuiTest
{
    DriverStream stream;
};

// Poses are calibrated and registered; the trail holds the tip since its display was chosen, and only then.
TEST_F(TrackingDrawingTest, PlacesInstrumentsAndTrailsInWorldSpace)
{
    GlTrackingStream drawn(stream);
    stream.setMatrix(translation({ 100, 0, 0 }));
    stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration("A", translation({ 0, 0, 10 }),
                                                                                      0.0);
    stream.publish({ instrument("A", pose({ 1, 2, 3 })) });
    TrackingStreamDisplayOptions::of(stream).setPathDisplay(TrackingStreamDisplayOptions::Recording);
    stream.publish({ instrument("A", pose({ 0, 0, 0 }, kPi / 2, Eigen::Vector3d::UnitX())) });
    stream.publish({ instrument("A", pose({ 5, 0, 0 }), 0.0) });
    stream.publish({ instrument("B", pose({ 7, 0, 0 })) });

    const std::vector<GlTrackingStream::InstrumentPose> poses = drawn.instrumentPoses();
    ASSERT_EQ(poses.size(), 2u);
    EXPECT_FALSE(poses[0].seen);
    EXPECT_TRUE(poses[1].seen);
    EXPECT_LT((poses[0].toolToWorld.topRightCorner<3, 1>() - Eigen::Vector3d(100, -10, 0)).norm(), 1e-9);
    const auto trails = drawn.trails();
    ASSERT_EQ(trails.size(), 2u);
    EXPECT_EQ(trails[0].size(), 1u);
    TrackingStreamDisplayOptions::of(stream).setPathDisplay(TrackingStreamDisplayOptions::NoPath);
    stream.publish({ instrument("B", pose({ 8, 0, 0 })) });
    EXPECT_TRUE(drawn.trails().empty());
    // Made later, it starts from the stream's last records: B seen, A's last record unusable.
    const std::vector<GlTrackingStream::InstrumentPose> late = GlTrackingStream(stream).instrumentPoses();
    ASSERT_EQ(late.size(), 1u);
    EXPECT_TRUE(late[0].seen);
}

// The pixel where a world point lands in the view.
QPoint projected(const GlView& view, const GL::Viewport& viewport, const Eigen::Vector3d& world)
{
    const GL::ViewState state = view.renderInfo(viewport).viewState;
    const Eigen::Vector4d clip = state.projection * state.modelView * world.homogeneous();
    const Eigen::Vector2d ndc = clip.head<2>() / clip.w();
    return { int((ndc.x() + 1) * 0.5 * viewport.width), int((ndc.y() + 1) * 0.5 * viewport.height) };
}

// A live instrument shows its red x and green y axes where they project; once it is not seen, the axes are
// grey-red. The sample arrives on the stream's thread and the view is asked to repaint.
TEST_F(TrackingDrawingTest, DrawsTheTriadWhereItProjectsAndGreysAnInstrumentNotSeen)
{
    ManualTrackingStream live;
    openAndStart(live);
    TrackingStreamDisplayOptions::of(live).setInstrumentDisplay(TrackingStreamDisplayOptions::Axes);
    GlVolumeView view;
    Camera camera;
    camera.setLookAt({ 0, 0, 200 }, { 0, 0, 0 }, { 0, 1, 0 });
    view.setCamera(camera);
    view.setVisibleData({ &live });
    int redraws = 0;
    view.signalRedrawNeeded.connect([&redraws] { ++redraws; });
    // The view draws what its frame clock took, once the frame after the sample has run.
    const auto feedFrame = [&](std::vector<TrackingInstrument> instruments)
    {
        const int before = redraws;
        feed(live, std::move(instruments));
        return waitUntil(
          [&]
          {
              QCoreApplication::processEvents();
              return redraws > before;
          });
    };
    ASSERT_TRUE(feedFrame({ instrument("A", pose({ -20, -20, 0 })) }));

    const QPoint xAxis = projected(view, renderer->viewport(), { 5, -20, 0 });
    const QPoint yAxis = projected(view, renderer->viewport(), { -20, 5, 0 });
    view.render(renderer->viewport());
    QImage image = frame();
    EXPECT_GT(qRed(at(image, xAxis.x(), xAxis.y())), 200);
    EXPECT_LT(qGreen(at(image, xAxis.x(), xAxis.y())), 100);
    EXPECT_GT(qGreen(at(image, yAxis.x(), yAxis.y())), 200);

    ASSERT_TRUE(feedFrame({ instrument("A", pose({ 90, 90, 0 }), 0.0, false) }));
    view.render(renderer->viewport());
    image = frame();
    for (const QPoint& axis : { xAxis, yAxis })
    {
        const QRgb pixel = at(image, axis.x(), axis.y());
        EXPECT_NEAR(qRed(pixel), 158, 30);
        EXPECT_NEAR(qGreen(pixel), 92, 30);
    }

    // Samples that stop leave nothing seen, and the object says it changed without another sample.
    ASSERT_TRUE(feedFrame({ instrument("A", pose({ 90, 90, 0 })) }));
    auto* drawn = dynamic_cast<GlTrackingStream*>(view.objects().front());
    ASSERT_NE(drawn, nullptr);
    EXPECT_TRUE(drawn->instrumentPoses().front().seen);
    bool changedUnseen = false;
    SignalConnection changed =
      drawn->signalChanged.connect([&] { changedUnseen = changedUnseen || !drawn->instrumentPoses().front().seen; });
    EXPECT_TRUE(waitUntil(
      [&]
      {
          QCoreApplication::processEvents();
          return changedUnseen;
      }));
    changed.disconnect();
    view.setVisibleData({});
    EXPECT_TRUE(view.objects().empty());
}

} // namespace
} // namespace Kelvaros::Testing
