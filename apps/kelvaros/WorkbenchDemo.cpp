#include "WorkbenchDemo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <fmt/format.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/tracking/TrackingInstrumentComboBox.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/InteractiveView.h"
#include "gui/view/Screenshot.h"
#include "lib/Algorithm.h"
#include "lib/SharedImageSet.h"
#include "lib/numerics/RigidRegistration.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingSequence.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "DataListWidget.h"
#include "MainWindow.h"
#include "RegistrationPairs.h"
#include "imageio/PhantomVolume.h"
#include "session/DataSources.h"

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

/// Grabs the whole window into the PNG file `name` in `folder`; true when written.
bool saveScreenshot(MainWindow& window, const std::string& folder, const QString& name)
{
    const QString path = QDir(QString::fromStdString(folder)).filePath(name);
    if (!Screenshot::savePng(window.grab().toImage(), path))
        return false;
    std::printf("Wrote %s\n", path.toStdString().c_str());
    return true;
}

/// Runs `loop` until `done` holds or the time is up; true when it held. The caller connects whatever signals the
/// change to the loop's quit (queued, so that a quit before exec is not lost) and the loop sleeps until then.
bool runLoopUntil(QEventLoop& loop, const std::function<bool()>& done, int timeoutMs)
{
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(timeoutMs);
    while (!done() && timeout.isActive())
        loop.exec();
    return done();
}

/// Lets the application run for a while, as a user watching it would.
void runEventsFor(int ms)
{
    QEventLoop loop;
    runLoopUntil(
      loop, [] { return false; }, ms);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
} // namespace

WorkbenchDemo::WorkbenchDemo(MainWindow& window) : m_window(window) {}

bool WorkbenchDemo::setUp(const std::function<void()>& whileCalibrating)
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
    if (whileCalibrating)
        showCalibrationWizard(whileCalibrating);
    calibrate("Pointer", false);
    calibrate("Needle", true);
    registerPhantom();
    if (!openOnNeedle("Navigation.ToolVisualization"))
        m_report.fail("the tool visualization could not be created on the needle");
    planPath();
    if (!openOnNeedle("Navigation.ToolNavigationVisualization"))
        m_report.fail("the navigation view could not be created on the needle");
    // The registration moved the phantom into tracker space: the views centre on it there.
    m_window.showAllData();
    lookAlongsidePath();
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
    // The calibration goes to the stream with how it was obtained, as the wizard stores it.
    const auto* computed = pivot->components().get<InstrumentCalibrationDataComponent>();
    const auto entry = computed ? computed->entry(pivot->trackerID().ID()) : std::nullopt;
    if (calibration)
        app.closeAlgorithm(calibration);
    app.removeData(pivot);
    if (spin)
        app.removeData(spin);
    if (status != Algorithm::Success)
        return m_report.fail(fmt::format("{}: the tool calibration failed with status {}", tool, status));

    m_stream->components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
      tool, { result, 0.0 }, entry ? entry->provenance : std::nullopt);
    const TrackingSimulator::Tool& truthOfTool = *truth().tool(tool);
    const Eigen::Vector3d tip = result.block<3, 1>(0, 3);
    m_report.add({ tool + " tip offset", Nav::vec(tip), Nav::vec(truthOfTool.tipOffset_Tool),
                   (tip - truthOfTool.tipOffset_Tool).norm(), "mm", 1.0 });
    if (withAxis)
    {
        const Eigen::Vector3d axis = result.block<3, 1>(0, 2);
        const Eigen::Vector3d towardsGrip = -truthOfTool.axis_Tool;
        m_report.add({ tool + " axis, tip to grip", Nav::vec(axis, 3), Nav::vec(towardsGrip, 3),
                       Nav::angleDegrees(axis, towardsGrip), "deg", 2.0 });
    }
}

void WorkbenchDemo::registerPhantom()
{
    const std::vector<Eigen::Vector3d> touched =
      touchLandmarks(InstrumentCalibrationDataComponent::matrixOf(*m_stream, "Pointer"), 3);
    if (touched.size() != truth().landmarks_Phantom.size())
        return m_report.fail("registration: the pointer did not touch every landmark");
    // Through the plug-in's registration, as a user registers: the pairs it is given are those the panel would
    // hold, and the volume keeps the registration's provenance and what it replaced.
    std::vector<Eigen::Vector3d> image;
    for (const Eigen::Vector3d& landmark : truth().landmarks_Phantom)
        image.push_back(m_phantom->worldToImage(landmark));
    const Properties pairs = Nav::registrationPairs(touched, image, "Pointer");
    GuiApplicationController& app = m_window.app();
    const Eigen::Matrix4d unregistered = m_phantom->matrix();
    Algorithm* registration =
      app.createAlgorithm("Navigation.LiveTrackingPointRegistration", DataList{ m_stream, m_phantom });
    if (registration)
        registration->configure(&pairs);
    const int status = registration ? app.runAlgorithm(registration) : Algorithm::Error;
    const std::string message = registration ? registration->statusMessage() : std::string();
    if (registration)
        app.closeAlgorithm(registration);
    if (status != Algorithm::Success)
        return m_report.fail("registration: " + (message.empty() ? fmt::format("status {}", status) : message));
    // The phantom's matrix maps its voxels' space into phantom coordinates; the registration follows.
    m_phantomToTracker = m_phantom->matrix() * unregistered.inverse();
    const double fre = RigidRegistration::rmsResidual(m_phantomToTracker, truth().landmarks_Phantom, touched);
    const Eigen::Vector3d target = PhantomVolume::target_Phantom(truth());
    const double tre =
      (Nav::transformPoint(m_phantomToTracker, target) - Nav::transformPoint(truth().phantomToTracker, target)).norm();
    Log::logf(Log::Info, "WorkbenchDemo", "Registered the phantom from {} landmark touches: FRE {:.3f} mm",
              touched.size(), fre);
    m_report.add({ fmt::format("Fiducial registration error ({} landmarks)", touched.size()), "", "", fre, "mm", 1.0 });
    m_report.add({ "Target registration error at the target", "", "", tre, "mm", 2.0 });
}

bool WorkbenchDemo::openOnNeedle(const std::string& id)
{
    GuiApplicationController& app = m_window.app();
    // On the stream alone: the registration moved the phantom into tracker space, and a visualization built with
    // the image would take the phantom's placement as the stream's registration and apply it a second time.
    Algorithm* visualization = app.createAlgorithm(id, DataList{ m_stream });
    if (!visualization)
        return false;
    Properties configuration;
    configuration.setParam("trackingTargetId", std::string("Needle"));
    configuration.setParam("autostart", true);
    visualization->configure(&configuration);
    app.openController(visualization);
    return true;
}

void WorkbenchDemo::showCalibrationWizard(const std::function<void()>& whileRecording)
{
    GuiApplicationController& app = m_window.app();
    auto& calibrations = m_stream->components().getOrAdd<InstrumentCalibrationDataComponent>();
    const auto before = calibrations.entry("Needle");
    const std::vector<Data*> shown = m_window.display().view3D()->visibleData().items();
    Algorithm* wizard = app.createAlgorithm("Navigation.TrackingToolCalibrationWizardAlgorithm", DataList{ m_stream });
    DefaultControllerDecorator* panel = wizard ? app.openController(wizard) : nullptr;
    auto* instruments = panel ? panel->findChild<TrackingInstrumentComboBox*>("instrumentsComboBox") : nullptr;
    const auto button = [panel](const char* name) { return panel->findChild<QPushButton*>(name); };
    if (!instruments || !button("nextButton") || !button("startStopButton") || !button("cancelButton"))
        return m_report.fail("the calibration wizard could not be opened on the stream");

    // The user picks the needle, goes to the pivoting step and pivots it (the simulated hand switches to
    // pivoting), then thinks better of it and cancels.
    instruments->selectInstrument("Needle");
    button("nextButton")->click();
    m_stream->scenario.setValue("pivot");
    button("startStopButton")->click();
    runEventsFor(2500);
    whileRecording();
    QEventLoop closing;
    SignalConnection removal = app.signalAlgorithmRemoved.connect(
      [&closing](Algorithm*) { QMetaObject::invokeMethod(&closing, &QEventLoop::quit, Qt::QueuedConnection); });
    button("cancelButton")->click();
    const bool closed = runLoopUntil(
      closing,
      [&]
      {
          const auto algorithms = app.algorithms();
          return std::find(algorithms.begin(), algorithms.end(), wizard) == algorithms.end();
      },
      5000);
    removal.disconnect();
    m_stream->scenario.setValue("insertion");
    if (!closed)
        return m_report.fail("the calibration wizard did not close on Cancel");
    const auto after = calibrations.entry("Needle");
    if (before.has_value() != after.has_value() || (before && after->calibration.matrix != before->calibration.matrix))
        m_report.fail("the calibration wizard's Cancel did not restore the needle's calibration");
    if (m_window.display().view3D()->visibleData().items() != shown)
        m_report.fail("the 3D view did not show its data again after the calibration wizard");
}

WorkbenchDemo::PlannedPath WorkbenchDemo::plannedPath() const
{
    const Eigen::Matrix4d trackerToWorld = m_phantomToTracker * truth().phantomToTracker.inverse();
    const Eigen::Vector3d entry = Nav::transformPoint(trackerToWorld, truth().pathEntry_Tracker);
    const Eigen::Vector3d target = Nav::transformPoint(trackerToWorld, truth().pathTarget_Tracker);
    return { entry, target, (target - entry).cross(Eigen::Vector3d::UnitZ()).normalized() };
}

void WorkbenchDemo::lookAlongsidePath()
{
    // From behind the entry and from the side towards which the path bends, so that the rings open up and the bend
    // and the needle's deviation show.
    const auto [entry, target, aside] = plannedPath();
    Eigen::AlignedBox3d box(entry);
    box.extend(target);
    const Eigen::Vector3d margin = Eigen::Vector3d::Constant(12.0);
    box.extend(box.max() + margin);
    box.extend(box.min() - margin);
    GlVolumeView& view = m_window.display().view3D()->volumeView();
    // The phantom's planes would cut through the rings: the 3D view shows the path and the tools, the slice views
    // the phantom.
    view.setVisibleData({ m_stream });
    const Eigen::Vector3d along = (target - entry).normalized();
    view.showBox(box, 0.5 * along + along.cross(aside), aside);
}

void WorkbenchDemo::planPath()
{
    // Planned on the image: the simulator's path in phantom coordinates, shown where the registration placed the
    // phantom, so it misses the true path by the registration's error. Two inner control points 2 and 1.5 mm off
    // the straight line bend it; the needle goes straight, and the guidance shows by how much it deviates.
    const auto [entry, target, aside] = plannedPath();
    auto path = std::make_unique<GlSpline>("Planned path");
    path->setPoints({ entry, entry + (target - entry) / 3.0 + 2.0 * aside,
                      entry + (target - entry) * 2.0 / 3.0 + 1.5 * aside, target });
    path->setColor({ 0.35, 0.75, 1.0 });
    AnnotationModel& annotations = m_window.app().annotationModel();
    annotations.addAnnotation(
      std::make_unique<InteractiveObject>(std::move(path), annotations.createDefaultManipulator()), m_phantom);
}

bool WorkbenchDemo::needleHalfWayIn() const
{
    if (!m_stream)
        return false;
    const TrackingSimulator simulator = m_stream->simulator();
    const double length = (truth().pathTarget_Tracker - truth().pathEntry_Tracker).norm();
    for (const TrackingInstrument& needle : m_stream->instruments())
        if (needle.ID() == "Needle")
        {
            const int64_t frame = m_stream->frameForTimestamp(needle.timestamp);
            const double depth = simulator.insertionDepth(frame);
            return frame >= 0 && depth >= 0.5 * length && simulator.insertionDepth(frame + 1) > depth;
        }
    return false;
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
int runWithScreenshots(MainWindow& window, WorkbenchDemo& demo, const DemoOptions& options, Clock::time_point start,
                       int written)
{
    const std::string& folder = *options.screenshots;
    const int kShots = 3;
    // An insertion cycle lasts 8 s: the needle is half way in again within that time after the last timed shot.
    const int kLongestRunMs = int(options.seconds * 1000) + 10000;
    bool timedShotsDone = false;
    bool navigationShotDone = false;
    const auto quitWhenDone = [&]
    {
        if (timedShotsDone && navigationShotDone)
            QApplication::quit();
    };
    for (int shot = 1; shot <= kShots; ++shot)
        QTimer::singleShot(int(options.seconds * 1000 * shot / kShots), &window,
                           [&, shot]
                           {
                               demo.checkLiveNeedle();
                               written += saveScreenshot(window, folder, QString("workbench-%1.png").arg(shot));
                               timedShotsDone = shot == kShots;
                               quitWhenDone();
                           });
    QTimer halfWay;
    QObject::connect(&halfWay, &QTimer::timeout, &window,
                     [&]
                     {
                         if (!demo.needleHalfWayIn())
                             return;
                         halfWay.stop();
                         written += saveScreenshot(window, folder, "navigation.png");
                         navigationShotDone = true;
                         quitWhenDone();
                     });
    halfWay.start(20);
    QTimer::singleShot(kLongestRunMs, &window, [] { QApplication::quit(); });
    QApplication::exec();
    const bool withinLimits = demo.printReport(std::chrono::duration<double>(Clock::now() - start).count());
    return withinLimits && written == kShots + 2 ? 0 : 1;
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
        QEventLoop painting;
        QObject::connect(view, &InteractiveView::painted, &painting, &QEventLoop::quit, Qt::QueuedConnection);
        if (!runLoopUntil(
              painting, [view] { return view->paintCount() > 0; }, 30000))
            return 1;
        startMs.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("FIGURE workbench_start_to_first_frame_ms_median %.1f ms\n", median(startMs));

    MainWindow window(false);
    window.setInteractive(false);
    WorkbenchDemo demo(window);
    demo.setUp();
    window.show();
    runEventsFor(1000);
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
    runEventsFor(seconds * 1000);
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
    if (options.screenshots)
    {
        // Shown from the start, so that the calibration wizard can be grabbed while it records.
        window.show();
        QDir().mkpath(QString::fromStdString(*options.screenshots));
        int written = 0;
        demo.setUp([&] { written += saveScreenshot(window, *options.screenshots, "wizard.png"); });
        return runWithScreenshots(window, demo, options, start, written);
    }
    const bool ready = demo.setUp();
    window.show();
    if (!ready)
        demo.printReport(0);
    return QApplication::exec();
}

} // namespace Kelvaros
