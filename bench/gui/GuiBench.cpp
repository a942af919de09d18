// Frame time of the four-view display at 1280x800 with a 256^3 volume of 16-bit values and a 3D scene (tool mesh
// of about 20,000 triangles, a spline, 20 rings, an overlay button), drawn into the visible widgets; the time from
// a tracking sample's push on another thread, through a tracking stream drawn in every view, to the end of the frame
// that shows it; and the process's CPU share while a 60 Hz stream shows a tool standing still or moving. A frame ends
// when every view has painted and its paint has been swapped to the screen; one that does not within 5 s is an error
// (exit code 1), never a figure. The counts behind the percentiles and the CPU time per frame are printed too: wall
// times taken while other programs hold the cores are noisy, CPU time much less so.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <Eigen/Geometry>

#include "gui/scene/GlCircle.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveButtonOverlay.h"
#include "gui/tracking/GlTrackingStream.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlView.h"
#include "gui/view/ImageView3D.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"
#include "stream/ManualTrackingStream.h"

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

Eigen::Matrix4d toolPoseAt(double seconds, double half)
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.block<3, 1>(0, 3) = half * Eigen::Vector3d(0.4 * std::cos(seconds), 0.4 * std::sin(seconds), 0.1);
    return pose;
}

/// CPU time of the whole process (the renderer's threads included): what a frame costs apart from waiting for the
/// cores that other programs hold, so it varies far less than wall time on a loaded machine.
double processCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return 1e3 * double(now.tv_sec) + 1e-6 * double(now.tv_nsec);
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

/// Knows, for each view, the last paint that reached the screen: a view's frameSwapped follows the composition of
/// the window after its paint, so the paint count at that moment is on screen. A frame counts only when every view
/// painted after it was asked to and that paint was swapped; repaint() alone does not guarantee either.
class FrameWatch
{
public:
    explicit FrameWatch(const std::array<InteractiveView*, 4>& views) : m_views(views)
    {
        for (size_t v = 0; v < m_views.size(); ++v)
            QObject::connect(m_views[v], &QOpenGLWidget::frameSwapped,
                             [this, v]
                             {
                                 m_onScreen[v] = m_views[v]->paintCount();
                                 m_lastSwap = Clock::now();
                             });
    }

    [[nodiscard]] std::array<int, 4> paintCounts() const
    {
        std::array<int, 4> counts{};
        for (size_t v = 0; v < m_views.size(); ++v)
            counts[v] = m_views[v]->paintCount();
        return counts;
    }
    /// Every view has a paint newer than `before` on screen.
    [[nodiscard]] bool allShownSince(const std::array<int, 4>& before) const
    {
        for (size_t v = 0; v < m_views.size(); ++v)
            if (m_onScreen[v] <= before[v])
                return false;
        return true;
    }
    /// The views that have no paint newer than `before` on screen, by label.
    [[nodiscard]] std::string missing(const std::array<int, 4>& before) const
    {
        std::string names;
        for (size_t v = 0; v < m_views.size(); ++v)
            if (m_onScreen[v] <= before[v])
                names += (names.empty() ? "" : ", ") + m_views[v]->glView().label() +
                         (m_views[v]->paintCount() > before[v] ? " (painted, not swapped)" : " (not painted)");
        return names;
    }
    [[nodiscard]] Clock::time_point lastSwap() const { return m_lastSwap; }

    /// Runs events until `done` holds (true) or `timeoutMs` passed (false). Sleeps while no event comes, so that
    /// waiting costs no CPU time.
    static bool runUntil(const std::function<bool()>& done, int timeoutMs)
    {
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.start(timeoutMs);
        while (!done())
        {
            if (!deadline.isActive())
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return true;
    }

private:
    std::array<InteractiveView*, 4> m_views;
    std::array<int, 4> m_onScreen{};
    Clock::time_point m_lastSwap;
};

constexpr int kFrameTimeoutMs = 5000;

/// The cost of a frame in which the tool moved and every view had to be drawn: from the change to the swap of the
/// last view's paint. The views are asked directly (not through the per-frame pacing of requestUpdate), so that the
/// figure is what a frame costs rather than when the next one is due. Empty when a frame did not reach the screen.
std::vector<double> frameTimesMs(DisplayWidgetMulti& display, FrameWatch& watch, Scene& scene, double half,
                                 std::vector<double>& cpuMs)
{
    std::vector<double> times;
    for (int frame = 0; frame < kFrames; ++frame)
    {
        const std::array<int, 4> before = watch.paintCounts();
        const auto start = Clock::now();
        const double cpuStart = processCpuMs();
        scene.tool->setMatrix(toolPoseAt(frame * 0.02, half));
        for (InteractiveView* view : display.views())
            view->update();
        if (!FrameWatch::runUntil([&] { return watch.allShownSince(before); }, kFrameTimeoutMs))
        {
            std::fprintf(stderr, "frame %d did not reach the screen: %s\n", frame, watch.missing(before).c_str());
            return {};
        }
        times.push_back(msBetween(start, watch.lastSwap()));
        cpuMs.push_back(processCpuMs() - cpuStart);
    }
    return times;
}

/// Pushes a tool into a manual stream at 60 Hz from a thread of its own until stopped (or `count` samples); `onPush`
/// runs on that thread right before each push, with the sample's counter.
class TrackerThread
{
public:
    TrackerThread(ManualTrackingStream& stream, bool moving, double half, std::function<void(int)> onPush = nullptr,
                  int count = -1)
      : m_thread(
          [this, &stream, moving, half, onPush, count]
          {
              auto next = Clock::now();
              for (int i = 0; !m_stop && i != count; ++i)
              {
                  next += std::chrono::microseconds(16667);
                  std::this_thread::sleep_until(next);
                  if (onPush)
                      onPush(i);
                  TrackingInstrument tool{ TrackerID("tool", "BenchModel", "Tool"),
                                           toolPoseAt(moving ? i * 0.05 : 0.0, half), 1.0, 0, true };
                  stream.push({ tool }, i);
              }
          })
    {
    }
    ~TrackerThread()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{ false };
    std::thread m_thread;
};

/// The drawing of a tracking stream in a view (the one the view made for it).
const GlTrackingStream* drawingOf(const InteractiveView& view)
{
    for (const GlObject* object : view.glView().objects())
        if (const auto* drawing = dynamic_cast<const GlTrackingStream*>(object))
            return drawing;
    return nullptr;
}

/// Samples at 60 Hz from a thread of their own through a tracking stream drawn in every view, so that the figure
/// includes the stream's newest-sample holder and the display's frame clock. A sample's latency runs from its push
/// to the swap after which every view shows it or a newer one. Empty when a sample was never shown.
std::vector<double> sampleLatenciesMs(DisplayWidgetMulti& display, SharedImageSet& volume, double half)
{
    ManualTrackingStream stream("latency tracker");
    if (!stream.open() || !stream.start())
        return {};
    display.setVisibleData(DataList{ &volume, &stream });
    std::vector<Clock::time_point> pushed(kSamples);
    std::array<uint64_t, 4> painted{}, shown{};
    std::vector<double> latencies;
    std::vector<QMetaObject::Connection> connections;
    const std::array<InteractiveView*, 4> views = display.views();
    for (size_t v = 0; v < views.size(); ++v)
    {
        connections.push_back(QObject::connect(views[v], &InteractiveView::painted,
                                               [&, v] { painted[v] = drawingOf(*views[v])->drawnSequence(); }));
        connections.push_back(QObject::connect(views[v], &QOpenGLWidget::frameSwapped,
                                               [&, v]
                                               {
                                                   shown[v] = painted[v];
                                                   // Sample i has the sequence number i + 1: the stream is fresh.
                                                   const uint64_t all = *std::min_element(shown.begin(), shown.end());
                                                   while (latencies.size() < std::min<uint64_t>(all, kSamples))
                                                       latencies.push_back(
                                                         msBetween(pushed[latencies.size()], Clock::now()));
                                               }));
    }
    {
        TrackerThread tracker(
          stream, true, half, [&](int i) { pushed[size_t(i)] = Clock::now(); }, kSamples);
        FrameWatch::runUntil([&] { return latencies.size() == size_t(kSamples); }, kSamples * 17 + kFrameTimeoutMs);
    }
    for (const QMetaObject::Connection& connection : connections)
        QObject::disconnect(connection);
    display.setVisibleData(DataList{ &volume });
    if (latencies.size() < size_t(kSamples))
    {
        std::fprintf(stderr, "%zu of %d samples were never shown\n", size_t(kSamples) - latencies.size(), kSamples);
        return {};
    }
    return latencies;
}

/// The share of one core the whole process uses over 5 s while a 60 Hz stream shown in all four views delivers a
/// tool that stands still or moves; the paints per second of the four views are printed beside it.
double cpuPercentWhileStreaming(DisplayWidgetMulti& display, ManualTrackingStream& stream, double half, bool moving)
{
    TrackerThread tracker(stream, moving, half);
    runEventsFor(500);
    const auto paints = [&display]
    {
        int sum = 0;
        for (const InteractiveView* view : display.views())
            sum += view->paintCount();
        return sum;
    };
    const int paintsStart = paints();
    const double cpuStart = processCpuMs();
    const auto start = Clock::now();
    runEventsFor(5000);
    const double seconds = msBetween(start, Clock::now()) / 1e3;
    std::printf("%s tool: %.1f view paints per second\n", moving ? "moving" : "still",
                (paints() - paintsStart) / seconds);
    return 0.1 * (processCpuMs() - cpuStart) / seconds;
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
    FrameWatch watch(display.views());
    std::vector<double> frameCpuMs;
    const std::vector<double> frames = frameTimesMs(display, watch, scene, half, frameCpuMs);
    const std::vector<double> latencies =
      frames.empty() ? std::vector<double>() : sampleLatenciesMs(display, *scene.volume, half);
    if (frames.empty() || latencies.empty())
        return 1;
    ManualTrackingStream stream("bench tracker");
    if (!stream.open() || !stream.start())
        return 1;
    display.setVisibleData(DataList{ scene.volume.get(), &stream });
    const double idlePercent = cpuPercentWhileStreaming(display, stream, half, false);
    const double movingPercent = cpuPercentWhileStreaming(display, stream, half, true);
    // The views let go of the stream before it goes (it is destroyed before the display).
    display.setVisibleData(DataList{ scene.volume.get() });
    // The counts say what the percentiles rest on; on a machine shared with other work they are noisy.
    std::printf("%zu frames timed (each: all four views painted and swapped), %zu samples shown, %dx%d\n",
                frames.size(), latencies.size(), display.width(), display.height());
    std::printf("CPU time per frame, all threads: median %.2f ms, p99 %.2f ms\n", percentile(frameCpuMs, 0.5),
                percentile(frameCpuMs, 0.99));
    std::printf("FIGURE gui_frame_ms_median %.2f ms\n", percentile(frames, 0.5));
    std::printf("FIGURE gui_frame_ms_p99 %.2f ms\n", percentile(frames, 0.99));
    std::printf("FIGURE gui_latency_ms_median %.2f ms\n", percentile(latencies, 0.5));
    std::printf("FIGURE gui_latency_ms_p99 %.2f ms\n", percentile(latencies, 0.99));
    // In frames of this run's own frame time, so that a slower machine does not read as a slower display.
    const double frameMs = percentile(frames, 0.5);
    std::printf("FIGURE gui_latency_frames_median %.2f frames\n", percentile(latencies, 0.5) / frameMs);
    std::printf("FIGURE gui_latency_frames_p99 %.2f frames\n", percentile(latencies, 0.99) / frameMs);
    std::printf("FIGURE gui_frame_cpu_ms_median %.2f ms\n", percentile(frameCpuMs, 0.5));
    std::printf("FIGURE gui_idle_cpu_percent %.1f %%\n", idlePercent);
    std::printf("FIGURE gui_moving_cpu_percent %.1f %%\n", movingPercent);
    return 0;
}
