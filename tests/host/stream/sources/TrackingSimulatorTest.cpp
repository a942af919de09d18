#include "stream/sources/TrackingSimulator.h"

#include <cmath>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "TrackingTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{

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

const TrackingInstrument& find(const TrackingSimulator::Frame& frame, const std::string& id)
{
    for (const TrackingInstrument& instrument : frame.instruments)
        if (instrument.ID() == id)
            return instrument;
    throw std::runtime_error("no instrument " + id);
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
        for (size_t i = 0; i < fa.instruments.size(); ++i)
            EXPECT_EQ(fa.instruments[i].matrix, fb.instruments[i].matrix);
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
    // No drift: one hour of frames is exactly one hour of device time.
    EXPECT_EQ(at60.deviceTimestamp(60 * 3600) - at60.deviceTimestamp(0), int64_t(3600) * 1'000'000);
    settings.rateHz = 250.0;
    const TrackingSimulator at250(settings);
    EXPECT_EQ(at250.deviceTimestamp(7) - at250.deviceTimestamp(6), 4000);
    EXPECT_EQ(at250.frame(3).timestampDevice, at250.deviceTimestamp(3));
    EXPECT_EQ(at250.frame(3).instruments[0].timestamp, at250.deviceTimestamp(3));
}

TEST(TrackingSimulator, NoiseFreeFramesAreTheGroundTruthOfEachScenario)
{
    using Scenario = TrackingSimulator::Scenario;
    const auto& truth = TrackingSimulator::groundTruth();
    const auto landmarks = truth.landmarks_Tracker();
    const Eigen::Vector3d path = truth.pathTarget_Tracker - truth.pathEntry_Tracker;
    const Eigen::Vector3d needleAxis = truth.tool("Needle")->axis_Tool;
    const int landmarkCycle = int(60 * 3.0 * landmarks.size());
    for (auto scenario : { Scenario::Pivot, Scenario::Spin, Scenario::Landmarks, Scenario::Insertion, Scenario::Sweep })
    {
        SCOPED_TRACE(TrackingSimulator::scenarioName(scenario));
        const TrackingSimulator simulator(settingsFor(scenario, 0.0));
        const auto tip = [&](const char* id, int k)
        { return apply(simulator.truePose(id, k), truth.tool(id)->tipOffset_Tool); };
        const auto needleDirection = [&](int k)
        { return Eigen::Vector3d(simulator.truePose("Needle", k).topLeftCorner<3, 3>() * needleAxis); };
        std::vector<int> touched;
        double deepest = -1e9, shallowest = 1e9;
        double widest = 1.0; // the sweep's widest direction from the reachable side, as a cosine
        for (int k = 0; k < landmarkCycle; k += 3)
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
                // FNV-1a of "Pointer", "Needle", "Reference", computed independently of the host's helper.
                uint64_t hash = 0xcbf29ce484222325ull;
                for (unsigned char c : tool.id)
                    hash = (hash ^ c) * 0x100000001b3ull;
                for (const Eigen::Vector3d& point : tool.markers_Tool)
                {
                    EXPECT_LT((frame.fiducials.points()[marker] - apply(expected, point)).norm(), 1e-9);
                    EXPECT_GT(frame.fiducials.values()[marker], 0.0);
                    EXPECT_EQ(frame.fiducials.instrumentKeys()[marker++], hash);
                }
            }
            switch (scenario)
            {
                case Scenario::Pivot: // both tools pivot, each in its own dimple
                    EXPECT_LT((tip("Pointer", k) - truth.pivotPoint_Tracker).norm(), 1e-9);
                    EXPECT_LT((tip("Needle", k) - truth.needlePivotPoint_Tracker).norm(), 1e-9);
                    break;
                case Scenario::Spin: // both tools spin about their axes, each on the other's pivot point
                    EXPECT_LT((needleDirection(k) - truth.spinDirection_Tracker).norm(), 1e-9);
                    EXPECT_LT((tip("Needle", k) - truth.pivotPoint_Tracker).norm(), 1e-9);
                    EXPECT_LT((tip("Pointer", k) - truth.needlePivotPoint_Tracker).norm(), 1e-9);
                    EXPECT_LT(
                      (simulator.truePose("Pointer", k).topLeftCorner<3, 3>() * truth.tool("Pointer")->axis_Tool -
                       truth.spinDirection_Tracker)
                        .norm(),
                      1e-9);
                    break;
                case Scenario::Landmarks:
                    if (const int index = simulator.touchedLandmark(k); index >= 0)
                    {
                        if (touched.empty() || touched.back() != index)
                            touched.push_back(index);
                        EXPECT_LT((tip("Pointer", k) - landmarks[size_t(index)]).norm(), 1e-9);
                    }
                    break;
                case Scenario::Insertion:
                    deepest = std::max(deepest, simulator.insertionDepth(k));
                    shallowest = std::min(shallowest, simulator.insertionDepth(k));
                    EXPECT_LT(
                      (tip("Needle", k) - truth.pathEntry_Tracker - simulator.insertionDepth(k) * path.normalized())
                        .norm(),
                      1e-9);
                    EXPECT_LT((needleDirection(k) - path.normalized()).norm(), 1e-9);
                    break;
                case Scenario::Sweep: // the pointer's tip on the body's skin, the pointer pointing into it
                {
                    const auto body = truth.body_Phantom();
                    const Eigen::Vector3d onSkin = apply(truth.phantomToTracker.inverse(), tip("Pointer", k));
                    const Eigen::Vector3d scaled = (onSkin - body.centre).cwiseQuotient(body.semiAxes);
                    EXPECT_NEAR(scaled.norm(), 1.0, 1e-9);
                    const Eigen::Vector3d outward =
                      truth.phantomToTracker.topLeftCorner<3, 3>() * scaled.cwiseQuotient(body.semiAxes).normalized();
                    const Eigen::Vector3d axis =
                      simulator.truePose("Pointer", k).topLeftCorner<3, 3>() * truth.tool("Pointer")->axis_Tool;
                    EXPECT_LT((axis + outward).norm(), 1e-9);
                    widest = std::min(widest, scaled.normalized().dot(Eigen::Vector3d(0.2, -1.0, 0.6).normalized()));
                    break;
                }
            }
        }
        if (scenario == Scenario::Landmarks)
        {
            EXPECT_EQ(touched, std::vector<int>({ 0, 1, 2, 3, 4, 5 }));
            EXPECT_EQ(simulator.touchedLandmark(landmarkCycle), 0); // it starts over
            // The phantom hangs on the reference.
            EXPECT_LT((simulator.truePose("Reference", 5) - truth.referenceToTracker).norm(), 1e-12);
        }
        if (scenario == Scenario::Insertion)
        {
            EXPECT_NEAR(deepest, path.norm(), 1e-9); // reaches the target
            EXPECT_NEAR(shallowest, -20.0, 0.5);     // starts outside
        }
        // A patch on the reachable side, not a line and not all round.
        if (scenario == Scenario::Sweep)
        {
            EXPECT_LT(widest, std::cos(35.0 * kDegree));
            EXPECT_GT(widest, std::cos(70.0 * kDegree));
        }
    }
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
