#include "WorkbenchDemo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <fmt/format.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/InteractiveView.h"
#include "gui/view/Screenshot.h"
#include "lib/Algorithm.h"
#include "lib/SharedImageSet.h"
#include "lib/numerics/RigidRegistration.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingSequence.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "DataListWidget.h"
#include "DataSources.h"
#include "MainWindow.h"
#include "imageio/PhantomVolume.h"

namespace Kelvaros
{

namespace
{
using Clock = std::chrono::steady_clock;
using Scenario = TrackingSimulator::Scenario;

const TrackingSimulator::GroundTruth& truth()
{
    return TrackingSimulator::groundTruth();
}

/// The tracked poses of one tool in the first `frames` frames of a scenario, as a recording of that tool.
std::unique_ptr<TrackingSequence> recordTool(Scenario scenario, const std::string& tool, int64_t frames, uint64_t seed)
{
    const TrackingSimulator simulator({ 60.0, 0.1, 0.01, scenario, seed });
    auto sequence =
      std::make_unique<TrackingSequence>(tool + " " + TrackingSimulator::scenarioName(scenario) + " recording");
    for (int64_t k = 0; k < frames; ++k)
    {
        const TrackingSimulator::Frame frame = simulator.frame(k);
        for (const TrackingInstrument& instrument : frame.instruments)
            if (instrument.ID() == tool && instrument.tracked)
            {
                sequence->setTrackerID(instrument.id);
                sequence->add(instrument.matrix, frame.timestampDevice, instrument.quality, true);
            }
    }
    return sequence;
}

/// The pointer tip (calibrated, tracker space) averaged over the frames in which it rests on each landmark.
std::vector<Eigen::Vector3d> touchLandmarks(const Eigen::Matrix4d& pointerCalibration, uint64_t seed)
{
    const TrackingSimulator simulator({ 60.0, 0.1, 0.01, Scenario::Landmarks, seed });
    const size_t count = truth().landmarks_Phantom.size();
    std::vector<Eigen::Vector3d> sums(count, Eigen::Vector3d::Zero());
    std::vector<int> samples(count, 0);
    const int kSamplesPerLandmark = 30;
    for (int64_t k = 0; k < 60 * 120 && *std::min_element(samples.begin(), samples.end()) < kSamplesPerLandmark; ++k)
    {
        const int landmark = simulator.touchedLandmark(k);
        if (landmark < 0 || samples[size_t(landmark)] >= kSamplesPerLandmark)
            continue;
        for (const TrackingInstrument& pointer : simulator.frame(k).instruments)
            if (pointer.ID() == "Pointer" && pointer.tracked && pointer.quality > 0.8)
            {
                sums[size_t(landmark)] +=
                  Nav::transformPoint(pointer.matrix * pointerCalibration, Eigen::Vector3d::Zero());
                ++samples[size_t(landmark)];
            }
    }
    std::vector<Eigen::Vector3d> tips;
    for (size_t i = 0; i < count; ++i)
        if (samples[i] > 0)
            tips.push_back(sums[i] / samples[i]);
    return tips;
}

std::string screenshotPath(const std::string& folder, int index)
{
    return QDir(QString::fromStdString(folder)).filePath(QString("workbench-%1.png").arg(index)).toStdString();
}

/// Lets the event loop run until `done` holds or the time is up; true when it held.
bool processEventsUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
} // namespace

WorkbenchDemo::WorkbenchDemo(MainWindow& window) : m_window(window) {}

bool WorkbenchDemo::setUp()
{
    DataSources& sources = m_window.sources();
    const auto phantom = sources.addPhantom();
    const auto stream = sources.startSimulator("insertion");
    if (!phantom.ok() || !stream.ok())
    {
        m_report.fail(phantom.ok() ? stream.error : phantom.error);
        return false;
    }
    m_phantom = static_cast<SharedImageSet*>(phantom.data.front());
    m_stream = static_cast<SimulatedTrackingStream*>(stream.data.front());
    calibrate("Pointer", false);
    calibrate("Needle", true);
    registerPhantom();
    startToolVisualization();
    // The registration moved the phantom into tracker space: the views centre on it there.
    m_window.showAllData();
    m_window.dataList().select(DataList{ m_stream });
    return true;
}

void WorkbenchDemo::calibrate(const std::string& tool, bool withAxis)
{
    GuiApplicationController& app = m_window.app();
    auto* pivot = static_cast<TrackingSequence*>(app.addData(recordTool(Scenario::Pivot, tool, 600, 1)));
    Data* spin = withAxis ? app.addData(recordTool(Scenario::Spin, tool, 300, 2)) : nullptr;
    Algorithm* calibration =
      app.createAlgorithm("Navigation.ToolCalibration", spin ? DataList{ pivot, spin } : DataList{ pivot });
    const int status = calibration ? app.runAlgorithm(calibration) : Algorithm::Error;
    const Eigen::Matrix4d result = pivot->calibration();
    if (calibration)
        app.closeAlgorithm(calibration);
    app.removeData(pivot);
    if (spin)
        app.removeData(spin);
    if (status != Algorithm::Success)
        return m_report.fail(fmt::format("{}: the tool calibration failed with status {}", tool, status));

    m_stream->components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(tool, result, 0.0);
    const TrackingSimulator::Tool& truthOfTool = *truth().tool(tool);
    const Eigen::Vector3d tip = result.block<3, 1>(0, 3);
    m_report.add({ tool + " tip offset", Nav::vec(tip), Nav::vec(truthOfTool.tipOffset_Tool),
                   (tip - truthOfTool.tipOffset_Tool).norm(), "mm", 1.0 });
    if (withAxis)
    {
        const Eigen::Vector3d axis = result.block<3, 1>(0, 2);
        m_report.add({ tool + " axis", Nav::vec(axis, 3), Nav::vec(truthOfTool.axis_Tool, 3),
                       Nav::angleDegrees(axis, truthOfTool.axis_Tool), "deg", 2.0 });
    }
}

void WorkbenchDemo::registerPhantom()
{
    const std::vector<Eigen::Vector3d> touched =
      touchLandmarks(InstrumentCalibrationDataComponent::matrixOf(*m_stream, "Pointer"), 3);
    double fre = 0;
    const auto phantomToTracker = touched.size() == truth().landmarks_Phantom.size()
                                    ? RigidRegistration::fitRigid(truth().landmarks_Phantom, touched, &fre)
                                    : std::nullopt;
    if (!phantomToTracker)
        return m_report.fail("registration: the landmarks do not determine the phantom's pose");
    // The phantom's matrix maps its voxels' space into phantom coordinates; the registration follows.
    m_phantom->setMatrix(*phantomToTracker * m_phantom->matrix());
    const Eigen::Vector3d target = PhantomVolume::target_Phantom(truth());
    const double tre =
      (Nav::transformPoint(*phantomToTracker, target) - Nav::transformPoint(truth().phantomToTracker, target)).norm();
    Log::logf(Log::Info, "WorkbenchDemo", "Registered the phantom from {} landmark touches: FRE {:.3f} mm",
              touched.size(), fre);
    m_report.add({ fmt::format("Fiducial registration error ({} landmarks)", touched.size()), "", "", fre, "mm", 1.0 });
    m_report.add({ "Target registration error at the target", "", "", tre, "mm", 2.0 });
}

void WorkbenchDemo::startToolVisualization()
{
    GuiApplicationController& app = m_window.app();
    // On the stream alone: the registration moved the phantom into tracker space, and a visualization built with
    // the image would take the phantom's placement as the stream's registration and apply it a second time.
    Algorithm* visualization = app.createAlgorithm("Navigation.ToolVisualization", DataList{ m_stream });
    if (!visualization)
        return m_report.fail("the tool visualization could not be created on the needle");
    Properties configuration;
    configuration.setParam("trackingTargetId", std::string("Needle"));
    configuration.setParam("autostart", true);
    visualization->configure(&configuration);
    app.openController(visualization);
}

void WorkbenchDemo::checkLiveNeedle()
{
    const TrackingSimulator simulator = m_stream->simulator();
    for (const TrackingInstrument& needle : m_stream->instruments())
    {
        if (needle.ID() != "Needle")
            continue;
        const int64_t frame = m_stream->frameForTimestamp(needle.timestamp);
        if (!needle.tracked || frame < 0)
            return m_report.note("At one check the tracker did not see the needle");
        const Eigen::Vector3d shown = Nav::transformPoint(
          needle.matrix * InstrumentCalibrationDataComponent::matrixOf(*m_stream, "Needle"), Eigen::Vector3d::Zero());
        const Eigen::Vector3d tip =
          Nav::transformPoint(simulator.truePose("Needle", frame), truth().tool("Needle")->tipOffset_Tool);
        m_report.add(
          { fmt::format("Needle tip shown at {:.1f} s", double(needle.timestamp - simulator.deviceTimestamp(0)) / 1e6),
            Nav::vec(shown), Nav::vec(tip), (shown - tip).norm(), "mm", 2.0 });
        return;
    }
    m_report.fail("the stream shows no needle");
}

namespace
{
int runWithScreenshots(MainWindow& window, WorkbenchDemo& demo, const DemoOptions& options, Clock::time_point start)
{
    QDir().mkpath(QString::fromStdString(*options.screenshots));
    const int kShots = 3;
    int written = 0;
    for (int shot = 1; shot <= kShots; ++shot)
        QTimer::singleShot(int(options.seconds * 1000 * shot / kShots), &window,
                           [&, shot]
                           {
                               demo.checkLiveNeedle();
                               const std::string path = screenshotPath(*options.screenshots, shot);
                               if (Screenshot::savePng(window.grab().toImage(), QString::fromStdString(path)))
                               {
                                   std::printf("Wrote %s\n", path.c_str());
                                   ++written;
                               }
                               if (shot == kShots)
                                   QApplication::quit();
                           });
    QApplication::exec();
    const bool withinLimits = demo.printReport(std::chrono::duration<double>(Clock::now() - start).count());
    return withinLimits && written == kShots ? 0 : 1;
}

int measure()
{
    std::vector<double> startMs;
    for (int run = 0; run < 5; ++run)
    {
        QElapsedTimer timer;
        timer.start();
        MainWindow window(false);
        window.setInteractive(false);
        WorkbenchDemo demo(window);
        demo.setUp();
        window.show();
        InteractiveView* view = window.display().views()[0];
        if (!processEventsUntil([view] { return view->paintCount() > 0; }, 30000))
            return 1;
        startMs.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("FIGURE workbench_start_to_first_frame_ms_median %.1f ms\n", median(startMs));

    MainWindow window(false);
    window.setInteractive(false);
    WorkbenchDemo demo(window);
    demo.setUp();
    window.show();
    processEventsUntil([] { return false; }, 1000);
    const auto views = window.display().views();
    const auto paints = [&views]
    {
        int sum = 0;
        for (InteractiveView* view : views)
            sum += view->paintCount();
        return sum;
    };
    const int before = paints();
    const int seconds = 5;
    processEventsUntil([] { return false; }, seconds * 1000);
    std::printf("FIGURE workbench_view_frame_rate_hz %.1f Hz (paints per second of each of the 4 views, mean)\n",
                double(paints() - before) / 4.0 / seconds);
    std::vector<double> grabMs;
    for (int i = 0; i < 20; ++i)
    {
        QElapsedTimer timer;
        timer.start();
        (void)window.grab();
        grabMs.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("FIGURE workbench_full_window_frame_rate_hz %.1f Hz (whole-window renders per second, median of 20)\n",
                1000.0 / median(grabMs));
    return 0;
}
} // namespace

int runDemo(const DemoOptions& options)
{
    if (options.measure)
        return measure();
    const auto start = Clock::now();
    MainWindow window(!options.screenshots);
    window.setInteractive(!options.screenshots);
    WorkbenchDemo demo(window);
    const bool ready = demo.setUp();
    window.show();
    if (options.screenshots)
        return runWithScreenshots(window, demo, options, start);
    if (!ready)
        demo.printReport(0);
    return QApplication::exec();
}

} // namespace Kelvaros
