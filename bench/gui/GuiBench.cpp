// Frame time of the four-view display at 1280x800 with a 256^3 volume of 16-bit values and a 3D scene (tool mesh
// of about 20,000 triangles, a spline, 20 rings, an overlay button), drawn into the visible widgets; and the time
// from a tracking sample's arrival on another thread to the end of the frame that shows it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <QApplication>
#include <QEventLoop>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QTimer>

#include <Eigen/Geometry>

#include "gui/scene/GlCircle.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveButtonOverlay.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlView.h"
#include "gui/view/ImageView3D.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"

using namespace Kelvaros;
using Clock = std::chrono::steady_clock;

namespace
{
constexpr int kFrames = 300;
constexpr int kSamples = 300;

/// A body (ellipsoid) with a gradient from inferior to superior and five spheres of distinct values placed
/// asymmetrically, as 16-bit values (0 to 4095) stored as floats.
std::unique_ptr<SharedImageSet> phantom(int n, double spacing)
{
    auto volume = std::make_unique<SharedImageSet>("phantom", Eigen::Vector3i(n, n, n),
                                                   Eigen::Vector3d::Constant(spacing), Data::Modality::CT);
    const struct
    {
        Eigen::Vector3d centre; // fractions of the half extent
        double radius;          // fraction of the half extent
        float value;
    } spheres[] = { { { 0.35, 0.2, 0.3 }, 0.18, 3800 },
                    { { -0.4, -0.1, 0.1 }, 0.12, 3000 },
                    { { 0.1, 0.45, -0.35 }, 0.1, 2400 },
                    { { -0.2, -0.45, -0.4 }, 0.08, 3400 },
                    { { 0.0, 0.0, 0.6 }, 0.06, 4095 } };
    std::vector<float>& voxels = volume->voxels();
    const double half = 0.5 * (n - 1);
    size_t index = 0;
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i, ++index)
            {
                const Eigen::Vector3d p((i - half) / half, (j - half) / half, (k - half) / half);
                float value = 0;
                if (p.cwiseQuotient(Eigen::Vector3d(0.9, 0.75, 0.95)).squaredNorm() <= 1.0)
                    value = float(800 + 600 * (p.z() + 1));
                for (const auto& s : spheres)
                    if ((p - s.centre).norm() <= s.radius)
                        value = s.value;
                voxels[index] = value;
            }
    return volume;
}

struct Scene
{
    std::unique_ptr<SharedImageSet> volume;
    std::unique_ptr<GlMesh> tool;
    std::unique_ptr<GlSpline> path;
    std::vector<std::unique_ptr<GlCircle>> rings;
};

/// The tool mesh (all views), a path with 20 rings along it (3D view) and an overlay button (3D view).
Scene buildScene(DisplayWidgetMulti& display, int volumeSize, double spacing)
{
    Scene scene;
    scene.volume = phantom(volumeSize, spacing);
    display.setVisibleData(DataList{ scene.volume.get() });
    const double half = 0.5 * volumeSize * spacing;
    std::shared_ptr<Mesh> sphere = MeshCreator::createSphere(0.12 * half, 71);
    scene.tool = std::make_unique<GlMesh>(sphere, "tool");
    scene.tool->setColor({ 0.2, 0.8, 0.3 });
    scene.tool->setLineColor({ 0.2, 1.0, 0.3, 1.0 });
    scene.tool->setLineWidth(2);
    Eigen::Matrix4d toolPose = Eigen::Matrix4d::Identity();
    toolPose.block<3, 1>(0, 3) = Eigen::Vector3d(0.25, 0.5, 0.0) * half;
    scene.tool->setMatrix(toolPose);
    display.viewGroup(0)->addObject(scene.tool.get());

    scene.path = std::make_unique<GlSpline>("path");
    scene.path->setPoints({ Eigen::Vector3d(0.35, 0.2, 0.3) * half, Eigen::Vector3d(0.1, 0.6, 0.5) * half,
                            Eigen::Vector3d(-0.2, 1.0, 0.4) * half, Eigen::Vector3d(-0.4, 1.5, 0.6) * half });
    scene.path->setColor({ 1.0, 0.8, 0.2 });
    ImageView3D& view3D = *display.view3D(0);
    view3D.glView().addObject(scene.path.get());
    const double length = scene.path->getCurveLength();
    for (int r = 0; r < 20; ++r)
    {
        const double arc = length * (r + 1) / 21.0;
        const double t = scene.path->arcLengthToSplineCoord(arc);
        const Eigen::Vector3d centre = scene.path->evaluate(t);
        const Eigen::Vector3d axis = scene.path->evaluateTangent(t).normalized();
        const Eigen::Vector3d a = axis.unitOrthogonal();
        auto ring = std::make_unique<GlCircle>("ring");
        ring->setCircle(centre, a, axis.cross(a));
        ring->setRadius(0.06 * half);
        ring->setColor({ 0.3, 0.7, 1.0 });
        ring->setAlpha(0.6);
        view3D.glView().addObject(ring.get());
        scene.rings.push_back(std::move(ring));
    }
    view3D.glView().addOverlay(std::make_unique<InteractiveButtonOverlay>(5));
    return scene;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * (values.size() - 1) + 0.5))];
}

void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void finishAll(DisplayWidgetMulti& display)
{
    for (InteractiveView* view : display.views())
    {
        view->makeCurrent();
        QOpenGLContext::currentContext()->functions()->glFinish();
        view->doneCurrent();
    }
}

Eigen::Matrix4d toolPoseAt(double seconds, double half)
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.block<3, 1>(0, 3) = half * Eigen::Vector3d(0.4 * std::cos(seconds), 0.4 * std::sin(seconds), 0.1);
    return pose;
}

std::vector<double> frameTimesMs(DisplayWidgetMulti& display, Scene& scene, double half)
{
    std::vector<double> times;
    for (int frame = 0; frame < kFrames; ++frame)
    {
        scene.tool->setMatrix(toolPoseAt(frame * 0.02, half));
        const auto start = Clock::now();
        display.repaint();
        finishAll(display);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        QCoreApplication::processEvents();
    }
    return times;
}

/// Samples at 60 Hz from a thread of their own, each queued to the main thread where it moves the tool; a
/// sample's latency ends when the 3D view's frame that first drew it has been swapped.
std::vector<double> sampleLatenciesMs(DisplayWidgetMulti& display, Scene& scene, double half)
{
    ImageView3D& view = *display.view3D(0);
    std::vector<Clock::time_point> applied;
    std::vector<Clock::time_point> inFrame;
    std::vector<double> latencies;
    QObject::connect(&view, &InteractiveView::painted,
                     [&]
                     {
                         QOpenGLContext::currentContext()->functions()->glFinish();
                         inFrame.insert(inFrame.end(), applied.begin(), applied.end());
                         applied.clear();
                     });
    QObject::connect(&view, &QOpenGLWidget::frameSwapped,
                     [&]
                     {
                         const auto now = Clock::now();
                         for (const auto& arrival : inFrame)
                             latencies.push_back(std::chrono::duration<double, std::milli>(now - arrival).count());
                         inFrame.clear();
                     });
    std::atomic<bool> stop{ false };
    std::thread tracker(
      [&]
      {
          auto next = Clock::now();
          for (int i = 0; i < kSamples + 10 && !stop; ++i)
          {
              next += std::chrono::microseconds(16667);
              std::this_thread::sleep_until(next);
              const auto arrival = Clock::now();
              QMetaObject::invokeMethod(
                qApp,
                [&, arrival, i]
                {
                    scene.tool->setMatrix(toolPoseAt(i * 0.05, half));
                    view.requestUpdate();
                    applied.push_back(arrival);
                },
                Qt::QueuedConnection);
          }
      });
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout,
                     [&]
                     {
                         if (latencies.size() >= size_t(kSamples))
                             loop.quit();
                     });
    poll.start(5);
    loop.exec();
    stop = true;
    tracker.join();
    runEventsFor(50);
    latencies.resize(kSamples);
    return latencies;
}
} // namespace

int main(int argc, char** argv)
{
    InteractiveView::prepareApplication();
    QApplication application(argc, argv);
    const bool screenshot = argc == 3 && QString(argv[1]) == "--screenshot";
    DisplayWidgetMulti display;
    display.resize(1280, 800);
    const int volumeSize = screenshot ? 160 : 256;
    const double spacing = screenshot ? 1.0 : 0.7;
    Scene scene = buildScene(display, volumeSize, spacing);
    if (screenshot)
        return display.saveScreenshot(argv[2], QSize(1280, 800)) ? 0 : 1;

    display.show();
    runEventsFor(500);
    // What the visible widgets drew (rather than the offscreen composition of --screenshot).
    if (argc == 3 && QString(argv[1]) == "--grab")
        return display.grab().save(argv[2]) ? 0 : 1;
    const double half = 0.5 * volumeSize * spacing;
    const std::vector<double> frames = frameTimesMs(display, scene, half);
    const std::vector<double> latencies = sampleLatenciesMs(display, scene, half);
    std::printf("FIGURE gui_frame_ms_median %.2f ms\n", percentile(frames, 0.5));
    std::printf("FIGURE gui_frame_ms_p99 %.2f ms\n", percentile(frames, 0.99));
    std::printf("FIGURE gui_latency_ms_median %.2f ms\n", percentile(latencies, 0.5));
    std::printf("FIGURE gui_latency_ms_p99 %.2f ms\n", percentile(latencies, 0.99));
    return 0;
}
