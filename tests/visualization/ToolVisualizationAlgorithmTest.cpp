#include "visualization/ToolVisualizationAlgorithm.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include <Eigen/LU>
#include <gtest/gtest.h>

#include "core/FileSystem.h"
#include "core/Log.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "lib/TrackedSharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingStreamData.h"

#include "LogExpectation.h"
#include "VisualizationTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Algo = ToolVisualizationAlgorithm;

void expectNear(const Eigen::Matrix4d& actual, const Eigen::Matrix4d& expected, double tolerance = 1e-9)
{
    EXPECT_LT((actual - expected).cwiseAbs().maxCoeff(), tolerance) << "actual\n"
                                                                    << actual << "\nexpected\n"
                                                                    << expected;
}

/// A ManualTrackingStream (its own delivery thread, as a real tracker) with a running tool visualization on it.
class ToolVisualization : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(stream.open());
        ASSERT_TRUE(stream.start());
        algorithm = std::make_unique<Algo>(&stream, nullptr);
        algorithm->p_trackingTargetId.setValue("needle");
        algorithm->setRunning(true);
        algorithm->signalToolUpdated.connect([this] { ++updates; });
    }

    void TearDown() override
    {
        algorithm.reset();
        stream.close();
    }

    /// Publishes one sample and waits until the listener returned from it.
    void deliver(std::vector<TrackingInstrument> instruments, const DataComponentList& components = {})
    {
        stream.push(std::move(instruments), ++m_timestamp, components);
        ASSERT_TRUE(stream.waitUntilDelivered());
    }

    InstrumentCalibrationDataComponent& calibrations()
    {
        return stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
    }

    std::mt19937 rng{ 42 };
    ManualTrackingStream stream;
    std::unique_ptr<Algo> algorithm;
    std::atomic<int> updates{ 0 };

private:
    int64_t m_timestamp = 0;
};
} // namespace

TEST(ToolVisualizationConfiguration, ParametersAreRegisteredInOrderWithTheirDefaults)
{
    Algo fresh(nullptr, nullptr);
    Properties properties;
    fresh.configuration(&properties);
    const std::vector<std::string> keys = { "trackingTargetId",    "trackingTargetRelId", "mesh",
                                            "useFaceNormals",      "autostart",           "linkMPRs",
                                            "linkWithRot",         "showRawFiducials",    "qualityThreshold",
                                            "projectiveRendering", "snapToClosestAxis",   "ignoreInPlaneTranslation" };
    EXPECT_EQ(properties.params(), keys);
    EXPECT_EQ(properties.paramOr<std::string>("mesh", ""), ":/TrackingPointer.obj");
    EXPECT_EQ(properties.paramOr("qualityThreshold", 0.0), 0.2);
    EXPECT_TRUE(properties.paramOr("linkMPRs", false));
    EXPECT_TRUE(properties.paramOr("linkWithRot", false));
    EXPECT_FALSE(fresh.isRunning());
    EXPECT_FALSE(fresh.lastToolMatrix());
    EXPECT_FALSE(fresh.lastRawFiducialData());
    fresh.compute();
    EXPECT_EQ(fresh.status(), 0);
}

TEST_F(ToolVisualization, TargetWithoutReferenceIsRegistrationTimesPoseTimesCalibration)
{
    const Eigen::Matrix4d registration = randomRigid(rng);
    const Eigen::Matrix4d pose = randomRigid(rng);
    const Eigen::Matrix4d calibration = randomRigid(rng, 100.0);
    stream.setMatrix(registration);
    calibrations().setCalibration("needle", calibration, 0.0);
    calibrations().setCalibration("other", randomRigid(rng), 0.0);

    deliver({ instrument("other", randomRigid(rng), 0.9), instrument("needle", pose, 0.7) });
    ASSERT_TRUE(algorithm->lastToolMatrix());
    expectNear(*algorithm->lastToolMatrix(), registration * pose * calibration);
    expectNear(*algorithm->rawToolMatrix(), pose);
    EXPECT_DOUBLE_EQ(algorithm->lastQuality(), 0.7);
    EXPECT_EQ(updates, 1);
}

TEST_F(ToolVisualization, TargetRelativeToCalibratedReference)
{
    const Eigen::Matrix4d registration = randomRigid(rng);
    const Eigen::Matrix4d pose = randomRigid(rng);
    const Eigen::Matrix4d reference = randomRigid(rng);
    const Eigen::Matrix4d targetCalibration = randomRigid(rng, 100.0);
    const Eigen::Matrix4d referenceCalibration = randomRigid(rng, 100.0);
    stream.setMatrix(registration);
    calibrations().setCalibration("needle", targetCalibration, 0.0);
    calibrations().setCalibration("frame", referenceCalibration, 0.0);
    algorithm->p_trackingTargetRelId.setValue("frame");

    deliver({ instrument("needle", pose, 0.8), instrument("frame", reference, 0.5) });
    ASSERT_TRUE(algorithm->lastToolMatrix());
    expectNear(*algorithm->lastToolMatrix(),
               registration * referenceCalibration.inverse() * reference.inverse() * pose * targetCalibration);
    EXPECT_DOUBLE_EQ(algorithm->lastQuality(), 0.4);

    // Moving tracker and tool together (a rigid motion of the tracker) leaves the relative pose unchanged.
    const Eigen::Matrix4d trackerMotion = randomRigid(rng);
    deliver({ instrument("needle", trackerMotion * pose, 0.8), instrument("frame", trackerMotion * reference, 0.5) });
    expectNear(*algorithm->lastToolMatrix(),
               registration * referenceCalibration.inverse() * reference.inverse() * pose * targetCalibration, 1e-8);
}

TEST_F(ToolVisualization, MatchingIsByExactIdAndTheLastDuplicateWins)
{
    const Eigen::Matrix4d first = randomRigid(rng);
    const Eigen::Matrix4d second = randomRigid(rng);
    deliver({ instrument("needle ", randomRigid(rng)), instrument("Needle", randomRigid(rng)),
              instrument("needle", first, 0.9), instrument("needle", second, 0.6) });
    expectNear(*algorithm->lastToolMatrix(), second);
    EXPECT_DOUBLE_EQ(algorithm->lastQuality(), 0.6);

    // The same instrument may be target and reference at once: the relative pose is then the identity.
    algorithm->p_trackingTargetRelId.setValue("needle");
    deliver({ instrument("needle", first, 0.9) });
    expectNear(*algorithm->lastToolMatrix(), Eigen::Matrix4d::Identity());
    EXPECT_DOUBLE_EQ(algorithm->lastQuality(), 0.81);
}

TEST_F(ToolVisualization, AnInstrumentWithAnEmptyIdIsNeverTargetNorReference)
{
    // Empty ids name no instrument: a faulty device's nameless record must not become the (absent) reference
    // or an unconfigured target.
    const Eigen::Matrix4d pose = randomRigid(rng);
    deliver({ instrument("", randomRigid(rng), 0.1), instrument("needle", pose, 0.9) });
    expectNear(*algorithm->lastToolMatrix(), pose);
    EXPECT_DOUBLE_EQ(algorithm->lastQuality(), 0.9);

    algorithm->p_trackingTargetId.setValue("");
    deliver({ instrument("", randomRigid(rng), 0.9) });
    EXPECT_FALSE(algorithm->lastToolMatrix());
}

TEST_F(ToolVisualization, AMissingTargetOrReferenceGivesNoPose)
{
    deliver({ instrument("needle", randomRigid(rng), 0.9) });
    ASSERT_TRUE(algorithm->lastToolMatrix());

    deliver({ instrument("other", randomRigid(rng), 0.9) });
    EXPECT_FALSE(algorithm->lastToolMatrix());
    EXPECT_FALSE(algorithm->rawToolMatrix());
    EXPECT_EQ(algorithm->lastQuality(), 0.0);

    // A configured reference that the sample lacks: the tool is not shown as if it were relative to the identity.
    algorithm->p_trackingTargetRelId.setValue("frame");
    deliver({ instrument("needle", randomRigid(rng), 0.9) });
    EXPECT_FALSE(algorithm->lastToolMatrix());
    EXPECT_EQ(algorithm->lastQuality(), 0.0);

    // The signal follows every processed sample, found or not.
    EXPECT_EQ(updates, 3);
}

TEST_F(ToolVisualization, QualityMustBeStrictlyAboveTheThreshold)
{
    const Eigen::Matrix4d pose = randomRigid(rng);
    deliver({ instrument("needle", pose, 0.2) });
    EXPECT_FALSE(algorithm->lastToolMatrix());
    EXPECT_FALSE(algorithm->rawToolMatrix());

    deliver({ instrument("needle", pose, std::nextafter(0.2, 1.0)) });
    EXPECT_TRUE(algorithm->lastToolMatrix());

    deliver({ instrument("needle", pose, std::numeric_limits<double>::quiet_NaN()) });
    EXPECT_FALSE(algorithm->lastToolMatrix());

    // The threshold is read when the pose is asked for.
    deliver({ instrument("needle", pose, 0.5) });
    EXPECT_TRUE(algorithm->lastToolMatrix());
    algorithm->p_qualityThreshold.setValue(0.5);
    EXPECT_FALSE(algorithm->lastToolMatrix());
    algorithm->p_qualityThreshold.setValue(-1.0);
    deliver({ instrument("needle", pose, 0.0) });
    EXPECT_TRUE(algorithm->lastToolMatrix());
}

TEST_F(ToolVisualization, ASingularReferenceGivesNoPose)
{
    algorithm->p_trackingTargetRelId.setValue("frame");
    deliver({ instrument("needle", randomRigid(rng)), instrument("frame", Eigen::Matrix4d::Zero()) });
    EXPECT_FALSE(algorithm->lastToolMatrix());
}

TEST_F(ToolVisualization, CalibrationLookup)
{
    const Eigen::Matrix4d pose = randomRigid(rng);
    // No component on the stream: identity.
    deliver({ instrument("needle", pose) });
    expectNear(*algorithm->lastToolMatrix(), pose);

    // A component without this instrument: identity.
    calibrations().setCalibration("pointer", randomRigid(rng), 0.0);
    deliver({ instrument("needle", pose) });
    expectNear(*algorithm->lastToolMatrix(), pose);

    // Calibrations are read per sample, so a new calibration applies to the next one.
    const Eigen::Matrix4d calibration = randomRigid(rng, 50.0);
    calibrations().setCalibration("needle", calibration, 1.5);
    deliver({ instrument("needle", pose) });
    expectNear(*algorithm->lastToolMatrix(), pose * calibration);

    calibrations().removeCalibration("needle");
    deliver({ instrument("needle", pose) });
    expectNear(*algorithm->lastToolMatrix(), pose);
}

TEST_F(ToolVisualization, TheStreamRegistrationIsReadAtEverySample)
{
    const Eigen::Matrix4d pose = randomRigid(rng);
    deliver({ instrument("needle", pose) });
    expectNear(*algorithm->lastToolMatrix(), pose);

    const Eigen::Matrix4d registration = randomRigid(rng);
    stream.setMatrix(registration);
    // Not recomputed until a sample arrives.
    expectNear(*algorithm->lastToolMatrix(), pose);
    deliver({ instrument("needle", pose) });
    expectNear(*algorithm->lastToolMatrix(), registration * pose);
}

TEST_F(ToolVisualization, RawFiducialsAreTransformedIntoTheReferenceWorld)
{
    const Eigen::Matrix4d registration = randomRigid(rng);
    const Eigen::Matrix4d reference = randomRigid(rng);
    const Eigen::Matrix4d referenceCalibration = randomRigid(rng, 50.0);
    stream.setMatrix(registration);
    calibrations().setCalibration("frame", referenceCalibration, 0.0);
    algorithm->p_trackingTargetRelId.setValue("frame");

    DataComponentList components;
    auto& fiducials = components.getOrAdd<TrackingInstrumentFiducialsData>();
    std::uniform_real_distribution<double> coordinate(-300.0, 300.0);
    for (int i = 0; i < 5; ++i)
        fiducials.addFiducial({ coordinate(rng), coordinate(rng), coordinate(rng) }, 0.5 + i,
                              TrackingInstrumentFiducialsData::instrumentKey(i < 3 ? "needle" : "frame"));
    // Found with or without the target: fiducials do not depend on it.
    deliver({ instrument("frame", reference) }, components);

    const auto stored = algorithm->lastRawFiducialData();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 5u);
    const Eigen::Matrix4d trackerToWorld = registration * referenceCalibration.inverse() * reference.inverse();
    for (size_t i = 0; i < 5; ++i)
    {
        const Eigen::Vector3d expected = (trackerToWorld * fiducials.points()[i].homogeneous()).head<3>();
        EXPECT_LT((stored->points()[i] - expected).norm(), 1e-9);
    }
    EXPECT_EQ(stored->instrumentKeys(), fiducials.instrumentKeys());
    EXPECT_EQ(stored->values(), fiducials.values());

    // Each call hands out its own copy.
    auto copy = algorithm->lastRawFiducialData();
    copy->points().clear();
    EXPECT_EQ(algorithm->lastRawFiducialData()->size(), 5u);

    // An empty fiducial list, or none at all, clears what was stored.
    DataComponentList empty;
    empty.getOrAdd<TrackingInstrumentFiducialsData>();
    deliver({ instrument("frame", reference) }, empty);
    EXPECT_FALSE(algorithm->lastRawFiducialData());
    deliver({ instrument("frame", reference) }, components);
    EXPECT_TRUE(algorithm->lastRawFiducialData());
    deliver({ instrument("frame", reference) });
    EXPECT_FALSE(algorithm->lastRawFiducialData());
}

TEST_F(ToolVisualization, UpdateReferenceMakesTheUnmovedToolAppearAtTheTarget)
{
    const Eigen::Matrix4d pose = randomRigid(rng);
    const Eigen::Matrix4d calibration = randomRigid(rng, 100.0);
    calibrations().setCalibration("needle", calibration, 0.0);
    stream.setMatrix(randomRigid(rng));
    deliver({ instrument("needle", pose) });

    const Eigen::Matrix4d target = randomRigid(rng);
    ASSERT_TRUE(algorithm->updateReference(target));
    expectNear(stream.matrix(), target * calibration.inverse() * pose.inverse());
    // Stored poses wait for the next sample.
    EXPECT_GT((*algorithm->lastToolMatrix() - target).cwiseAbs().maxCoeff(), 1.0);
    deliver({ instrument("needle", pose) });
    expectNear(*algorithm->lastToolMatrix(), target, 1e-8);
}

TEST_F(ToolVisualization, UpdateReferenceHonoursTheReferenceInstrument)
{
    const Eigen::Matrix4d pose = randomRigid(rng);
    const Eigen::Matrix4d reference = randomRigid(rng);
    calibrations().setCalibration("needle", randomRigid(rng, 100.0), 0.0);
    calibrations().setCalibration("frame", randomRigid(rng, 100.0), 0.0);
    algorithm->p_trackingTargetRelId.setValue("frame");
    deliver({ instrument("needle", pose), instrument("frame", reference) });

    const Eigen::Matrix4d target = randomRigid(rng);
    ASSERT_TRUE(algorithm->updateReference(target));
    deliver({ instrument("needle", pose), instrument("frame", reference) });
    expectNear(*algorithm->lastToolMatrix(), target, 1e-8);
}

TEST_F(ToolVisualization, UpdateReferenceIsRefusedWithoutAValidPose)
{
    const Eigen::Matrix4d registration = randomRigid(rng);
    stream.setMatrix(registration);
    deliver({ instrument("needle", randomRigid(rng), 0.1) });
    {
        LogExpectation expect(Log::Warning, "no valid pose", 1);
        EXPECT_FALSE(algorithm->updateReference(randomRigid(rng)));
    }
    EXPECT_EQ(stream.matrix(), registration);

    // A singular target pose still gives a finite tool matrix, but no registration can undo it.
    deliver({ instrument("needle", Eigen::Matrix4d::Zero(), 0.9) });
    ASSERT_TRUE(algorithm->lastToolMatrix());
    {
        LogExpectation expect(Log::Warning, "not invertible", 1);
        EXPECT_FALSE(algorithm->updateReference(randomRigid(rng)));
    }
    EXPECT_EQ(stream.matrix(), registration);

    Algo withoutStream(nullptr, nullptr);
    LogExpectation expect(Log::Warning, "no tracking stream", 1);
    EXPECT_FALSE(withoutStream.updateReference(Eigen::Matrix4d::Identity()));
}

TEST_F(ToolVisualization, SamplesWhileStoppedAreDroppedAndThePoseStays)
{
    const Eigen::Matrix4d pose = randomRigid(rng);
    deliver({ instrument("needle", pose) });
    algorithm->setRunning(false);
    EXPECT_FALSE(algorithm->isRunning());
    deliver({ instrument("other", randomRigid(rng)) });
    expectNear(*algorithm->lastToolMatrix(), pose);
    EXPECT_EQ(updates, 1);

    algorithm->setRunning(true);
    deliver({ instrument("needle", pose * pose) });
    expectNear(*algorithm->lastToolMatrix(), pose * pose);
    EXPECT_EQ(updates, 2);
}

TEST(ToolVisualizationSamples, ANonTrackingSampleIsRejectedWithoutASignal)
{
    DriverStream stream;
    Algo algorithm(&stream, nullptr);
    algorithm.p_trackingTargetId.setValue("needle");
    algorithm.setRunning(true);
    int updates = 0;
    algorithm.signalToolUpdated.connect([&] { ++updates; });

    const Eigen::Matrix4d pose = Eigen::Matrix4d::Identity() * 2.0;
    stream.publish(std::make_shared<TrackingStreamData>(&stream, std::vector{ instrument("needle", pose) }));
    ASSERT_EQ(updates, 1);
    {
        LogExpectation expect(Log::Error, "Tracking Stream data is null", 2);
        stream.publish(std::make_shared<StreamData>(&stream));
        stream.publish(nullptr); // dropped by the stream itself
        stream.publish(std::shared_ptr<const StreamData>(std::make_shared<StreamData>(nullptr)));
    }
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(*algorithm.lastToolMatrix(), pose);
    const auto records = capturedLog();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().category, "ToolVisualizationAlgorithm");
}

TEST(ToolVisualizationConfiguration, DeprecatedNameKeysWarnAndSelectNothing)
{
    Algo algorithm(nullptr, nullptr);
    Properties properties;
    properties.setParam<std::string>("trackingTargetId", "needle-1");
    properties.setParam<std::string>("trackingTargetName", "Needle");
    properties.setParam<std::string>("trackingTargetRelName", "");
    {
        LogExpectation expect(Log::Warning, "Tracker Needle could not be selected", 1);
        algorithm.configure(&properties);
    }
    const auto records = capturedLog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].category, "");
    EXPECT_EQ(records[0].message,
              "Tracker Needle could not be selected with deprecated `trackingTargetName` parameter. Use the "
              "`trackingTargetId` or `trackingTargetRelId` with the unique TrackerID::ID instead to identify the "
              "tracking instruments.");
    EXPECT_EQ(algorithm.p_trackingTargetId.value(), "needle-1");
    EXPECT_EQ(algorithm.p_trackingTargetRelId.value(), "");

    // Both keys, in order; neither is ever written back.
    Properties both;
    both.setParam<std::string>("trackingTargetRelName", "Frame");
    both.setParam<std::string>("trackingTargetName", "Pointer");
    {
        LogExpectation expect(Log::Warning, "could not be selected with deprecated", 2);
        algorithm.configure(&both);
    }
    const auto after = capturedLog();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_NE(after[1].message.find("Pointer"), std::string::npos);
    EXPECT_NE(after[2].message.find("`trackingTargetRelName`"), std::string::npos);
    Properties saved;
    algorithm.configuration(&saved);
    EXPECT_FALSE(saved.hasParam("trackingTargetName"));
    EXPECT_FALSE(saved.hasParam("trackingTargetRelName"));

    algorithm.configure(nullptr); // nothing, no crash
}

TEST(ToolVisualizationConfiguration, RoundTripThroughXml)
{
    Algo first(nullptr, nullptr);
    first.p_trackingTargetId.setValue("a|b");
    first.p_trackingTargetRelId.setValue("frame");
    first.p_qualityThreshold.setValue(0.35);
    first.p_snapToClosestAxis.setValue(true);
    first.p_linkWithRot.setValue(false);
    Properties saved;
    first.configuration(&saved);
    const auto reloaded = Properties::fromXml(saved.toXml());
    ASSERT_TRUE(reloaded);

    Algo second(nullptr, nullptr);
    second.configure(reloaded.get());
    Properties again;
    second.configuration(&again);
    EXPECT_EQ(again, saved);
    EXPECT_EQ(second.p_trackingTargetId.value(), "a|b");
    EXPECT_EQ(second.p_qualityThreshold.value(), 0.35);
}

TEST(ToolVisualizationConfiguration, FixAbsolutePath)
{
    Parameter<std::string> path("mesh", "");
    int changes = 0;
    path.signalChanged.connect([&](ParameterBase*) { ++changes; });

    for (const std::string& untouched : { std::string(), std::string(":/TrackingPointer.obj"),
                                          std::string("no/such/file.obj"), std::string("/proc/self/status") })
    {
        path.setValue(untouched);
        const int before = changes;
        Algo::fixAbsolutePath(path);
        EXPECT_EQ(path.value(), untouched);
        EXPECT_EQ(changes, before);
    }

    // A relative path to an existing file becomes absolute, with one change signal.
    const std::string name =
      "ToolVisualizationFixAbsolutePath-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".obj";
    {
        std::ofstream file(name);
        file << "v 0 0 0\n";
    }
    path.setValue("./" + name);
    const int before = changes;
    Algo::fixAbsolutePath(path);
    EXPECT_EQ(path.value(), FileSystem::makeAbsolute(name));
    EXPECT_FALSE(FileSystem::isRelative(path.value()));
    EXPECT_EQ(changes, before + 1);
    // Idempotent: an absolute path is left alone.
    Algo::fixAbsolutePath(path);
    EXPECT_EQ(changes, before + 1);

    // configure applies it to the mesh.
    Algo algorithm(nullptr, nullptr);
    Properties properties;
    properties.setParam<std::string>("mesh", name);
    algorithm.configure(&properties);
    EXPECT_EQ(algorithm.p_mesh.value(), FileSystem::makeAbsolute(name));
    std::remove(name.c_str());
}

TEST(ToolVisualizationCreation, CreateCompatible)
{
    ManualTrackingStream stream;
    ManualTrackingStream second;
    SharedImageSet volume("volume", { 4, 4, 4 }, { 1, 1, 1 });
    TrackingSequence sequence("sequence");

    EXPECT_FALSE(Algo::createCompatible(DataList{}, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &volume }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &sequence }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &volume, &second }, nullptr));
    EXPECT_TRUE(Algo::createCompatible(DataList{ &stream }, nullptr));
    EXPECT_TRUE(Algo::createCompatible(DataList{ &volume, &stream }, nullptr));
    EXPECT_TRUE(Algo::createCompatible(DataList{ &stream, &second }, nullptr));

    // Built on the first stream and the image, whose placement becomes the stream's registration.
    Eigen::Matrix4d placement = Eigen::Matrix4d::Identity();
    placement.topRightCorner<3, 1>() = Eigen::Vector3d(10, -20, 30);
    volume.setMatrix(placement);
    std::unique_ptr<Algorithm> created;
    ASSERT_TRUE(Algo::createCompatible(DataList{ &volume, &stream }, &created));
    auto* algorithm = dynamic_cast<Algo*>(created.get());
    ASSERT_TRUE(algorithm);
    EXPECT_EQ(algorithm->trackingStream(), &stream);
    EXPECT_EQ(stream.matrix(), placement);
}

TEST(ToolVisualizationCreation, ATrackedImageSetLendsItsTrackingRegistration)
{
    std::mt19937 rng(3);
    ManualTrackingStream stream;
    TrackedSharedImageSet sweep("sweep", { 8, 8 }, { 0.5, 0.5 });
    sweep.setMatrix(randomRigid(rng));

    // Without a tracking sequence there is no registration to take: the stream's stays, with a warning.
    const Eigen::Matrix4d before = randomRigid(rng);
    stream.setMatrix(before);
    {
        LogExpectation expect(Log::Warning, "has no tracking sequence", 1);
        Algo algorithm(&stream, &sweep);
    }
    EXPECT_EQ(stream.matrix(), before);

    auto sequence = std::make_shared<TrackingSequence>("track");
    const Eigen::Matrix4d registration = randomRigid(rng);
    sequence->setRegistration(registration);
    sweep.addTracking(sequence);
    Algo algorithm(&stream, &sweep);
    EXPECT_EQ(stream.matrix(), registration);

    // An image without a stream is no reason to crash.
    Algo noStream(nullptr, &sweep);
    EXPECT_EQ(noStream.trackingStream(), nullptr);
}

// Run under ThreadSanitizer: the listener writes on the delivery thread while the user-interface thread reads the
// pose and fiducials, changes parameters, re-registers and finally destroys the algorithm mid-stream.
TEST(ToolVisualizationThreads, ReadersWritersAndDestructionWhileStreaming)
{
    std::mt19937 rng(11);
    ManualTrackingStream stream;
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());
    auto algorithm = std::make_unique<Algo>(&stream, nullptr);
    algorithm->p_trackingTargetId.setValue("needle");
    algorithm->setRunning(true);
    std::atomic<int> updates{ 0 };
    algorithm->signalToolUpdated.connect([&] { ++updates; });

    DataComponentList components;
    components.getOrAdd<TrackingInstrumentFiducialsData>().addFiducial({ 1, 2, 3 }, 1.0);
    std::atomic<bool> done{ false };
    std::thread producer(
      [&]
      {
          std::mt19937 local(5);
          for (int i = 0; i < 400; ++i)
          {
              stream.push({ instrument("needle", randomRigid(local)), instrument("frame", randomRigid(local)) }, i,
                          components);
              if (i % 50 == 0)
                  stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
                    "needle", randomRigid(local, 10.0), 0.0);
          }
          done = true;
      });

    // On a loaded machine the producer may not have run yet; the reads below only race with the listener once
    // samples flow.
    for (int wait = 0; wait < 10000 && updates == 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int reads = 0;
    int updatesAtDestruction = -1;
    while (!done || stream.numQueued() > 0)
    {
        if (auto pose = algorithm->lastToolMatrix())
        {
            EXPECT_TRUE(pose->allFinite());
            // Every sample holds both instruments at full quality, so once a pose is valid it stays valid and
            // the re-registration is never refused.
            if (reads % 7 == 0)
            {
                EXPECT_TRUE(algorithm->updateReference(randomRigid(rng)));
            }
        }
        if (auto fiducials = algorithm->lastRawFiducialData())
        {
            EXPECT_EQ(fiducials->size(), 1u);
        }
        algorithm->p_trackingTargetRelId.setValue(reads % 2 ? "frame" : "");
        algorithm->p_qualityThreshold.setValue(reads % 3 ? 0.2 : 0.1);
        algorithm->setRunning(reads % 5 != 0 || reads < 10);
        if (++reads == 300)
        {
            // Destroyed while samples keep coming: afterwards its listener never runs again.
            algorithm.reset();
            updatesAtDestruction = updates;
            break;
        }
        std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(stream.waitUntilDelivered());
    if (updatesAtDestruction >= 0)
    {
        EXPECT_EQ(updates.load(), updatesAtDestruction);
    }
    EXPECT_GT(updates.load(), 0);
    stream.close();
}
