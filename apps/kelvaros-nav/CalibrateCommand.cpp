#include "CalibrateCommand.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include <Eigen/Geometry>

#include "core/Properties.h"
#include "lib/Algorithm.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingSequence.h"

#include "CommandLine.h"
#include "ExitCode.h"
#include "HostSession.h"
#include "MatrixText.h"
#include "OutputPath.h"
#include "ToolRecording.h"

namespace Kelvaros::Nav
{

const char* const kCalibrateUsage =
  "  calibrate --pivot FILE [--rotation FILE] [--tool NAME] [--out FILE]\n"
  "               tool calibration from sequence files: the pivot recording gives the tip, the\n"
  "               rotation recording (the tool spun about its needle, half a turn or more) the\n"
  "               axis, refused with the reason when it was not a steady turn about one axis;\n"
  "               --tool picks the instrument when a file holds several; --out writes the result\n"
  "               as properties XML\n";

namespace
{
const char* const kAlgorithmId = "Navigation.ToolCalibration";
using Provenance = InstrumentCalibrationDataComponent::Provenance;

/// Where the calibrated tip lies in tracker space for each pose, and how far those points scatter about their
/// mean (the pivot point): the pivot residual a user judges a calibration by.
struct PivotSpread
{
    Eigen::Vector3d pivotPoint = Eigen::Vector3d::Zero();
    double rms = 0;
    double max = 0;
};

PivotSpread pivotSpread(const TrackingSequence& recording, const Eigen::Vector3d& tip)
{
    std::vector<Eigen::Vector3d> tips;
    for (int i = 0; i < recording.size(); ++i)
        tips.push_back((recording.matrix(i) * tip.homogeneous()).head<3>());
    PivotSpread spread;
    for (const auto& p : tips)
        spread.pivotPoint += p / double(tips.size());
    for (const auto& p : tips)
    {
        const double d = (p - spread.pivotPoint).norm();
        spread.rms += d * d / double(tips.size());
        spread.max = std::max(spread.max, d);
    }
    spread.rms = std::sqrt(spread.rms);
    return spread;
}

/// How the calibration stored in the recording was obtained.
std::optional<Provenance> provenanceOf(const TrackingSequence& recording)
{
    const auto* calibrations = recording.components().get<InstrumentCalibrationDataComponent>();
    return calibrations ? calibrations->provenance(recording.trackerID().ID()) : std::nullopt;
}

bool writeResult(const std::string& path, const TrackingSequence& pivot, const Eigen::Matrix4d& calibration,
                 const PivotSpread& spread, bool withAxis)
{
    Properties result;
    result.setParam("tool", pivot.trackerID().ID());
    result.setParam("calibration", calibration);
    result.setParam("tipOffset", Eigen::Vector3d(calibration.block<3, 1>(0, 3)));
    result.setParam("pivotPoint", spread.pivotPoint);
    result.setParam("pivotResidualRms", spread.rms);
    result.setParam("pivotResidualMax", spread.max);
    if (withAxis)
    {
        result.setParam("needleAxis", Eigen::Vector3d(calibration.block<3, 1>(0, 2)));
        if (const std::optional<Provenance> provenance = provenanceOf(pivot))
        {
            result.setParam("needleAxisPredictedErrorDegrees", provenance->predictedAxisErrorDegrees);
            result.setParam("needleAxisTiltRmsDegrees", provenance->axisTiltRmsDegrees);
            result.setParam("needleAxisSpinDegrees", provenance->axisSpinDegrees);
        }
    }
    return result.saveToXmlFile(path);
}
} // namespace

int runCalibrate(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "pivot", "rotation", "tool", "out" }, {}, 0, 0 });
    std::string error = line.error();
    if (error.empty() && !line.value("pivot"))
        error = "calibrate needs --pivot FILE";
    if (error.empty())
        (void)refuseOwnInput(line.value("out"), { line.value("pivot"), line.value("rotation") }, &error);
    if (!error.empty())
    {
        std::fprintf(stderr, "kelvaros-nav calibrate: %s\n", error.c_str());
        return ExitUsage;
    }
    HostSession session;
    if (!session.loadPlugins())
        return ExitFailure;

    auto pivotRecording = readToolRecording(*line.value("pivot"), line.value("tool"), &error);
    std::unique_ptr<TrackingSequence> rotationRecording;
    if (pivotRecording && line.value("rotation"))
        rotationRecording = readToolRecording(*line.value("rotation"), pivotRecording->trackerID().ID(), &error);
    if (!pivotRecording || (line.value("rotation") && !rotationRecording))
    {
        std::fprintf(stderr, "kelvaros-nav calibrate: %s\n", error.c_str());
        return ExitBadInput;
    }
    auto* pivot = static_cast<TrackingSequence*>(session.app().addData(std::move(pivotRecording)));
    DataList data{ pivot };
    if (rotationRecording)
        data.add(session.app().addData(std::move(rotationRecording)));

    Algorithm* algorithm = session.app().createAlgorithm(kAlgorithmId, data);
    if (!algorithm || session.app().runAlgorithm(algorithm) != Algorithm::Success)
    {
        // The calibration's own sentence says what went wrong and what to do; the log above has the details.
        const std::string reason = algorithm ? algorithm->statusMessage() : std::string();
        std::fprintf(stderr, "kelvaros-nav calibrate: the calibration failed: %s\n",
                     reason.empty() ? "see the message above" : reason.c_str());
        return ExitFailure;
    }

    const Eigen::Matrix4d calibration = pivot->calibration();
    const Eigen::Vector3d tip = calibration.block<3, 1>(0, 3);
    const PivotSpread spread = pivotSpread(*pivot, tip);
    const bool withAxis = data.size() == 2;
    std::printf("Calibration of '%s' from %d pivot poses%s\n", pivot->trackerID().ID().c_str(), pivot->size(),
                withAxis ? " and a rotation recording" : "");
    std::printf("Calibration (calibrated tool frame to tracked frame):\n%s", matrixText(calibration).c_str());
    std::printf("Tip offset: %s mm (length %.3f mm)\n", vectorText(tip).c_str(), tip.norm());
    if (withAxis)
    {
        std::printf("Needle axis: %s\n", vectorText(calibration.block<3, 1>(0, 2), 5).c_str());
        const std::optional<Provenance> provenance = provenanceOf(*pivot);
        if (provenance && provenance->predictedAxisErrorDegrees && provenance->axisTiltRmsDegrees &&
            provenance->axisSpinDegrees)
            std::printf("Needle axis predicted error: %.3f deg (the rotation tilted it by %.2f deg RMS over a %.0f deg "
                        "turn)\n",
                        *provenance->predictedAxisErrorDegrees, *provenance->axisTiltRmsDegrees,
                        *provenance->axisSpinDegrees);
    }
    std::printf("Pivot point: %s mm\n", vectorText(spread.pivotPoint).c_str());
    std::printf("Pivot residuals: RMS %.3f mm, max %.3f mm\n", spread.rms, spread.max);

    if (const auto out = line.value("out"); out && !writeResult(*out, *pivot, calibration, spread, withAxis))
    {
        std::fprintf(stderr, "kelvaros-nav calibrate: cannot write %s\n", out->c_str());
        return ExitOutputError;
    }
    return ExitSuccess;
}

} // namespace Kelvaros::Nav
