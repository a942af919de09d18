#include "DemoCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "lib/PluginLoader.h"
#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingSequence.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "CommandLine.h"
#include "DemoReport.h"
#include "DerivedStream.h"
#include "ExitCode.h"
#include "HostSession.h"
#include "NavigationPlugin.h"
#include "SampleCollector.h"
#include "SimulatorFeed.h"
#include "SmoothingStudy.h"
#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"
#include "registration/LiveTrackingPointRegistrationAlgorithm.h"
#include "registration/PointsOnTrackingStream.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/InsertionReadout.h"
#include "visualization/ToolFigurePremises.h"
#include "visualization/ToolVisualizationAlgorithm.h"

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

// ---- 2: calibration wizard ----

std::unique_ptr<TrackingSequence> record(TrackingToolCalibrationWizardAlgorithm& wizard, SimulatorFeed& feed,
                                         int64_t frames)
{
    wizard.startRecording();
    feed.play(0, frames);
    return wizard.stopRecording();
}

std::optional<Eigen::Matrix4d> calibrationOf(const TrackingStream& stream, const std::string& tool)
{
    const auto* component = stream.components().get<InstrumentCalibrationDataComponent>();
    const auto calibration = component ? component->calibration(tool) : std::nullopt;
    if (!calibration)
        return std::nullopt;
    return calibration->matrix;
}

/// Calibrates one tool with the wizard from a pivoting recording and, for a needle, a spinning one.
std::optional<Eigen::Matrix4d> calibrateTool(ManualTrackingStream& stream, const std::string& tool, bool withAxis,
                                             uint64_t seed, Report& report)
{
    TrackingToolCalibrationWizardAlgorithm wizard(&stream);
    wizard.setInstrument(tool);
    SimulatorFeed pivoting(settingsFor(TrackingSimulator::Scenario::Pivot, seed), stream);
    if (!wizard.setPivoting(record(wizard, pivoting, 600)))
        report.fail(tool + ": the wizard refused the pivoting recording");
    if (withAxis)
    {
        SimulatorFeed spinning(settingsFor(TrackingSimulator::Scenario::Spin, seed + 1), stream);
        if (!wizard.setRotation(record(wizard, spinning, 300)))
            report.fail(tool + ": the wizard refused the rotation recording");
    }
    wizard.compute();
    if (wizard.status() != 0)
    {
        report.fail(fmt::format("{}: calibration failed with status {}", tool, wizard.status()));
        return std::nullopt;
    }
    wizard.accept();
    return calibrationOf(stream, tool);
}

void calibrationStep(ManualTrackingStream& stream, uint64_t seed, Report& report)
{
    progress(2, "Calibration: the wizard records the pointer pivoting and the needle pivoting and spinning");
    const GroundTruth& truth = TrackingSimulator::groundTruth();
    for (const char* id : { "Pointer", "Needle" })
    {
        const bool needle = std::string(id) == "Needle";
        const auto calibration = calibrateTool(stream, id, needle, seed, report);
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

std::optional<Eigen::Matrix4d> registrationStep(ManualTrackingStream& stream, SharedImageSet& phantom, uint64_t seed,
                                                Report& report)
{
    progress(3, "Registration: the calibrated pointer touches the phantom's landmarks");
    const GroundTruth& truth = TrackingSimulator::groundTruth();
    LiveTrackingPointRegistrationAlgorithm registration(stream, phantom);
    registration.pointsOnTrackingStream().setTrackerId("Pointer");

    // The user takes a point once the pointer has rested on a landmark for a moment (here 12 frames, 0.2 s).
    SimulatorFeed touching(settingsFor(TrackingSimulator::Scenario::Landmarks, seed), stream);
    const auto& simulator = touching.simulator();
    const int landmarks = static_cast<int>(truth.landmarks_Phantom.size());
    int taken = 0;
    int resting = 0;
    touching.play(0, 20000,
                  [&](int64_t k)
                  {
                      const int touched = simulator.touchedLandmark(k);
                      resting = touched == taken ? resting + 1 : 0;
                      Eigen::Vector3d point;
                      if (resting >= 12 && registration.addLiveTrackingPoint(point))
                      {
                          registration.pointsOnImage().addImagePoint(truth.landmarks_Phantom[taken], 0);
                          ++taken;
                          resting = 0;
                      }
                      return taken < landmarks;
                  });
    registration.compute();
    if (registration.status() != 0)
    {
        report.fail(fmt::format("registration failed with status {} after {} of {} landmarks", registration.status(),
                                taken, landmarks));
        return std::nullopt;
    }
    const Eigen::Matrix4d imageToTracker = phantom.matrix();
    const Eigen::Vector3d target = transformPoint(trueImageToTracker().inverse(), truth.pathTarget_Tracker);
    const double tre = (transformPoint(imageToTracker, target) - transformPoint(trueImageToTracker(), target)).norm();
    const double fre = registration.registrationError().value_or(-1);
    report.add({ fmt::format("Fiducial registration error ({} landmarks)", taken), "", "", fre, "mm", 1.0 });
    report.add({ "Target registration error at the target",
                 fmt::format("predicted {:.3f} mm", registration.predictedTre(target).value_or(-1)), "", tre, "mm",
                 2.0 });
    return imageToTracker;
}

// ---- 4: guidance ----

/// The figures of the bullseye's read-out for the needle as the plug-in's tool visualization knows it, each against
/// the same figure of the true needle tip and axis for the true path.
void reportGuidanceFigures(const InsertionReadout& shown, const TrackingSimulator& simulator, int64_t frame,
                           double depthMilestone, Report& report)
{
    const GroundTruth& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator::Tool& needle = *truth.tool("Needle");
    const Eigen::Matrix4d truePose = simulator.truePose("Needle", frame);
    const Eigen::Vector3d u = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).normalized();
    const Eigen::Vector3d w = truth.pathTarget_Tracker - transformPoint(truePose, needle.tipOffset_Tool);
    const double trueDepth = w.dot(u);
    const double trueLateral = (w - trueDepth * u).norm();
    const double trueAngle = angleDegrees(truePose.topLeftCorner<3, 3>() * needle.axis_Tool, u);
    const std::string at = fmt::format("at depth {:.0f} mm", depthMilestone);
    report.add({ "To target " + at, fmt::format("{:.2f} mm", shown.depthToTargetMm),
                 fmt::format("{:.2f} mm", trueDepth), std::abs(shown.depthToTargetMm - trueDepth), "mm", 2.0 });
    report.add({ "Off path " + at, fmt::format("{:.2f} mm", shown.lateralMm), fmt::format("{:.2f} mm", trueLateral),
                 std::abs(shown.lateralMm - trueLateral), "mm", 1.5 });
    if (shown.angleDegrees)
        report.add({ "Angle to path " + at, fmt::format("{:.2f} deg", *shown.angleDegrees),
                     fmt::format("{:.2f} deg", trueAngle), std::abs(*shown.angleDegrees - trueAngle), "deg", 2.0 });
    else
        report.fail("guidance: the needle's axis is not calibrated, the read-out shows no angle");
}

void guidanceStep(ManualTrackingStream& stream, SharedImageSet& phantom, const Eigen::Matrix4d& imageToTracker,
                  uint64_t seed, Report& report)
{
    progress(4, "Guidance: the needle is inserted along the planned path with the bullseye view's figures");
    const GroundTruth& truth = TrackingSimulator::groundTruth();
    BullseyeVisualizationAlgorithm bullseye(&stream, &phantom);
    bullseye.toolVisAlg().p_trackingTargetId = std::string("Needle");
    bullseye.toolVisAlg().setRunning(true);
    // The path is planned in the image; the registration brings it into tracker space.
    const Eigen::Matrix4d toImage = trueImageToTracker().inverse();
    const Eigen::Vector3d target = transformPoint(imageToTracker, transformPoint(toImage, truth.pathTarget_Tracker));
    const Eigen::Vector3d entry = transformPoint(imageToTracker, transformPoint(toImage, truth.pathEntry_Tracker));
    bullseye.setLinePoints(target, entry);
    const auto region = planRegion(&phantom, { target, entry });

    SimulatorFeed inserting(settingsFor(TrackingSimulator::Scenario::Insertion, seed), stream);
    const auto& simulator = inserting.simulator();
    const double pathLength = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).norm();
    const double milestones[] = { 0.0, 0.5 * pathLength, pathLength };
    size_t next = 0;
    inserting.play(
      0, 20000,
      [&](int64_t k)
      {
          const ToolSnapshot needle = bullseye.toolVisAlg().snapshot();
          if (!needle.toolMatrix || simulator.insertionDepth(k) < milestones[next] - 1e-9)
              return true;
          const InsertionReadout shown = computeInsertionReadout(needle, entry, target, region);
          if (shown.state != InsertionReadout::State::Valid)
          {
              report.fail("guidance: the read-out shows " + figureStateText({ shown.state, shown.outsideMm }));
              return false;
          }
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
    // The demo drives the plug-in's own classes, linked into this program; the host adopts that same code instead of
    // loading the module, so the process holds one copy of the plug-in.
    if (!session.app().pluginLoader().addLinked(std::make_unique<NavigationPlugin>(), NavigationPlugin::id()))
        return ExitFailure;
    Report report;
    smoothingStep(session, static_cast<uint64_t>(*seed), report);

    ManualTrackingStream stream("Simulated tracker (program-fed)");
    SharedImageSet phantom("Phantom", Eigen::Vector3i(160, 160, 160), Eigen::Vector3d(1, 1, 1));
    if (stream.open() && stream.start())
    {
        calibrationStep(stream, static_cast<uint64_t>(*seed), report);
        if (const auto registration = registrationStep(stream, phantom, static_cast<uint64_t>(*seed), report))
            guidanceStep(stream, phantom, *registration, static_cast<uint64_t>(*seed), report);
        stream.stop();
    }
    else
        report.fail("the program-fed stream did not start");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report.print(seconds) ? ExitSuccess : ExitFailure;
}

} // namespace Kelvaros::Nav
