#include "stream/sources/TrackingSimulator.h"

#include <cmath>
#include <set>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "lib/numerics/Geometry.h"
#include "lib/numerics/Pose.h"

using namespace Kelvaros;

namespace
{

constexpr double kRadiansToDegrees = 180.0 / 3.14159265358979323846;

TrackingSimulator::Settings settingsFor(TrackingSimulator::Scenario scenario, double noise = 0.1, double dropout = 0.0,
                                        uint64_t seed = 1)
{
    TrackingSimulator::Settings settings;
    settings.scenario = scenario;
    settings.noiseMm = noise;
    settings.dropoutProbability = dropout;
    settings.seed = seed;
    return settings;
}

Eigen::Vector3d apply(const Eigen::Matrix4d& pose, const Eigen::Vector3d& point)
{
    return (pose * point.homogeneous()).head<3>();
}

const TrackingInstrument& find(const TrackingSimulator::Frame& frame, const std::string& id)
{
    for (const TrackingInstrument& instrument : frame.instruments)
        if (instrument.ID() == id)
            return instrument;
    throw std::runtime_error("no instrument " + id);
}

std::vector<Eigen::Matrix4d> trackedPoses(const TrackingSimulator& simulator, const std::string& id, int frames)
{
    std::vector<Eigen::Matrix4d> poses;
    for (int k = 0; k < frames; ++k)
    {
        const auto frame = simulator.frame(k);
        if (find(frame, id).tracked)
            poses.push_back(find(frame, id).matrix);
    }
    return poses;
}

} // namespace

TEST(TrackingSimulator, IsDeterministicPerSeedAndFrame)
{
    const TrackingSimulator a(settingsFor(TrackingSimulator::Scenario::Landmarks, 0.3, 0.1, 42));
    const TrackingSimulator b(settingsFor(TrackingSimulator::Scenario::Landmarks, 0.3, 0.1, 42));
    const TrackingSimulator other(settingsFor(TrackingSimulator::Scenario::Landmarks, 0.3, 0.1, 43));
    const auto late = a.frame(500); // computed before the earlier frames: no hidden state
    for (int k : { 0, 1, 499, 500 })
    {
        const auto fa = a.frame(k);
        const auto fb = b.frame(k);
        ASSERT_EQ(fa.instruments.size(), 3u);
        for (size_t i = 0; i < 3; ++i)
        {
            EXPECT_EQ(fa.instruments[i].matrix, fb.instruments[i].matrix);
            EXPECT_EQ(fa.instruments[i].quality, fb.instruments[i].quality);
        }
        EXPECT_EQ(fa.fiducials.points(), fb.fiducials.points());
        EXPECT_NE(fa.fiducials.points(), other.frame(k).fiducials.points());
    }
    EXPECT_EQ(late.fiducials.points(), b.frame(500).fiducials.points());
}

TEST(TrackingSimulator, DeviceClockAdvancesByExactlyOnePeriod)
{
    TrackingSimulator::Settings settings;
    settings.rateHz = 60.0;
    const TrackingSimulator at60(settings);
    EXPECT_GT(at60.deviceTimestamp(0), 0); // 0 would mean "unknown"
    for (int64_t k = 0; k < 600; ++k)
    {
        const int64_t step = at60.deviceTimestamp(k + 1) - at60.deviceTimestamp(k);
        EXPECT_TRUE(step == 16666 || step == 16667) << step;
    }
    // No drift: one hour of frames is exactly one hour of device time.
    EXPECT_EQ(at60.deviceTimestamp(60 * 3600) - at60.deviceTimestamp(0), int64_t(3600) * 1'000'000);
    settings.rateHz = 250.0;
    const TrackingSimulator at250(settings);
    EXPECT_EQ(at250.deviceTimestamp(7) - at250.deviceTimestamp(6), 4000);
    EXPECT_EQ(at250.frame(3).timestampDevice, at250.deviceTimestamp(3));
    EXPECT_EQ(at250.frame(3).instruments[0].timestamp, at250.deviceTimestamp(3));
}

TEST(TrackingSimulator, NoiseFreeFramesAreTheGroundTruthWithKeyedMarkers)
{
    const auto& truth = TrackingSimulator::groundTruth();
    for (auto scenario : { TrackingSimulator::Scenario::Pivot, TrackingSimulator::Scenario::Spin,
                           TrackingSimulator::Scenario::Landmarks, TrackingSimulator::Scenario::Insertion })
    {
        SCOPED_TRACE(TrackingSimulator::scenarioName(scenario));
        const TrackingSimulator simulator(settingsFor(scenario, 0.0));
        for (int k : { 0, 37, 400 })
        {
            const auto frame = simulator.frame(k);
            ASSERT_EQ(frame.instruments.size(), 3u);
            ASSERT_EQ(frame.fiducials.size(), 12u);
            ASSERT_TRUE(frame.fiducials.hasInstrumentKeys());
            size_t marker = 0;
            for (size_t i = 0; i < 3; ++i)
            {
                const TrackingInstrument& instrument = frame.instruments[i];
                const auto& tool = truth.tools[i];
                EXPECT_EQ(instrument.ID(), tool.id);
                EXPECT_TRUE(instrument.tracked);
                EXPECT_NEAR(instrument.quality, 1.0, 1e-12);
                const Eigen::Matrix4d expected = simulator.truePose(tool.id, k);
                EXPECT_LT((instrument.matrix - expected).cwiseAbs().maxCoeff(), 1e-9);
                EXPECT_EQ(instrument.matrix.row(3), Eigen::RowVector4d(0, 0, 0, 1));
                for (const Eigen::Vector3d& point : tool.markers_Tool)
                {
                    EXPECT_LT((frame.fiducials.points()[marker] - apply(expected, point)).norm(), 1e-9);
                    EXPECT_GT(frame.fiducials.values()[marker], 0.0);
                    // FNV-1a of "Pointer", "Needle", "Reference", computed independently of the host's helper.
                    uint64_t hash = 0xcbf29ce484222325ull;
                    for (unsigned char c : tool.id)
                        hash = (hash ^ c) * 0x100000001b3ull;
                    EXPECT_EQ(frame.fiducials.instrumentKeys()[marker], hash);
                    ++marker;
                }
            }
        }
    }
}

TEST(TrackingSimulator, PivotRecordingGivesBackTheTipAndPivotPoint)
{
    const auto& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator simulator(settingsFor(TrackingSimulator::Scenario::Pivot, 0.1, 0.02));
    // Both tools pivot, each in its own dimple.
    for (const auto& [id, pivotPoint] :
         { std::pair{ "Pointer", truth.pivotPoint_Tracker }, std::pair{ "Needle", truth.needlePivotPoint_Tracker } })
    {
        SCOPED_TRACE(id);
        const Eigen::Vector3d tip = truth.tool(id)->tipOffset_Tool;
        for (int k = 0; k < 600; k += 13)
            EXPECT_LT((apply(simulator.truePose(id, k), tip) - pivotPoint).norm(), 1e-9);

        const auto poses = trackedPoses(simulator, id, 600);
        EXPECT_GT(poses.size(), 560u);
        EXPECT_LT(poses.size(), 600u); // some dropouts
        const auto fit = Geometry::fitSpherePivotingPoses(poses);
        ASSERT_TRUE(fit.valid);
        EXPECT_LT((fit.tipOffset - tip).norm(), 0.5);
        EXPECT_LT((fit.pivotPoint - pivotPoint).norm(), 0.5);
        // Marker noise of 0.1 mm turns into tip scatter of a few tenths of a millimetre 150 mm away, not zero.
        EXPECT_GT(fit.rmsResidual, 0.05);
        EXPECT_LT(fit.rmsResidual, 1.0);
    }
}

TEST(TrackingSimulator, SpinRecordingGivesBackTheNeedleAxis)
{
    const auto& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator simulator(settingsFor(TrackingSimulator::Scenario::Spin, 0.1, 0.02));
    const Eigen::Vector3d axis = truth.tool("Needle")->axis_Tool;
    for (int k = 0; k < 300; k += 7)
        EXPECT_LT((simulator.truePose("Needle", k).topLeftCorner<3, 3>() * axis - truth.spinDirection_Tracker).norm(),
                  1e-9);

    const auto fit = Geometry::fitRotationAxis(trackedPoses(simulator, "Needle", 300));
    ASSERT_TRUE(fit.valid);
    EXPECT_LT(std::acos(std::min(1.0, std::abs(fit.axis.dot(axis)))) * kRadiansToDegrees, 0.5);
    EXPECT_LT(std::acos(std::min(1.0, std::abs(fit.direction.dot(truth.spinDirection_Tracker)))) * kRadiansToDegrees,
              0.5);
    EXPECT_GT(fit.spinAngle, 3.0);
}

TEST(TrackingSimulator, PointerRestsOnEachLandmarkInTurn)
{
    const auto& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator simulator(settingsFor(TrackingSimulator::Scenario::Landmarks, 0.1));
    const auto landmarks = truth.landmarks_Tracker();
    const Eigen::Vector3d tip = truth.tool("Pointer")->tipOffset_Tool;
    std::vector<int> order;
    double squaredError = 0.0;
    int touching = 0;
    const int cycleFrames = int(60 * 3.0 * landmarks.size());
    for (int k = 0; k < cycleFrames; ++k)
    {
        const int index = simulator.touchedLandmark(k);
        if (index < 0)
            continue;
        if (order.empty() || order.back() != index)
            order.push_back(index);
        EXPECT_LT((apply(simulator.truePose("Pointer", k), tip) - landmarks[size_t(index)]).norm(), 1e-9);
        const auto frame = simulator.frame(k);
        const TrackingInstrument& measured = find(frame, "Pointer");
        squaredError += (apply(measured.matrix, tip) - landmarks[size_t(index)]).squaredNorm();
        ++touching;
    }
    EXPECT_EQ(order, std::vector<int>({ 0, 1, 2, 3, 4, 5 }));
    EXPECT_LT(std::sqrt(squaredError / touching), 0.5);
    EXPECT_EQ(simulator.touchedLandmark(cycleFrames), 0); // it starts over
    // The phantom hangs on the reference.
    EXPECT_LT((simulator.truePose("Reference", 5) - truth.referenceToTracker).norm(), 1e-12);
}

TEST(TrackingSimulator, NeedleFollowsThePlannedPath)
{
    const auto& truth = TrackingSimulator::groundTruth();
    const TrackingSimulator simulator(settingsFor(TrackingSimulator::Scenario::Insertion, 0.0));
    const Eigen::Vector3d tip = truth.tool("Needle")->tipOffset_Tool;
    const Eigen::Vector3d axis = truth.tool("Needle")->axis_Tool;
    const Eigen::Vector3d path = truth.pathTarget_Tracker - truth.pathEntry_Tracker;
    double deepest = -1e9;
    double shallowest = 1e9;
    for (int k = 0; k < 60 * 8; ++k)
    {
        const Eigen::Matrix4d pose = simulator.truePose("Needle", k);
        const double depth = simulator.insertionDepth(k);
        deepest = std::max(deepest, depth);
        shallowest = std::min(shallowest, depth);
        const Eigen::Vector3d expected = truth.pathEntry_Tracker + depth * path.normalized();
        EXPECT_LT((apply(pose, tip) - expected).norm(), 1e-9);
        EXPECT_LT((pose.topLeftCorner<3, 3>() * axis - path.normalized()).norm(), 1e-9);
    }
    EXPECT_NEAR(deepest, path.norm(), 1e-9); // reaches the target
    EXPECT_NEAR(shallowest, -20.0, 0.5);     // starts outside
}

TEST(TrackingSimulator, DropoutsHideTheToolButKeepItsVisibleMarkers)
{
    const TrackingSimulator simulator(settingsFor(TrackingSimulator::Scenario::Pivot, 0.2, 0.2, 5));
    int dropped = 0;
    int total = 0;
    for (int k = 0; k < 1000; ++k)
    {
        const auto frame = simulator.frame(k);
        size_t expectedMarkers = 0;
        for (const TrackingInstrument& instrument : frame.instruments)
        {
            ++total;
            if (instrument.tracked)
            {
                // 0.2 mm marker noise: FRE² = 0.01 mm² · chi²(6), quality 1 / (1 + FRE²) stays above 0.7.
                EXPECT_GT(instrument.quality, 0.7);
                EXPECT_LT(instrument.quality, 1.0);
                expectedMarkers += 4;
                continue;
            }
            ++dropped;
            EXPECT_EQ(instrument.quality, 0.0);
            EXPECT_EQ(instrument.matrix, Eigen::Matrix4d::Identity());
            EXPECT_EQ(
              frame.fiducials.forInstrument(TrackingInstrumentFiducialsData::instrumentKey(instrument.ID())).size(),
              2u);
            expectedMarkers += 2;
        }
        EXPECT_EQ(frame.fiducials.size(), expectedMarkers);
    }
    EXPECT_NEAR(double(dropped) / total, 0.2, 0.03);
}

TEST(TrackingSimulator, PoseNoiseFollowsTheMarkerNoise)
{
    // The fitted pose of a 4-marker body moves its marker centroid by about noise / sqrt(4) per axis.
    const double noise = 0.5;
    const TrackingSimulator simulator(settingsFor(TrackingSimulator::Scenario::Pivot, noise));
    const auto* reference = TrackingSimulator::groundTruth().tool("Reference");
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    for (const Eigen::Vector3d& marker : reference->markers_Tool)
        centroid += marker / 4.0;
    double squared = 0.0;
    const int frames = 2000;
    for (int k = 0; k < frames; ++k)
    {
        const auto frame = simulator.frame(k);
        const TrackingInstrument& measured = find(frame, "Reference");
        squared +=
          (apply(measured.matrix, centroid) - apply(simulator.truePose("Reference", k), centroid)).squaredNorm();
    }
    const double perAxis = std::sqrt(squared / frames / 3.0);
    EXPECT_NEAR(perAxis, noise / 2.0, 0.1 * noise / 2.0);
}

TEST(TrackingSimulator, ValidatesSettingsAndNamesScenarios)
{
    TrackingSimulator::Settings settings;
    EXPECT_EQ(TrackingSimulator::validate(settings), "");
    settings.rateHz = 0.0;
    EXPECT_NE(TrackingSimulator::validate(settings).find("rate"), std::string::npos);
    settings.rateHz = 60.0;
    settings.noiseMm = std::nan("");
    EXPECT_NE(TrackingSimulator::validate(settings).find("noise"), std::string::npos);
    settings.noiseMm = 0.1;
    settings.dropoutProbability = 1.5;
    EXPECT_NE(TrackingSimulator::validate(settings).find("dropout"), std::string::npos);
    for (const char* name : { "pivot", "spin", "landmarks", "insertion" })
        EXPECT_STREQ(TrackingSimulator::scenarioName(*TrackingSimulator::scenarioFromName(name)), name);
    EXPECT_FALSE(TrackingSimulator::scenarioFromName("Pivot"));
}
