#include "DemoCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/Properties.h"
#include "lib/Algorithm.h"
#include "lib/SharedImageSet.h"
#include "lib/numerics/RegistrationQuality.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingStreamRecorder.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "CommandLine.h"
#include "DemoReport.h"
#include "DerivedStream.h"
#include "ExitCode.h"
#include "HostSession.h"
#include "RegistrationPairs.h"
#include "SampleCollector.h"
#include "SimulatorFeed.h"
#include "SmoothingStudy.h"

namespace Kelvaros::Nav
{

const char* const kDemoUsage =
  "  demo [--seed N]\n"
  "               a navigation session on the simulated tracker: smoothing, tool calibration,\n"
  "               registration to a phantom and needle guidance, with a report against ground truth\n";

namespace
{
using Clock = std::chrono::steady_clock;
using GroundTruth = TrackingSimulator::GroundTruth;

const int kSteps = 4;
const char* const kToolCalibration = "Navigation.ToolCalibration";
const char* const kPointRegistration = "Navigation.LiveTrackingPointRegistration";
/// A point is taken with a pointer tracked at least this well (the registration's rule); the tool visualization
/// shows a pose only above its own threshold.
const double kPointQuality = 0.8;
const double kShownQuality = 0.2;

void progress(int step, const std::string& text)
{
    std::fprintf(stderr, "[%d/%d] %s\n", step, kSteps, text.c_str());
}

TrackingSimulator::Settings settingsFor(TrackingSimulator::Scenario scenario, uint64_t seed)
{
    TrackingSimulator::Settings settings;
    settings.scenario = scenario;
    settings.seed = seed;
    return settings;
}

// ---- 1: smoothing, through the plug-in's stream-creation algorithm as the host offers it ----

void smoothingStep(HostSession& session, uint64_t seed, Report& report)
{
    progress(1, "Smoothing: the simulated tracker (needle insertion) through the plug-in's smoothed stream");
    auto created = std::make_unique<SimulatedTrackingStream>("Simulated tracker");
    created->scenario = "insertion";
    created->seed = static_cast<int>(seed);
    created->freeRunning = true;
    auto* simulated = static_cast<SimulatedTrackingStream*>(session.app().addData(std::move(created)));
    std::string error;
    TrackingStream* smoothed = createDerivedStream(session, *simulated, std::nullopt, std::nullopt, &error);
    if (!smoothed)
        return report.fail("smoothing: " + error);

    const int64_t frames = 1800; // 30 s of the simulated clock
    SampleCollector raw(*simulated);
    SampleCollector filtered(*smoothed);
    if (!simulated->open() || !simulated->start() || !simulated->waitUntilDelivered(frames, std::chrono::seconds(30)))
        return report.fail("smoothing: the simulated tracker did not deliver");
    simulated->stop();
    smoothed->stop();

    const auto figures = studySmoothing(simulated->simulator(), "Needle", raw.samples(), filtered.samples());
    if (!figures)
        return report.fail("smoothing: too few tracked samples to compare");
    report.add({ "Needle marker error, raw (RMS)", "", "", figures->rawErrorRms, "mm", 1.0 });
    report.add({ "Needle marker error, smoothed (RMS)", "", "", figures->smoothedErrorRms, "mm", 2.0 });
    const std::string lag = figures->lagMs ? fmt::format("{:.0f} ms", *figures->lagMs)
                                           : fmt::format("over {} ms", SmoothingFigures::kLongestLagMs);
    report.note(fmt::format("Smoothing (Kalman defaults, 60 Hz, {} samples): jitter {:.3f} -> {:.3f} mm "
                            "(reduction {:.2f}x), lag {}",
                            figures->samples, figures->rawJitter, figures->smoothedJitter,
                            figures->rawJitter / std::max(figures->smoothedJitter, 1e-9), lag));
}

// ---- 2: tool calibration ----

/// Records one instrument of the program-fed stream while a scenario of the simulator plays through it, as a user
/// records a tool before calibrating it; null when nothing of it was tracked.
std::unique_ptr<Data> recordTool(ManualTrackingStream& stream, const std::string& tool,
                                 TrackingSimulator::Scenario scenario, uint64_t seed, int64_t frames)
{
    TrackingStreamRecorder recorder(&stream);
    recorder.setRecordAllInstruments(false);
    recorder.setRecordingInstrument(tool);
    SimulatorFeed feed(settingsFor(scenario, seed), stream);
    recorder.start();
    feed.play(0, frames);
    recorder.stop();
    std::vector<std::unique_ptr<Data>> recorded = recorder.takeOutput().release();
    return recorded.empty() ? nullptr : std::move(recorded.front());
}

/// Calibrates one tool through the plug-in's tool calibration from a pivoting recording and, for a needle, a
/// spinning one, and gives the result to the stream with its provenance, as the calibration wizard stores it.
std::optional<Eigen::Matrix4d> calibrateTool(ApplicationController& app, ManualTrackingStream& stream,
                                             const std::string& tool, bool withAxis, uint64_t seed, Report& report)
{
    auto* pivot = static_cast<TrackingSequence*>(
      app.addData(recordTool(stream, tool, TrackingSimulator::Scenario::Pivot, seed, 600)));
    Data* spin =
      withAxis ? app.addData(recordTool(stream, tool, TrackingSimulator::Scenario::Spin, seed + 1, 300)) : nullptr;
    Algorithm* calibration =
      pivot && (spin || !withAxis)
        ? app.createAlgorithm(kToolCalibration, spin ? DataList{ pivot, spin } : DataList{ pivot })
        : nullptr;
    const int status = calibration ? app.runAlgorithm(calibration) : Algorithm::Error;
    const std::string message = calibration ? calibration->statusMessage() : std::string("nothing was recorded");
    std::optional<InstrumentCalibrationDataComponent::Entry> entry;
    if (const auto* computed = pivot ? pivot->components().get<InstrumentCalibrationDataComponent>() : nullptr)
        entry = computed->entry(tool);
    for (Data* recording : { static_cast<Data*>(pivot), spin })
        if (recording)
            app.removeData(recording);
    if (status != Algorithm::Success || !entry)
    {
        report.fail(fmt::format("{}: calibration failed with status {}: {}", tool, status, message));
        return std::nullopt;
    }
    stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(tool, entry->calibration,
                                                                                      entry->provenance);
    return entry->calibration.matrix;
}

void calibrationStep(ApplicationController& app, ManualTrackingStream& stream, uint64_t seed, Report& report)
{
    progress(2, "Calibration: the pointer is recorded pivoting and the needle pivoting and spinning; the plug-in's "
                "tool calibration computes both");
    const GroundTruth& truth = TrackingSimulator::groundTruth();
    for (const char* id : { "Pointer", "Needle" })
    {
        const bool needle = std::string(id) == "Needle";
        const auto calibration = calibrateTool(app, stream, id, needle, seed, report);
        const TrackingSimulator::Tool* tool = truth.tool(id);
        if (!calibration || !tool)
            continue;
        const Eigen::Vector3d tip = calibration->block<3, 1>(0, 3);
        report.add({ fmt::format("{} tip offset", id), vec(tip), vec(tool->tipOffset_Tool),
                     (tip - tool->tipOffset_Tool).norm(), "mm", 1.0 });
        if (needle)
        {
            const Eigen::Vector3d axis = calibration->block<3, 1>(0, 2);
            const Eigen::Vector3d towardsGrip = -tool->axis_Tool;
            report.add({ "Needle axis, tip to grip", vec(axis, 3), vec(towardsGrip, 3), angleDegrees(axis, towardsGrip),
                         "deg", 2.0 });
        }
    }
}

// ---- 3: registration ----

/// Tracker → image truth: the phantom is the image.
Eigen::Matrix4d trueImageToTracker()
{
    return TrackingSimulator::groundTruth().phantomToTracker;
}

struct CalibratedPose
{
    Eigen::Matrix4d matrix; // calibrated tool → world
    double quality = 0;
};

/// A tool's calibrated pose in a frame as the stream places it, when the tool was tracked.
std::optional<CalibratedPose> calibratedPose(const TrackingSimulator::Frame& frame, const TrackingStream& stream,
                                             const std::string& tool)
{
    for (const TrackingInstrument& instrument : frame.instruments)
        if (instrument.ID() == tool && instrument.tracked)
            return CalibratedPose{ stream.matrix() * instrument.matrix *
                                     InstrumentCalibrationDataComponent::matrixOf(stream, tool),
                                   instrument.quality };
    return std::nullopt;
}

/// The calibrated pointer's tip on each landmark in turn, taken once it has rested there for a moment (12 frames,
/// 0.2 s) and is tracked well enough for a point.
std::vector<Eigen::Vector3d> touchLandmarks(ManualTrackingStream& stream, uint64_t seed)
{
    SimulatorFeed touching(settingsFor(TrackingSimulator::Scenario::Landmarks, seed), stream);
    const auto& simulator = touching.simulator();
    const size_t landmarks = TrackingSimulator::groundTruth().landmarks_Phantom.size();
    std::vector<Eigen::Vector3d> touched;
    int resting = 0;
    touching.play(0, 20000,
                  [&](int64_t k)
                  {
                      resting = simulator.touchedLandmark(k) == int(touched.size()) ? resting + 1 : 0;
                      const auto pose =
                        resting >= 12 ? calibratedPose(simulator.frame(k), stream, "Pointer") : std::nullopt;
                      if (pose && pose->quality >= kPointQuality)
                      {
                          touched.push_back(pose->matrix.block<3, 1>(0, 3));
                          resting = 0;
                      }
                      return touched.size() < landmarks;
                  });
    return touched;
}

std::optional<Eigen::Matrix4d> registrationStep(ApplicationController& app, ManualTrackingStream& stream,
                                                SharedImageSet& phantom, uint64_t seed, Report& report)
{
    progress(3, "Registration: the calibrated pointer touches the phantom's landmarks");
    const GroundTruth& truth = TrackingSimulator::groundTruth();
    const std::vector<Eigen::Vector3d> tracked = touchLandmarks(stream, seed);
    const std::vector<Eigen::Vector3d> image(truth.landmarks_Phantom.begin(),
                                             truth.landmarks_Phantom.begin() + long(tracked.size()));
    Algorithm* registration = app.createAlgorithm(kPointRegistration, DataList{ &stream, &phantom });
    if (registration)
    {
        const Properties pairs = registrationPairs(tracked, image, "Pointer");
        registration->configure(&pairs);
    }
    const int status = registration ? app.runAlgorithm(registration) : Algorithm::Error;
    if (registration)
        app.closeAlgorithm(registration);
    if (status != Algorithm::Success)
    {
        report.fail(fmt::format("registration failed with status {} after {} of {} landmarks", status, tracked.size(),
                                truth.landmarks_Phantom.size()));
        return std::nullopt;
    }
    const Eigen::Matrix4d imageToTracker = phantom.matrix();
    const Eigen::Vector3d target = transformPoint(trueImageToTracker().inverse(), truth.pathTarget_Tracker);
    const double tre = (transformPoint(imageToTracker, target) - transformPoint(trueImageToTracker(), target)).norm();
    // Judged without an expected localisation error: the prediction rests on the FLE the fit itself shows.
    const auto quality = RegistrationQuality::evaluate(tracked, image, std::nullopt, target);
    report.add({ fmt::format("Fiducial registration error ({} landmarks)", tracked.size()), "", "",
                 quality ? quality->fre : -1.0, "mm", 1.0 });
    report.add({ "Target registration error at the target",
                 fmt::format("predicted {:.3f} mm", quality ? quality->treAtTarget : -1.0), "", tre, "mm", 2.0 });
    return imageToTracker;
}

// ---- 4: guidance ----

/// What needle guidance shows of a tip and its forward axis against a straight path from `entry` to `target`.
struct GuidanceFigures
{
    double depthToTargetMm = 0;
    double lateralMm = 0;
    double angleDegrees = 0;
};

GuidanceFigures guidanceFigures(const Eigen::Vector3d& tip, const Eigen::Vector3d& forward,
                                const Eigen::Vector3d& entry, const Eigen::Vector3d& target)
{
    const Eigen::Vector3d u = (target - entry).normalized();
    const Eigen::Vector3d w = target - tip;
    const double depth = w.dot(u);
    return { depth, (w - depth * u).norm(), angleDegrees(forward, u) };
}

/// The figures of the needle's calibrated, registered pose against the planned path, each against the same figure
/// of the true needle tip and axis for the true path.
void reportGuidanceFigures(const GuidanceFigures& shown, const TrackingSimulator& simulator, int64_t frame,
                           double depthMilestone, Report& report)
{
    const GroundTruth& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator::Tool& needle = *truth.tool("Needle");
    const Eigen::Matrix4d truePose = simulator.truePose("Needle", frame);
    const GuidanceFigures real = guidanceFigures(transformPoint(truePose, needle.tipOffset_Tool),
                                                 truePose.topLeftCorner<3, 3>() * needle.axis_Tool,
                                                 truth.pathEntry_Tracker, truth.pathTarget_Tracker);
    const std::string at = fmt::format("at depth {:.0f} mm", depthMilestone);
    report.add({ "To target " + at, fmt::format("{:.2f} mm", shown.depthToTargetMm),
                 fmt::format("{:.2f} mm", real.depthToTargetMm), std::abs(shown.depthToTargetMm - real.depthToTargetMm),
                 "mm", 2.0 });
    report.add({ "Off path " + at, fmt::format("{:.2f} mm", shown.lateralMm), fmt::format("{:.2f} mm", real.lateralMm),
                 std::abs(shown.lateralMm - real.lateralMm), "mm", 1.5 });
    report.add({ "Angle to path " + at, fmt::format("{:.2f} deg", shown.angleDegrees),
                 fmt::format("{:.2f} deg", real.angleDegrees), std::abs(shown.angleDegrees - real.angleDegrees), "deg",
                 2.0 });
}

void guidanceStep(ManualTrackingStream& stream, const Eigen::Matrix4d& imageToTracker, uint64_t seed, Report& report)
{
    progress(4,
             "Guidance: the needle is inserted along the planned path; its calibrated tip and axis against the path");
    const GroundTruth& truth = TrackingSimulator::groundTruth();
    // The path is planned in the image; the registration brings it into tracker space.
    const Eigen::Matrix4d toImage = trueImageToTracker().inverse();
    const Eigen::Vector3d target = transformPoint(imageToTracker, transformPoint(toImage, truth.pathTarget_Tracker));
    const Eigen::Vector3d entry = transformPoint(imageToTracker, transformPoint(toImage, truth.pathEntry_Tracker));

    SimulatorFeed inserting(settingsFor(TrackingSimulator::Scenario::Insertion, seed), stream);
    const auto& simulator = inserting.simulator();
    const double pathLength = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).norm();
    const double milestones[] = { 0.0, 0.5 * pathLength, pathLength };
    size_t next = 0;
    inserting.play(
      0, 20000,
      [&](int64_t k)
      {
          const auto pose = calibratedPose(simulator.frame(k), stream, "Needle");
          if (!pose || pose->quality <= kShownQuality || simulator.insertionDepth(k) < milestones[next] - 1e-9)
              return true;
          const GuidanceFigures shown =
            guidanceFigures(pose->matrix.block<3, 1>(0, 3), -pose->matrix.block<3, 1>(0, 2), entry, target);
          reportGuidanceFigures(shown, simulator, k, milestones[next], report);
          return ++next < std::size(milestones);
      });
    if (next < std::size(milestones))
        report.fail("guidance: the needle never reached the target");
}
} // namespace

int runDemo(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "seed" }, {}, 0, 0 });
    std::string error = line.error();
    const auto seed = error.empty() ? line.integer("seed", 1, &error) : std::nullopt;
    if (!error.empty() || *seed < 0)
    {
        std::fprintf(stderr, "kelvaros-nav demo: %s\n", error.empty() ? "--seed must not be negative" : error.c_str());
        return ExitUsage;
    }
    const auto start = Clock::now();
    HostSession session;
    if (!session.loadPlugins())
        return ExitFailure;
    ApplicationController& app = session.app();
    Report report;
    smoothingStep(session, static_cast<uint64_t>(*seed), report);

    // Owned by the host, so that they outlive every algorithm created on them.
    auto& stream = static_cast<ManualTrackingStream&>(
      *app.addData(std::make_unique<ManualTrackingStream>("Simulated tracker (program-fed)")));
    auto& phantom = static_cast<SharedImageSet&>(*app.addData(
      std::make_unique<SharedImageSet>("Phantom", Eigen::Vector3i(160, 160, 160), Eigen::Vector3d(1, 1, 1))));
    if (stream.open() && stream.start())
    {
        calibrationStep(app, stream, static_cast<uint64_t>(*seed), report);
        if (const auto registration = registrationStep(app, stream, phantom, static_cast<uint64_t>(*seed), report))
            guidanceStep(stream, *registration, static_cast<uint64_t>(*seed), report);
        stream.stop();
    }
    else
        report.fail("the program-fed stream did not start");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report.print(seconds) ? ExitSuccess : ExitFailure;
}

} // namespace Kelvaros::Nav
