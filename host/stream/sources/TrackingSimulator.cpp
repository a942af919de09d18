#include "stream/sources/TrackingSimulator.h"

#include <algorithm>
#include <cmath>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "lib/numerics/Pose.h"
#include "lib/numerics/RigidRegistration.h"

namespace Kelvaros
{

namespace
{

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegrees = kPi / 180.0;
// The simulated device was switched on one second before frame 0, so that no timestamp is 0 ("unknown").
constexpr int64_t kClockOffsetMicroseconds = 1'000'000;

// Landmarks: the tip rests on each landmark for kDwellSeconds, then moves to the next one in kMoveSeconds, lifted
// by kLiftMm at mid-way along the phantom's z axis.
constexpr double kDwellSeconds = 2.0;
constexpr double kMoveSeconds = 1.0;
constexpr double kLiftMm = 30.0;
// Insertion: approach from kApproachMm before the entry, insert, hold at the target, withdraw.
constexpr double kApproachMm = 20.0;
constexpr double kApproachSeconds = 1.0;
constexpr double kInsertSeconds = 4.0;
constexpr double kHoldSeconds = 1.0;
constexpr double kWithdrawSeconds = 2.0;
// Sweep: the tip's direction from the body's centre wanders within kSweepHalfAngle of the reachable side, along a
// figure whose two periods share no divisor, so that the patch fills in over a minute; about 40 mm/s on the skin.
constexpr double kSweepHalfAngle = 55.0 * kDegrees;
constexpr double kSweepPeriodsSeconds[] = { 11.0, 7.0 };
// How deep the insertion target lies inside the body, as a share of the way from the body's centre to its skin.
constexpr double kTargetDepth = 0.8;

/// splitmix64: a small generator whose output depends only on its seed, identical on every platform (unlike the
/// distributions of <random>, whose algorithms the standard leaves open).
class FrameRandom
{
public:
    FrameRandom(uint64_t seed, int64_t frame)
      : m_state(seed * 0x9E3779B97F4A7C15ull ^ (uint64_t(frame) + 0x632BE59BD9B4E019ull))
    {
        next();
    }

    uint64_t next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    /// Uniform in [0, 1).
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }

    /// Standard normal by Box–Muller; 1 - uniform() lies in (0, 1], so the logarithm stays finite.
    double gaussian()
    {
        const double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
        return radius * std::cos(2.0 * kPi * uniform());
    }

private:
    uint64_t m_state;
};

Eigen::Matrix3d rotationTaking(const Eigen::Vector3d& from, const Eigen::Vector3d& to)
{
    return Eigen::Quaterniond::FromTwoVectors(from, to).toRotationMatrix();
}

Eigen::Matrix3d rotationAbout(const Eigen::Vector3d& axis, double angle)
{
    return Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
}

/// The pose that puts the tool's tip at `tip_Tracker` with orientation `rotation`: t = tip - R · tipOffset.
Eigen::Matrix4d poseWithTipAt(const Eigen::Matrix3d& rotation, const Eigen::Vector3d& tipOffset_Tool,
                              const Eigen::Vector3d& tip_Tracker)
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() = rotation;
    pose.topRightCorner<3, 1>() = tip_Tracker - rotation * tipOffset_Tool;
    return pose;
}

TrackingSimulator::Tool makeTool(std::string id, std::vector<Eigen::Vector3d> markers, const Eigen::Vector3d& tip)
{
    TrackingSimulator::Tool tool;
    tool.id = std::move(id);
    tool.markers_Tool = std::move(markers);
    tool.tipOffset_Tool = tip;
    tool.axis_Tool = tip.isZero() ? Eigen::Vector3d::UnitZ() : tip.normalized();
    return tool;
}

TrackingSimulator::GroundTruth makeGroundTruth()
{
    TrackingSimulator::GroundTruth truth;
    // Four coplanar, asymmetric markers per tool (no two inter-marker distances alike), tips about 150 mm from the
    // marker centre along the tool's -y, as on passive-marker pointers and needle holders.
    truth.tools.push_back(makeTool("Pointer", { { 0, 0, 0 }, { 0, 50, 0 }, { -35, 88, 0 }, { 32, 122, 0 } },
                                   Eigen::Vector3d(1.5, -160.0, -2.0)));
    truth.tools.push_back(makeTool("Needle", { { 0, 0, 0 }, { 45, 0, 0 }, { 15, 60, 0 }, { -30, 95, 0 } },
                                   Eigen::Vector3d(0.8, -140.0, 1.2)));
    truth.tools.push_back(
      makeTool("Reference", { { 0, 0, 0 }, { 0, 60, 0 }, { 55, 0, 0 }, { 70, 90, 0 } }, Eigen::Vector3d::Zero()));

    // About 1.2 m in front of the camera, the usual centre of an optical tracker's working volume.
    truth.pivotPoint_Tracker = Eigen::Vector3d(40.0, 20.0, -1180.0);
    truth.needlePivotPoint_Tracker = Eigen::Vector3d(160.0, 20.0, -1180.0);
    truth.spinDirection_Tracker = Eigen::Vector3d(0.2, -0.1, -1.0).normalized();
    truth.referenceToTracker = Pose::eulerToMat(Eigen::Vector3d(-150.0, 40.0, -1230.0), Eigen::Vector3d(5, -10, 20));
    const Eigen::Matrix4d phantomToReference =
      Pose::eulerToMat(Eigen::Vector3d(120.0, -40.0, 30.0), Eigen::Vector3d(0, 0, -15));
    truth.phantomToTracker = truth.referenceToTracker * phantomToReference;
    truth.landmarks_Phantom = { { 0, 0, 0 },     { 100, 0, 0 },  { 0, 80, 0 },
                                { 100, 80, 30 }, { 50, 40, 60 }, { 20, 70, 45 } };
    truth.pathEntry_Tracker = Eigen::Vector3d(30.0, -10.0, -1150.0);
    truth.pathTarget_Tracker = Eigen::Vector3d(45.0, 25.0, -1215.0);
    return truth;
}

/// Where a tool waits while the scenario moves another one.
Eigen::Matrix4d restingPose(const std::string& id)
{
    if (id == "Pointer")
        return Pose::eulerToMat(Eigen::Vector3d(150.0, -100.0, -1250.0), Eigen::Vector3d(90, 0, 30));
    return Pose::eulerToMat(Eigen::Vector3d(200.0, 60.0, -1260.0), Eigen::Vector3d(90, 0, -40));
}

} // namespace

Eigen::Vector3d TrackingSimulator::GroundTruth::pathTarget_Phantom() const
{
    return Eigen::Isometry3d(phantomToTracker).inverse() * pathTarget_Tracker;
}

TrackingSimulator::GroundTruth::Body TrackingSimulator::GroundTruth::body_Phantom() const
{
    const Eigen::Vector3d target = pathTarget_Phantom();
    Eigen::AlignedBox3d box(target);
    for (const Eigen::Vector3d& landmark : landmarks_Phantom)
        box.extend(landmark);
    // The target sits at a corner of the landmarks' box, where an ellipsoid around the box has no room; moving the
    // body towards the target keeps the target inside without growing the volume.
    Body body;
    body.semiAxes = box.sizes() / 2.0;
    const double reach = (target - box.center()).cwiseQuotient(body.semiAxes).norm();
    body.centre = box.center() + std::max(0.0, 1.0 - kTargetDepth / reach) * (target - box.center());
    return body;
}

const TrackingSimulator::Tool* TrackingSimulator::GroundTruth::tool(const std::string& id) const
{
    for (const Tool& candidate : tools)
        if (candidate.id == id)
            return &candidate;
    return nullptr;
}

std::vector<Eigen::Vector3d> TrackingSimulator::GroundTruth::landmarks_Tracker() const
{
    std::vector<Eigen::Vector3d> result;
    for (const Eigen::Vector3d& landmark : landmarks_Phantom)
        result.push_back((phantomToTracker * landmark.homogeneous()).head<3>());
    return result;
}

TrackingSimulator::TrackingSimulator(Settings settings) : m_settings(settings) {}

std::string TrackingSimulator::validate(const Settings& settings)
{
    if (!(settings.rateHz > 0.0 && settings.rateHz <= 10000.0))
        return fmt::format("rate {} Hz is not in (0, 10000]", settings.rateHz);
    if (!(settings.noiseMm >= 0.0 && std::isfinite(settings.noiseMm)))
        return fmt::format("noise {} mm is negative or not finite", settings.noiseMm);
    if (!(settings.dropoutProbability >= 0.0 && settings.dropoutProbability <= 1.0))
        return fmt::format("dropout probability {} is not in [0, 1]", settings.dropoutProbability);
    return std::string();
}

const char* TrackingSimulator::scenarioName(Scenario scenario)
{
    switch (scenario)
    {
        case Scenario::Pivot:
            return "pivot";
        case Scenario::Spin:
            return "spin";
        case Scenario::Landmarks:
            return "landmarks";
        case Scenario::Insertion:
            return "insertion";
        case Scenario::Sweep:
            return "sweep";
    }
    return "pivot";
}

std::vector<std::string> TrackingSimulator::scenarioNames()
{
    std::vector<std::string> names;
    for (int scenario = 0; scenario <= int(Scenario::Sweep); ++scenario)
        names.emplace_back(scenarioName(Scenario(scenario)));
    return names;
}

std::optional<TrackingSimulator::Scenario> TrackingSimulator::scenarioFromName(const std::string& name)
{
    for (int scenario = 0; scenario <= int(Scenario::Sweep); ++scenario)
        if (name == scenarioName(Scenario(scenario)))
            return Scenario(scenario);
    return std::nullopt;
}

const TrackingSimulator::GroundTruth& TrackingSimulator::groundTruth()
{
    static const GroundTruth truth = makeGroundTruth();
    return truth;
}

double TrackingSimulator::seconds(int64_t frame) const
{
    return double(frame) / m_settings.rateHz;
}

int64_t TrackingSimulator::deviceTimestamp(int64_t frame) const
{
    return kClockOffsetMicroseconds + std::llround(double(frame) * 1e6 / m_settings.rateHz);
}

int TrackingSimulator::touchedLandmark(int64_t frame) const
{
    if (m_settings.scenario != Scenario::Landmarks)
        return -1;
    const int count = int(groundTruth().landmarks_Phantom.size());
    const double cycle = kDwellSeconds + kMoveSeconds;
    const double t = std::fmod(seconds(frame), cycle * count);
    const int index = std::min(count - 1, int(t / cycle));
    return t - index * cycle < kDwellSeconds ? index : -1;
}

double TrackingSimulator::insertionDepth(int64_t frame) const
{
    if (m_settings.scenario != Scenario::Insertion)
        return 0.0;
    const GroundTruth& truth = groundTruth();
    const double length = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).norm();
    const double cycle = kApproachSeconds + kInsertSeconds + kHoldSeconds + kWithdrawSeconds;
    double t = std::fmod(seconds(frame), cycle);
    if (t < kApproachSeconds)
        return -kApproachMm * (1.0 - t / kApproachSeconds);
    t -= kApproachSeconds;
    if (t < kInsertSeconds)
        return length * t / kInsertSeconds;
    t -= kInsertSeconds;
    if (t < kHoldSeconds)
        return length;
    t -= kHoldSeconds;
    return length - (length + kApproachMm) * std::min(1.0, t / kWithdrawSeconds);
}

Eigen::Matrix4d TrackingSimulator::truePose(const std::string& toolId, int64_t frame) const
{
    const GroundTruth& truth = groundTruth();
    const Tool* tool = truth.tool(toolId);
    if (!tool)
        return Eigen::Matrix4d::Identity();
    if (toolId == "Reference")
        return truth.referenceToTracker;

    const double t = seconds(frame);
    const Eigen::Vector3d down = -Eigen::Vector3d::UnitZ();
    switch (m_settings.scenario)
    {
        case Scenario::Pivot:
        {
            if (toolId == "Reference")
                break;
            // A cone about the vertical through the tip, swept once every 4 s, with a tilt that breathes between
            // 15 and 35 degrees: rotations about every horizontal axis, which a pivot fit needs. The needle pivots
            // in its own dimple, a quarter turn behind the pointer.
            const bool pointer = toolId == "Pointer";
            const double azimuth = 2.0 * kPi * (t / 4.0 + (pointer ? 0.0 : 0.25));
            const double tilt = (25.0 + 10.0 * std::sin(2.0 * kPi * t / 6.0)) * kDegrees;
            const Eigen::Matrix3d rotation = rotationAbout(Eigen::Vector3d::UnitZ(), azimuth) *
                                             rotationAbout(Eigen::Vector3d::UnitX(), tilt) *
                                             rotationTaking(tool->axis_Tool, down);
            return poseWithTipAt(rotation, tool->tipOffset_Tool,
                                 pointer ? truth.pivotPoint_Tracker : truth.needlePivotPoint_Tracker);
        }
        case Scenario::Spin:
        {
            // One turn every 3 s about the tool's own axis: R · axis stays spinDirection. Both tools spin, so that
            // a calibration of either can record its rotation; the pointer in the needle's dimple, a quarter turn
            // behind.
            const bool pointer = toolId == "Pointer";
            const double angle = 2.0 * kPi * (t / 3.0 + (pointer ? 0.25 : 0.0));
            const Eigen::Matrix3d rotation =
              rotationTaking(tool->axis_Tool, truth.spinDirection_Tracker) * rotationAbout(tool->axis_Tool, angle);
            return poseWithTipAt(rotation, tool->tipOffset_Tool,
                                 pointer ? truth.needlePivotPoint_Tracker : truth.pivotPoint_Tracker);
        }
        case Scenario::Landmarks:
        {
            if (toolId != "Pointer")
                break;
            const std::vector<Eigen::Vector3d> landmarks = truth.landmarks_Tracker();
            const int count = int(landmarks.size());
            const double cycle = kDwellSeconds + kMoveSeconds;
            const double local = std::fmod(t, cycle * count);
            const int index = std::min(count - 1, int(local / cycle));
            const double inCycle = local - index * cycle;
            Eigen::Vector3d tip = landmarks[size_t(index)];
            if (inCycle >= kDwellSeconds)
            {
                const double u = std::min(1.0, (inCycle - kDwellSeconds) / kMoveSeconds);
                const Eigen::Vector3d up = truth.phantomToTracker.block<3, 1>(0, 2);
                tip = (1.0 - u) * tip + u * landmarks[size_t((index + 1) % count)] + kLiftMm * std::sin(kPi * u) * up;
            }
            // The hand holding the pointer wobbles slowly while the tip rests.
            const Eigen::Matrix3d phantom = truth.phantomToTracker.topLeftCorner<3, 3>();
            const Eigen::Matrix3d rotation =
              phantom *
              rotationAbout(Eigen::Vector3d::UnitX(), (20.0 + 5.0 * std::sin(2.0 * kPi * t / 5.0)) * kDegrees) *
              rotationAbout(Eigen::Vector3d::UnitZ(), 10.0 * std::sin(2.0 * kPi * t / 7.0) * kDegrees) *
              rotationTaking(tool->axis_Tool, down);
            return poseWithTipAt(rotation, tool->tipOffset_Tool, tip);
        }
        case Scenario::Insertion:
        {
            if (toolId != "Needle")
                break;
            const Eigen::Vector3d direction = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).normalized();
            const Eigen::Vector3d tip = truth.pathEntry_Tracker + insertionDepth(frame) * direction;
            return poseWithTipAt(rotationTaking(tool->axis_Tool, direction), tool->tipOffset_Tool, tip);
        }
        case Scenario::Sweep:
        {
            if (toolId != "Pointer")
                break;
            const auto [tip, normal] = sweptSkin(t);
            const Eigen::Isometry3d phantomToTracker(truth.phantomToTracker);
            return poseWithTipAt(rotationTaking(tool->axis_Tool, -(phantomToTracker.linear() * normal)),
                                 tool->tipOffset_Tool, phantomToTracker * tip);
        }
    }
    return restingPose(toolId);
}

std::pair<Eigen::Vector3d, Eigen::Vector3d> TrackingSimulator::sweptSkin(double seconds)
{
    const GroundTruth::Body body = groundTruth().body_Phantom();
    // The side a user standing at the phantom reaches: its -y side, tilted up.
    const Eigen::Vector3d side = Eigen::Vector3d(0.2, -1.0, 0.6).normalized();
    const Eigen::Vector3d across = side.unitOrthogonal(), along = side.cross(across);
    const double reach = std::tan(kSweepHalfAngle) / std::sqrt(2.0);
    const Eigen::Vector3d direction = (side + reach * std::sin(2.0 * kPi * seconds / kSweepPeriodsSeconds[0]) * across +
                                       reach * std::sin(2.0 * kPi * seconds / kSweepPeriodsSeconds[1] + 0.5) * along)
                                        .normalized();
    // Where the ray from the centre meets the ellipsoid, and the ellipsoid's outward normal there.
    const Eigen::Vector3d scaled = direction.cwiseQuotient(body.semiAxes);
    const Eigen::Vector3d offset = direction / scaled.norm();
    return { body.centre + offset, offset.cwiseQuotient(body.semiAxes.cwiseProduct(body.semiAxes)).normalized() };
}

TrackingSimulator::Frame TrackingSimulator::frame(int64_t frameIndex) const
{
    Frame result;
    result.timestampDevice = deviceTimestamp(frameIndex);
    FrameRandom random(m_settings.seed, frameIndex);
    for (const Tool& tool : groundTruth().tools)
    {
        const Eigen::Matrix4d pose = truePose(tool.id, frameIndex);
        const size_t markerCount = tool.markers_Tool.size();
        const bool dropout = random.uniform() < m_settings.dropoutProbability;
        // Two distinct occluded markers: with fewer than three left no pose can be fitted.
        const size_t occludedA = std::min(markerCount - 1, size_t(random.uniform() * double(markerCount)));
        const size_t occludedB =
          (occludedA + 1 + std::min(markerCount - 2, size_t(random.uniform() * double(markerCount - 1)))) % markerCount;
        std::vector<Eigen::Vector3d> measured;
        for (const Eigen::Vector3d& marker : tool.markers_Tool)
        {
            Eigen::Vector3d noise;
            for (int axis = 0; axis < 3; ++axis)
                noise[axis] = random.gaussian() * m_settings.noiseMm;
            measured.push_back((pose * marker.homogeneous()).head<3>() + noise);
        }

        const uint64_t key = TrackingInstrumentFiducialsData::instrumentKey(tool.id);
        TrackingInstrument instrument{ TrackerID(tool.id, "Simulated", tool.id), Eigen::Matrix4d::Identity(), 0.0,
                                       result.timestampDevice, false };
        if (!dropout)
        {
            double fre = 0.0;
            if (const auto fit = RigidRegistration::fitRigid(tool.markers_Tool, measured, &fre))
            {
                instrument.matrix = *fit;
                instrument.quality = 1.0 / (1.0 + fre * fre);
                instrument.tracked = true;
            }
        }
        for (size_t i = 0; i < markerCount; ++i)
            if (!dropout || (i != occludedA && i != occludedB))
                result.fiducials.addFiducial(measured[i], 1.0, key);
        result.instruments.push_back(std::move(instrument));
    }
    return result;
}

} // namespace Kelvaros
