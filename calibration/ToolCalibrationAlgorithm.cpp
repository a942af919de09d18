#include "calibration/ToolCalibrationAlgorithm.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

#include <QDateTime>

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "core/PropertyValue.h"
#include "lib/DataList.h"
#include "lib/numerics/Geometry.h"
#include "lib/numerics/Math.h"
#include "lib/numerics/Pose.h"
#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingSequence.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "ToolCalibrationAlgorithm";
// A needle-axis sign is taken from the tip offset only when the tip lies at least this far along the axis (mm).
constexpr double kLeastTipAlongAxisMm = 1.0;
// Least RMS tilt (radians, about 2 degrees) of a pivoting recording in its least-tilted direction. Turned about
// one axis only, a tool leaves its tip undetermined along that axis; marker noise then tilts each pose by a few
// tenths of a degree, enough for the fit to return some tip on the axis, with residuals that look excellent.
constexpr double kLeastPivotTilt = 0.035;
constexpr double kDegreesPerRadian = 180.0 / 3.14159265358979323846;

/// RMS tilt of the kept poses about their mean orientation in the least tilted direction (radians): with R̄ the mean
/// rotation, the tip's information matrix is N (I − R̄ᵀR̄), whose smallest eigenvalue is the mean squared tilt about
/// the axes that move the tip along its weakest direction. Zero for rotations about one axis.
double weakestTilt(const std::vector<Eigen::Matrix4d>& poses, const std::vector<size_t>& rejected)
{
    Eigen::Matrix3d mean = Eigen::Matrix3d::Zero();
    size_t kept = 0;
    for (size_t i = 0; i < poses.size(); ++i)
        if (!std::binary_search(rejected.begin(), rejected.end(), i))
        {
            mean += poses[i].topLeftCorner<3, 3>();
            ++kept;
        }
    if (kept == 0)
        return 0.0;
    mean /= double(kept);
    const Eigen::Matrix3d information = Eigen::Matrix3d::Identity() - mean.transpose() * mean;
    const double smallest = Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(information).eigenvalues()(0);
    return std::sqrt(std::max(smallest, 0.0));
}

/// Eigen's default stream format: matrices one row per line, a transposed vector as one row.
template<typename Derived>
std::string toText(const Eigen::DenseBase<Derived>& value)
{
    std::ostringstream stream;
    stream << value;
    return stream.str();
}

std::string toText(double value)
{
    std::ostringstream stream;
    stream << value;
    return stream.str();
}

/// Logs at Info level, building the text only when the log takes it: streaming matrices costs more than the
/// calibration's own arithmetic, and Info is off in most sessions.
template<typename MakeText>
void logInfo(MakeText makeText)
{
    if (Log::isAccepted(Log::Info, kCategory))
        Log::log(Log::Info, kCategory, makeText());
}

/// Local date and time with its offset from UTC, ISO 8601 ("2026-12-07T06:12:31+01:00"; Qt would write "Z" for
/// UTC itself, which hides that the offset was known).
std::string nowIso8601()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int offsetMinutes = now.offsetFromUtc() / 60;
    const QChar sign = offsetMinutes < 0 ? '-' : '+';
    return QString("%1%2%3:%4")
      .arg(now.toString("yyyy-MM-ddTHH:mm:ss"))
      .arg(sign)
      .arg(std::abs(offsetMinutes) / 60, 2, 10, QChar('0'))
      .arg(std::abs(offsetMinutes) % 60, 2, 10, QChar('0'))
      .toStdString();
}

/// Largest angle in degrees between two of the directions. Long recordings are thinned to about kMaxRangePoses
/// evenly spread directions: the pairwise search stays cheap and misses a fraction of a degree at most.
double largestAngleDegrees(const std::vector<Eigen::Vector3d>& directions)
{
    constexpr size_t kMaxRangePoses = 2000;
    const size_t stride = directions.size() / kMaxRangePoses + 1;
    double smallestCosine = 1.0;
    for (size_t i = 0; i < directions.size(); i += stride)
        for (size_t j = i + stride; j < directions.size(); j += stride)
            smallestCosine = std::min(smallestCosine, directions[i].dot(directions[j]));
    return std::acos(std::max(-1.0, smallestCosine)) * kDegreesPerRadian;
}
} // namespace

ToolCalibrationAlgorithm::ToolCalibrationAlgorithm(const std::vector<TrackingSequence*>& sequences)
  : m_sequences(sequences), m_calibrationType(CalibrationType(2))
{
    if (m_sequences.size() == 1)
        m_calibrationType = Pivot3d;
    configureDefaults();
}

ToolCalibrationAlgorithm::ToolCalibrationAlgorithm(TrackingSequence* pivotSequence, TrackingSequence* rotationSequence)
  : m_calibrationType(CalibrationType(2))
{
    if (pivotSequence)
        m_sequences.push_back(pivotSequence);
    if (rotationSequence)
        m_sequences.push_back(rotationSequence);
    if (pivotSequence && !rotationSequence)
        m_calibrationType = Pivot3d;
    else if (!pivotSequence && rotationSequence)
        m_calibrationType = NeedleDir;
}

ToolCalibrationAlgorithm::~ToolCalibrationAlgorithm() = default;

bool ToolCalibrationAlgorithm::createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
{
    const std::vector<TrackingSequence*> sequences = data.getTrackingSequences();
    if (sequences.empty() || sequences.size() > 2)
        return false;
    if (algorithm)
        *algorithm =
          std::make_unique<ToolCalibrationAlgorithm>(sequences[0], sequences.size() > 1 ? sequences[1] : nullptr);
    return true;
}

void ToolCalibrationAlgorithm::configure(const Properties* properties)
{
    if (!properties)
        return;
    int type = 0;
    if (properties->param("CalibrationType", type) && (type == Pivot3d || type == NeedleDir))
        m_calibrationType = CalibrationType(type);
    properties->param("flip", m_flip);
}

void ToolCalibrationAlgorithm::configuration(Properties* properties) const
{
    if (!properties || m_sequences.size() != 1)
        return;
    properties->setParam("CalibrationType", int(m_calibrationType), int(Pivot3d));
    properties->setParamType("CalibrationType", ParamTypeEnum);
    properties->setParamAttributes("CalibrationType", "values: 'Pivot3d,NeedleDir'");
    properties->setParam("flip", m_flip, false);
}

std::string ToolCalibrationAlgorithm::inputProblem() const
{
    if (m_sequences.empty() || m_sequences.size() > 2)
        return fmt::format("The tool calibration takes one or two recordings (a pivot recording, then a rotation "
                           "recording) but was given {}. Select one or two tracking sequences and compute again.",
                           m_sequences.size());
    if (std::find(m_sequences.begin(), m_sequences.end(), nullptr) != m_sequences.end())
        return "A recording of the tool calibration is missing. Select the recordings again and compute.";
    if (const int count = m_sequences[0]->size(); count < 2)
        return fmt::format("The {} recording holds {} pose{}; the calibration needs at least 2, and a few hundred for "
                           "a good fit. Record the tool for longer.",
                           m_sequences.size() == 1 && m_calibrationType == NeedleDir ? "rotation" : "pivot", count,
                           count == 1 ? "" : "s");
    // The rotation sequence may be short here; the needle direction says how many poses it needs.
    if (m_sequences.size() == 2 && m_sequences[1]->empty())
        return "The rotation recording holds no poses. Record the tool turning about its needle.";
    return {};
}

void ToolCalibrationAlgorithm::compute()
{
    // Nothing below throws on valid sequences; this only keeps a broken host container or an allocation failure
    // from leaving the algorithm.
    try
    {
        run();
    }
    catch (const std::exception& e)
    {
        Log::logf(Log::Error, kCategory, "Tool calibration failed: {}", e.what());
        setStatus(Error, fmt::format("The tool calibration stopped on an internal error ({}). Compute again; if it "
                                     "happens again, report it with the log.",
                                     e.what()));
    }
}

void ToolCalibrationAlgorithm::run()
{
    if (std::string problem = inputProblem(); !problem.empty())
    {
        Log::log(Log::Error, kCategory,
                 "Input tracking sequence requirements not fulfilled! Missing sequence or too many sequences.");
        setStatus(StatusInvalidInput, std::move(problem));
        return;
    }
    m_refusal.clear();

    for (TrackingSequence* sequence : m_sequences)
        sequence->setCalibration(Eigen::Matrix4d::Identity());
    m_runFindings = InstrumentCalibrationDataComponent::Provenance();

    if (m_sequences.size() == 2)
    {
        const std::optional<Eigen::Matrix4d> pivot = performPivotCalibration3d(*m_sequences[0]);
        if (!pivot)
        {
            fail(StatusCalibrationFailed);
            return;
        }
        m_sequences[1]->setCalibration(*pivot);
        const std::optional<Eigen::Matrix4d> direction = performNeedleDirectionCalibration(*m_sequences[1]);
        if (!direction)
        {
            fail(StatusCalibrationFailed);
            return;
        }
        // Tip translation from the pivot fit, orientation from the needle axis: [I p] · [R 0] = [R p].
        m_calibration = *pivot * orientedTowardsMarkers(*direction, pivot->topRightCorner<3, 1>());
        for (TrackingSequence* sequence : m_sequences)
            sequence->setCalibration(m_calibration);
    }
    else
    {
        std::optional<Eigen::Matrix4d> result;
        if (m_calibrationType == Pivot3d)
            result = performPivotCalibration3d(*m_sequences[0]);
        else if (m_calibrationType == NeedleDir)
            result = performNeedleDirectionCalibration(*m_sequences[0]);
        else
        {
            Log::log(Log::Error, kCategory, "Unknown calibration type!");
            m_refusal = fmt::format("Calibration type {} is unknown. A single recording is calibrated as Pivot3d "
                                    "(the tip, from a pivot recording) or NeedleDir (the needle axis, from a "
                                    "rotation recording): choose one and compute again.",
                                    int(m_calibrationType));
            fail(StatusUnknownType);
            return;
        }
        if (!result)
        {
            fail(StatusCalibrationFailed);
            return;
        }
        m_calibration = *result;
        m_sequences[0]->setCalibration(m_calibration);
    }

    if (m_flip)
        rotateCalibration180();

    logInfo([&] { return "Final calibration matrix: \n" + toText(m_sequences[0]->calibration()); });
    m_lastResult = m_calibration;
    m_provenance = finishedProvenance();
    storeInSequences();
    setStatus(Success);
}

InstrumentCalibrationDataComponent::Provenance ToolCalibrationAlgorithm::finishedProvenance() const
{
    InstrumentCalibrationDataComponent::Provenance provenance = m_runFindings;
    provenance.dateTime = nowIso8601();
    if (m_sequences.size() == 2)
        provenance.method = "pivot+axis";
    else
        provenance.method = m_calibrationType == Pivot3d ? "pivot" : "axis";
    return provenance;
}

void ToolCalibrationAlgorithm::storeInSequences()
{
    for (TrackingSequence* sequence : m_sequences)
        if (sequence)
            sequence->components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
              sequence->trackerID().ID(), { sequence->calibration(), 0.0 }, m_provenance);
}

void ToolCalibrationAlgorithm::refuse(std::string reason)
{
    Log::log(Log::Error, kCategory, reason);
    m_refusal = std::move(reason);
}

void ToolCalibrationAlgorithm::fail(int status)
{
    // A flip armed before this run turned the recording's earlier calibration; calibration() must not offer that
    // plausible-looking matrix after a failed fit, only the last result that was computed (or the identity).
    m_calibration = m_lastResult.value_or(Eigen::Matrix4d::Identity());
    // The rotation sequence was given the pivot's result on the way; a failed run leaves no calibration behind.
    for (TrackingSequence* sequence : m_sequences)
        sequence->setCalibration(Eigen::Matrix4d::Identity());
    setStatus(status, m_refusal);
}

std::optional<Eigen::Matrix4d> ToolCalibrationAlgorithm::performPivotCalibration3d(const TrackingSequence& sequence)
{
    const int count = sequence.size();
    Log::logf(Log::Info, kCategory, "Performing pivot calibration with {} samples.", count);

    std::vector<Eigen::Matrix4d> poses;
    poses.reserve(size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i)
        poses.push_back(sequence.matrix(i));
    const Geometry::SpherePivotResult fit = Geometry::fitSpherePivotingPoses(poses);
    if (!fit.valid)
    {
        // The fit returns zero vectors here; taking them as tip and pivot point would silently yield an
        // identity calibration and an origin at the tracker's origin.
        refuse(fmt::format("Pivot calibration failed: the {} poses do not determine the tool tip. Pivot the tool "
                           "about its fixed tip, tilting it in more than one direction.",
                           count));
        return std::nullopt;
    }
    if (const double tilt = weakestTilt(poses, fit.rejected); tilt < kLeastPivotTilt)
    {
        refuse(fmt::format("Pivot calibration failed: the tool was tilted by only {:.1f} degrees in its least "
                           "tilted direction, too little to locate the tip. Pivot the tool about its fixed tip, "
                           "tilting it in more than one direction.",
                           tilt * kDegreesPerRadian));
        return std::nullopt;
    }
    m_origin = fit.pivotPoint;

    logInfo([&] { return "Calibration done. Offset: " + toText(fit.tipOffset.transpose()); });
    logInfo([&] { return "Pos in world space: " + toText(fit.pivotPoint.transpose()); });
    logInfo(
      [&]
      {
          return "Reproj errors. Mean: " + toText(fit.meanResidual) + ", min: " + toText(fit.minResidual) +
                 ", max: " + toText(fit.maxResidual);
      });

    recordPivotFindings(poses, fit);
    Eigen::Matrix4d result = Eigen::Matrix4d::Identity();
    result.topRightCorner<3, 1>() = fit.tipOffset;

    upDirectionFromFiducials(sequence, fit.pivotPoint);
    return result;
}

void ToolCalibrationAlgorithm::recordPivotFindings(const std::vector<Eigen::Matrix4d>& poses,
                                                   const Geometry::SpherePivotResult& fit)
{
    // The pivot's spread is that of the shaft, the line from the tracked frame's origin to the tip, across the
    // poses the fit kept; a spin about the shaft adds nothing to it (nor to the fit's strength).
    const Eigen::Vector3d shaft = Math::normalizedOrZero(fit.tipOffset);
    std::vector<Eigen::Vector3d> directions;
    directions.reserve(poses.size());
    for (size_t i = 0; i < poses.size(); ++i)
        if (!std::binary_search(fit.rejected.begin(), fit.rejected.end(), i))
            directions.push_back(poses[i].topLeftCorner<3, 3>() * shaft);
    m_runFindings.poseCount = int(fit.inliers);
    m_runFindings.angularRangeDegrees = largestAngleDegrees(directions);
    m_runFindings.residualRmsMm = fit.rmsResidual;
    m_runFindings.residualMaxMm = fit.maxResidual;
    // The fit's own estimate of its tip error, widened by how long the pose errors stay correlated along the
    // recording: a slipping tip or a drifting tracker would otherwise look many times more precise than it is.
    m_runFindings.predictedTipErrorMm = fit.tipOffsetStdDev;
}

void ToolCalibrationAlgorithm::upDirectionFromFiducials(const TrackingSequence& sequence, const Eigen::Vector3d& origin)
{
    const ElementwiseDataComponentList& elements = sequence.elementwiseComponents();
    const int count = std::min(sequence.size(), elements.size());
    if (count == 0 || !elements.element(0).get<TrackingInstrumentFiducialsData>())
        return;

    // The fiducials carry the FNV-1a hash of the id of the instrument they belong to; the tool's own markers sit
    // above its tip, so their mean offset from the pivot point points "up" along the tool.
    const uint64_t key = TrackingInstrumentFiducialsData::instrumentKey(sequence.trackerID().ID());
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (int i = 0; i < count; ++i)
    {
        const auto* fiducials = elements.element(i).get<TrackingInstrumentFiducialsData>();
        if (!fiducials)
            continue;
        const size_t n =
          std::min({ fiducials->instrumentKeys().size(), fiducials->points().size(), fiducials->values().size() });
        for (size_t j = 0; j < n; ++j)
        {
            // "> 0" is false for NaN, so an unmeasured fiducial never counts; nor does a point the device could
            // not locate, which would turn the whole direction into NaN.
            const Eigen::Vector3d& point = fiducials->points()[j];
            if (fiducials->instrumentKeys()[j] == key && fiducials->values()[j] > 0.0 && point.allFinite())
                sum += point - origin;
        }
    }
    if (sum != Eigen::Vector3d::Zero())
        m_directionUp = Math::normalizedOrZero(sum);
}

std::optional<Eigen::Matrix4d> ToolCalibrationAlgorithm::performNeedleDirectionCalibration(
  const TrackingSequence& sequence)
{
    const int count = sequence.size();
    if (count < kLeastAxisPoses)
    {
        refuse(fmt::format("The rotation recording holds {} pose{}, fewer than the {} needed to find the needle axis "
                           "and judge it. Record the tool turning about its needle for longer.",
                           count, count == 1 ? "" : "s", kLeastAxisPoses));
        return std::nullopt;
    }
    std::vector<Eigen::Matrix4d> poses;
    poses.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        poses.push_back(sequence.matrix(i));

    // Turning the tool about its needle leaves the needle's direction fixed in tracker space: R_i a = d for every
    // pose. The first and the last pose alone always share such an axis, whatever the motion between them; all poses
    // share one only when the motion was a turn about it, and their scatter about it says how well it is known.
    const Geometry::RotationAxisResult fit = Geometry::fitRotationAxis(poses);
    if (std::string problem = axisProblem(fit, poses.size()); !problem.empty())
    {
        refuse(std::move(problem));
        return std::nullopt;
    }
    recordAxisFindings(fit);
    const Eigen::Vector3d axis = fit.axis;

    // A right-handed frame (w, u, axis). u = axis × x is the natural choice, but it vanishes for an axis along
    // ±x; the frame is then built on y instead, which gives u = ±z and w = y.
    Eigen::Vector3d u = axis.cross(Eigen::Vector3d::UnitX());
    if (u.squaredNorm() < 1e-24)
        u = axis.cross(Eigen::Vector3d::UnitY());
    u = Math::normalizedOrZero(u);
    const Eigen::Vector3d w = Math::normalizedOrZero(u.cross(axis));

    Eigen::Matrix3d rotation;
    rotation.col(0) = w;
    rotation.col(1) = u;
    rotation.col(2) = axis;
    logInfo([&] { return "Rotation axis: " + toText(axis.transpose()); });
    logInfo([&] { return "Matrix: " + toText(rotation); });
    logInfo([&] { return "Det: " + toText(rotation.determinant()); });

    Eigen::Matrix4d result = Eigen::Matrix4d::Identity();
    result.topLeftCorner<3, 3>() = rotation;

    // The needle axis in tracker coordinates at the first sample.
    const Eigen::Matrix4d calibrated = poses.front() * result;
    const Eigen::Vector3d p0 = Math::transformPointAffine(calibrated, Eigen::Vector3d::Zero());
    const Eigen::Vector3d p1 = Math::transformPointAffine(calibrated, Eigen::Vector3d::UnitZ());
    m_directionUp = Math::normalizedOrZero(p1 - p0);
    return result;
}

std::string ToolCalibrationAlgorithm::axisProblem(const Geometry::RotationAxisResult& fit, std::size_t poseCount)
{
    const char* const whatToDo = "Keep the needle's direction fixed, tip in a dimple, and turn the tool about its own "
                                 "axis.";
    if (!fit.valid)
        return fmt::format("The tool did not turn during the rotation recording. {}", whatToDo);
    if (double(fit.inliers) < kLeastAxisKeptShare * double(poseCount))
        return fmt::format("The tool did not turn about one axis: {} of the {} poses stray from the axis that fits "
                           "the others best. {}",
                           poseCount - fit.inliers, poseCount, whatToDo);
    if (const double tilt = fit.rmsResidualAngle * kDegreesPerRadian; tilt > kMostAxisTiltRmsDegrees)
        return fmt::format("The tool did not turn about one axis: the axis that fits the poses best tilted by "
                           "{:.1f}° RMS, more than the {:.0f}° allowed for a hand's wobble. {}",
                           tilt, kMostAxisTiltRmsDegrees, whatToDo);
    // A pivoting motion turns the tool about a direction that moves steadily: neighbouring poses stray from the
    // fitted axis together, however little they tilt it.
    if (fit.independentPoses < kLeastIndependentAxisPoses)
        return fmt::format("The tool did not turn steadily about one axis: its axis drifted through the recording "
                           "instead of scattering about one direction, leaving about {:.0f} independent looks at it, "
                           "fewer than the {:.0f} needed to judge it. Keep the needle's direction fixed, tip in a "
                           "dimple, and turn the tool about its own axis for five seconds or more.",
                           fit.independentPoses, kLeastIndependentAxisPoses);
    if (const double spin = fit.spinAngle * kDegreesPerRadian; spin < kLeastAxisSpinDegrees)
        return fmt::format("The tool turned by only {:.0f}° about its needle; finding the axis needs at least {:.0f}°. "
                           "Keep the tip in a dimple and turn the tool further about its own axis while recording.",
                           spin, kLeastAxisSpinDegrees);
    return {};
}

void ToolCalibrationAlgorithm::recordAxisFindings(const Geometry::RotationAxisResult& fit)
{
    // With a pivot fit in the same run, the pose count and range describe the tip and stay.
    if (!m_runFindings.poseCount)
    {
        m_runFindings.poseCount = int(fit.inliers);
        m_runFindings.angularRangeDegrees = fit.spinAngle * kDegreesPerRadian;
    }
    m_runFindings.predictedAxisErrorDegrees = fit.axisStdDev * kDegreesPerRadian;
    m_runFindings.axisTiltRmsDegrees = fit.rmsResidualAngle * kDegreesPerRadian;
    m_runFindings.axisSpinDegrees = fit.spinAngle * kDegreesPerRadian;
}

Eigen::Matrix4d ToolCalibrationAlgorithm::orientedTowardsMarkers(const Eigen::Matrix4d& direction,
                                                                 const Eigen::Vector3d& tipOffset)
{
    // The spin gives the needle's line but not which way along it is up: the fitted sign follows the tool frame's
    // axes and can change with noise from one recording to the next. With the tip known, up is from the tip
    // towards the tracked frame's origin (the markers), as the tool meshes and the direction line expect. A tip
    // less than a millimetre along the axis (a sensor in the tip) does not tell, and the fitted sign stays.
    const double along = direction.block<3, 1>(0, 2).dot(tipOffset);
    if (along <= kLeastTipAlongAxisMm)
        return direction;
    Log::log(Log::Info, kCategory, "Needle axis turned to point from the tip towards the tool's markers.");
    if (m_directionUp)
        m_directionUp = -*m_directionUp;
    return direction * Pose::eulerToMat(Eigen::Vector3d::Zero(), Eigen::Vector3d(180.0, 0.0, 0.0));
}

void ToolCalibrationAlgorithm::rotateCalibration180()
{
    // 180 degrees about the calibrated x-axis: y and z change sign, the origin (the tip) stays.
    const Eigen::Matrix4d turn = Pose::eulerToMat(Eigen::Vector3d::Zero(), Eigen::Vector3d(180.0, 0.0, 0.0));
    for (TrackingSequence* sequence : m_sequences)
    {
        if (!sequence)
            continue;
        m_calibration = sequence->calibration() * turn;
        sequence->setCalibration(m_calibration);
        logInfo([&] { return "Calibration rotated by 180 is: \n" + toText(m_calibration); });
    }
    m_flip = !m_flip;
    if (m_lastResult)
    {
        m_lastResult = m_calibration;
        storeInSequences();
    }
    if (m_directionUp)
        m_directionUp = -*m_directionUp;
}

} // namespace Kelvaros
