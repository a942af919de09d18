#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include <QEventLoop>
#include <QFile>
#include <QOpenGLFunctions_3_3_Core>
#include <QTemporaryDir>
#include <QTimer>

#include "gl/Functions.h"
#include "gl/Pipeline.h"
#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gui/scene/GlObject.h"
#include "gui/scene/GlOverlay.h"
#include "gui/scene/InteractiveOverlay.h"
#include "gui/view/Animations.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "gui/view/Screenshot.h"
#include "lib/SharedImageSet.h"

#include "GuiTestFixture.h"
#include "LogExpectation.h"
#include "WaitUntil.h"

namespace Kelvaros::Testing
{
namespace
{
/// A 5-pixel dot at a world point.
class Dot : public GlObject
{
public:
    Dot(const Eigen::Vector3d& point, const Eigen::Vector4d& color) : m_point(point), m_color(color) {}
    void render(const RenderInfo& info) override
    {
        GL::StateGuard guard;
        GL::currentFunctions("Dot")->glPointSize(5);
        GL::VertexBuffer buffer;
        buffer.setData({ m_point });
        GL::Pipeline::enable(info.viewState, GL::Pipeline::UniformColor);
        GL::Pipeline::setColor(m_color);
        buffer.draw(GL_POINTS);
    }

private:
    Eigen::Vector3d m_point;
    Eigen::Vector4d m_color;
};

/// Fills its rectangle with one colour.
class Fill : public GlOverlay
{
public:
    explicit Fill(QRgb color) : GlOverlay(10, 10, 10, 10), m_color(color) {}
    void render(const GL::Viewport& v) override
    {
        GL::StateGuard guard;
        QOpenGLFunctions_3_3_Core* f = GL::currentFunctions("Fill");
        f->glEnable(GL_SCISSOR_TEST);
        f->glScissor(v.x, v.y, v.width, v.height);
        f->glClearColor(qRed(m_color) / 255.f, qGreen(m_color) / 255.f, qBlue(m_color) / 255.f, 1);
        f->glClear(GL_COLOR_BUFFER_BIT);
    }

private:
    QRgb m_color;
};

/// Takes every press that reaches it.
class Grabbing : public InteractiveOverlay
{
public:
    Grabbing() : InteractiveOverlay(std::make_unique<Fill>(qRgb(255, 0, 255)), 2) {}
    bool mousePress(int, int) override { return ++presses > 0; }
    int presses = 0;
};

/// Mean window position of the pixels of one colour.
Eigen::Vector2d centroid(const QImage& image, QRgb color)
{
    Eigen::Vector2d sum = Eigen::Vector2d::Zero();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == color)
            {
                sum += Eigen::Vector2d(x + 0.5, image.height() - y - 0.5);
                ++count;
            }
    return count ? Eigen::Vector2d(sum / count) : Eigen::Vector2d::Constant(-1e9);
}

void spinEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool processEventsUntil(const std::function<bool()>& condition)
{
    return waitUntil(
      [&]
      {
          QCoreApplication::processEvents();
          return condition();
      });
}

using ViewTest = GuiTest;

// The target lands at the centre; points 25 mm along the up vector and to the right land above and to the right,
// as far as the focal length convention (units of the smaller viewport side) says.
TEST_F(ViewTest, CameraLookAtPutsTheTargetAtTheCentre)
{
    const Eigen::Vector3d eye(100, -200, 50), target(10, 20, 30), up(0, 0, 1);
    const Eigen::Vector3d back = (eye - target).normalized();
    const Eigen::Vector3d right = up.cross(back).normalized();
    const Eigen::Vector3d screenUp = back.cross(right);
    Dot centre(target, { 1, 0, 0, 1 }), above(target + 25 * screenUp, { 0, 1, 0, 1 }),
      beside(target + 25 * right, { 0, 0, 1, 1 });
    GlVolumeView view;
    Camera camera;
    camera.setLookAt(eye, target, up);
    view.setCamera(camera);
    for (GlObject* dot : std::initializer_list<GlObject*>{ &centre, &above, &beside })
        view.addObject(dot);
    view.render(renderer->viewport());
    const QImage image = frame();
    const double pixelsPer25Mm = 25 * kWidth * 1.2 / (eye - target).norm();
    const Eigen::Vector2d middle(kWidth / 2.0, kHeight / 2.0);
    EXPECT_LT((centroid(image, qRgb(255, 0, 0)) - middle).norm(), 1.0);
    EXPECT_LT((centroid(image, qRgb(0, 255, 0)) - (middle + Eigen::Vector2d(0, pixelsPer25Mm))).norm(), 1.0);
    EXPECT_LT((centroid(image, qRgb(0, 0, 255)) - (middle + Eigen::Vector2d(pixelsPer25Mm, 0))).norm(), 1.0);
}

// Overlays are placed inside the view's own viewport (not the framebuffer's), the later ones on top.
TEST_F(ViewTest, OverlaysLandAtTheirAnchorsInsideTheView)
{
    GlVolumeView view;
    const GL::Viewport viewport{ 16, 8, 64, 48 };
    const struct
    {
        int anchor;
        QRgb color;
        int x, y; // a pixel inside the expected 10x10 rectangle
    } cases[] = { { 0, qRgb(255, 0, 0), 16 + 15, 8 + 48 - 15 },
                  { 4, qRgb(0, 255, 0), 16 + 64 - 15, 8 + 15 },
                  { 8, qRgb(0, 0, 255), 16 + 32, 8 + 24 } };
    view.addOverlay(std::make_unique<InteractiveOverlay>(std::make_unique<Fill>(qRgb(255, 255, 255)), 8));
    for (const auto& c : cases)
        view.addOverlay(std::make_unique<InteractiveOverlay>(std::make_unique<Fill>(c.color), c.anchor));
    InteractiveOverlay* below = view.overlays().front();
    auto grabbing = std::make_unique<Grabbing>();
    Grabbing& grabber = *grabbing;
    view.addOverlay(std::move(grabbing));
    view.render(viewport);
    const QImage image = frame();
    for (const auto& c : cases)
        EXPECT_EQ(at(image, c.x, c.y), c.color) << "anchor " << c.anchor;
    EXPECT_EQ(at(image, 4, 4), qRgb(0, 0, 0)) << "drawn outside the view";
    // Presses in view pixels: only the overlay under the cursor is asked.
    EXPECT_FALSE(view.pressOverlays(32, 24, 64, 48));
    EXPECT_TRUE(view.pressOverlays(64 - 15, 48 - 15, 64, 48));
    EXPECT_EQ(grabber.presses, 1);
    EXPECT_EQ(view.removeOverlay(below).get(), below);
    EXPECT_EQ(view.overlays().size(), 4u);
}

TEST_F(ViewTest, ObjectsLeaveTheViewWhenDeletedOrRemoved)
{
    GlVolumeView view;
    int redraws = 0;
    auto connection = view.signalRedrawNeeded.connect([&redraws] { ++redraws; });
    auto doomed = std::make_unique<Dot>(Eigen::Vector3d::Zero(), Eigen::Vector4d::Ones());
    Dot kept(Eigen::Vector3d::Zero(), Eigen::Vector4d::Ones());
    view.addObject(doomed.get());
    view.addObject(&kept);
    view.addObject(doomed.get());
    EXPECT_EQ(view.objects().size(), 2u);
    doomed.reset();
    EXPECT_EQ(view.objects(), std::vector<GlObject*>{ &kept });
    view.render(renderer->viewport());

    redraws = 0;
    kept.setVisible(false);
    EXPECT_EQ(redraws, 1);
    view.removeObject(&kept);
    redraws = 0;
    kept.setVisible(true);
    EXPECT_EQ(redraws, 0) << "a removed object still repaints the view";
    connection.disconnect();
}

// Paints are counted, not timed: a burst of requests gives one paint.
TEST_F(ViewTest, RepaintRequestsAreCoalesced)
{
    ImageViewSlice view;
    view.resize(64, 64);
    view.show();
    ASSERT_TRUE(processEventsUntil([&] { return view.paintCount() > 0; }));
    spinEventLoop(50);
    const int before = view.paintCount();
    for (int i = 0; i < 100; ++i)
        view.requestUpdate();
    ASSERT_TRUE(processEventsUntil([&] { return view.paintCount() > before; }));
    spinEventLoop(100);
    EXPECT_EQ(view.paintCount(), before + 1);

    // A request deferred to the next display frame that a paint by another way served meanwhile paints no more.
    view.update();
    ASSERT_TRUE(processEventsUntil([&] { return view.paintCount() > before + 1; }));
    view.requestUpdate();
    view.update();
    ASSERT_TRUE(processEventsUntil([&] { return view.paintCount() > before + 2; }));
    spinEventLoop(100);
    EXPECT_EQ(view.paintCount(), before + 3);
}

TEST_F(ViewTest, AnimationUnderARunningIdReplacesIt)
{
    double firstProgress = -1;
    double secondProgress = -1;
    auto first = std::make_shared<Animations::Animation>(10000, 0, [&](double p) { firstProgress = p; });
    auto second = std::make_shared<Animations::Animation>(50, 0, [&](double p) { secondProgress = p; });
    Animations::runAnimation(first, std::string("camera"));
    EXPECT_EQ(first->state(), 1);
    Animations::runAnimation(second, std::string("camera"));
    EXPECT_EQ(first->state(), 0);
    ASSERT_TRUE(processEventsUntil([&] { return second->state() == 0; }));
    EXPECT_EQ(secondProgress, 1.0);
    EXPECT_EQ(firstProgress, -1.0) << "a replaced animation went on";
}

// Quadrants in display order (3D top-left, axial, sagittal, coronal) with separators, and the PNG written.
TEST_F(ViewTest, DisplayComposesTheFourViews)
{
    DisplayWidgetMulti display;
    const std::array<QRgb, 4> colors = { qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 0) };
    for (size_t i = 0; i < 4; ++i)
        display.views()[i]->glView().setBackgroundColor(
          Eigen::Vector3d(qRed(colors[i]), qGreen(colors[i]), qBlue(colors[i])) / 255);
    const QImage image = display.renderToImage(QSize(202, 122));
    ASSERT_EQ(image.size(), QSize(202, 122));
    const int xs[] = { 50, 150, 50, 150 };
    const int ys[] = { 30, 30, 90, 90 }; // image rows, top first
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(image.pixel(xs[i], ys[i]), colors[i]) << "view " << i;
    const QRgb separator = image.pixel(100, 30);
    EXPECT_TRUE(separator != colors[0] && separator != colors[1]);

    QTemporaryDir directory;
    const QString path = directory.filePath("display.png");
    ASSERT_TRUE(display.saveScreenshot(path, QSize(80, 60)));
    EXPECT_EQ(QImage(path).size(), QSize(80, 60));
}

/// 20x30x40 voxels of 1 mm centred on the world origin (RAS), dark but for one bright voxel 6.5 mm left, 11.5 mm
/// anterior and 15.5 mm superior of the centre.
std::unique_ptr<SharedImageSet> spotVolume()
{
    auto volume = std::make_unique<SharedImageSet>("spot", Eigen::Vector3i(20, 30, 40), Eigen::Vector3d(1, 1, 1));
    volume->setVoxel({ 3, 26, 35 }, 1000);
    return volume;
}

// Axial with anterior up, sagittal and coronal with superior up and sagittal's anterior to the left; the patient's
// left on the screen's right in radiological, on its left in neurological.
TEST_F(ViewTest, LeftAnteriorSuperiorSpotLandsWhereTheConventionPutsIt)
{
    const auto volume = spotVolume();
    const Eigen::Vector3d spot(-6.5, 11.5, 15.5);
    for (const auto convention : { Slice::DisplayConvention::Radiological, Slice::DisplayConvention::Neurological })
    {
        DisplayWidgetMulti display;
        display.setDisplayConvention(convention);
        display.setVisibleData({ volume.get() });
        const double left = convention == Slice::DisplayConvention::Radiological ? 6.5 : -6.5;
        const Eigen::Vector2d expected[] = { { left, 11.5 }, { -11.5, 15.5 }, { left, 15.5 } }; // mm right and up
        for (int k = 0; k < 3; ++k)
        {
            GlSliceView& view = display.viewSlice(k)->sliceView();
            Slice slice = view.slice();
            slice.setOrigin(spot - slice.project(spot)); // through the spot, centred on the volume
            view.setSlice(slice);
            // Not laid out, the display fits the volume to 360-pixel views.
            const QImage image = display.renderToImage(QSize(722, 722)).copy(k == 1 ? 0 : 362, k ? 362 : 0, 360, 360);
            Eigen::Vector3d sum = Eigen::Vector3d::Zero(); // the grey pixels, not the yellow letters
            for (int y = 0; y < 360; ++y)
                for (int x = 0; x < 360; ++x)
                    if (const QRgb p = image.pixel(x, y); qRed(p) > 60 && qBlue(p) + 5 >= qRed(p))
                        sum += qRed(p) * Eigen::Vector3d(x + 0.5 - 180, 179.5 - y, 1);
            const Eigen::Vector2d offset = view.mmPerPixel() * sum.head<2>() / sum.z();
            EXPECT_TRUE(offset.isApprox(expected[k], 0.05))
              << int(convention) << " view " << k << " at " << offset.transpose();
        }
    }
}

// A second volume leaves the user's slice, zoom and camera alone; Reset Views brings back the first view.
TEST_F(ViewTest, ViewsKeepWhatTheUserSetUntilReset)
{
    const auto first = spotVolume();
    const auto second = spotVolume();
    DisplayWidgetMulti display;
    display.setVisibleData({ first.get() });
    GlSliceView& axial = display.viewSlice(0)->sliceView();
    GlVolumeView& view3D = display.view3D()->volumeView();
    const auto state = [&] { return std::tuple(axial.slice().pose(), axial.mmPerPixel(), view3D.camera().matrix()); };
    const auto initial = state();
    axial.pan(17, -9);
    axial.zoomAbout(1.7, 20, 150, GL::Viewport{ 0, 0, 200, 200 });
    view3D.setCameraMatrix(Eigen::Matrix4d::Identity());
    const auto moved = state();
    display.setVisibleData({ first.get(), second.get() });
    EXPECT_TRUE(state() == moved) << "the second volume moved the views";
    display.resetViews();
    EXPECT_TRUE(state() == initial);
}

// A registration moves the volume 1.2 m and turns it: the views that looked at it keep showing the same anatomy,
// upright; a view that looked elsewhere stays. Views let go far from the volume come back to it.
TEST_F(ViewTest, ViewsGoWithTheVolumeTheyShowAndComeBackToIt)
{
    const auto volume = spotVolume();
    DisplayWidgetMulti display;
    display.setVisibleData({ volume.get() });
    GlSliceView& axial = display.viewSlice(0)->sliceView();
    GlSliceView& sagittal = display.viewSlice(1)->sliceView();
    const Eigen::Vector3d onVolume(-6.5, 11.5, 15.5), elsewhere(500, 0, 0);
    const auto place = [](GlSliceView& view, const Eigen::Vector3d& origin)
    {
        Slice slice = view.slice();
        slice.setOrigin(origin);
        view.setSlice(slice);
    };
    place(axial, onVolume);
    place(sagittal, elsewhere);
    const Eigen::Vector3d centre = display.view3D()->volumeView().camera().centre();
    const Eigen::Affine3d move = Eigen::Translation3d(0, 40, -1200) * Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitZ());
    const Eigen::Matrix4d upright = axial.slice().pose();
    // Registrations are applied on the algorithm's thread.
    std::thread([&volume, &move] { volume->setMatrix(move.matrix() * volume->matrix()); }).join();
    EXPECT_TRUE(processEventsUntil([&] { return axial.slice().origin().isApprox(move * onVolume, 1e-9); }))
      << axial.slice().origin().transpose();
    EXPECT_TRUE(axial.slice().pose().topLeftCorner(3, 3).isApprox(upright.topLeftCorner(3, 3)));
    EXPECT_TRUE(sagittal.slice().origin().isApprox(elsewhere));
    EXPECT_TRUE(display.view3D()->volumeView().camera().centre().isApprox(move * centre, 1e-9));

    for (int k = 0; k < 3; ++k)
        place(display.viewSlice(k)->sliceView(), elsewhere);
    display.restoreAnatomicalPlanes();
    EXPECT_TRUE(axial.slice().origin().isApprox(volume->worldBoundingBox().center(), 1e-9));
}

TEST(Screenshot, APipeIsWrittenInPlaceAndAFullDeviceFails)
{
    QTemporaryDir directory;
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::red);
    const QString full = directory.filePath("full.png"), pipe = directory.filePath("pipe.png");
    ASSERT_EQ(::mkfifo(pipe.toLocal8Bit().constData(), 0600), 0);
    const int reader = ::open(pipe.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK);
    EXPECT_TRUE(Screenshot::savePng(image, pipe));
    char magic[4] = {};
    EXPECT_EQ(::read(reader, magic, 4), 4);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    ::close(reader);
    struct stat status
    {
    };
    // A writer that replaced the pipe by a file would, as root, replace /dev/full below too: stop here.
    ASSERT_TRUE(::stat(pipe.toLocal8Bit().constData(), &status) == 0 && S_ISFIFO(status.st_mode));

    ASSERT_TRUE(QFile::link("/dev/full", full));
    LogExpectation error(Log::Error, "No space left on device", 1);
    EXPECT_FALSE(Screenshot::savePng(image, full));
}

} // namespace
} // namespace Kelvaros::Testing
