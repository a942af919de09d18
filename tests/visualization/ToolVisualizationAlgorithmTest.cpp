#include "visualization/ToolVisualizationAlgorithm.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <limits>
#include <optional>
#include <thread>
#include <tuple>
#include <typeinfo>

#include <Eigen/LU>
#include <gtest/gtest.h>

#include "core/FileSystem.h"
#include "core/Log.h"
#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "lib/TrackedSharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingStreamData.h"

#include "FittedCalibration.h"
#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "WaitUntil.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Algo = ToolVisualizationAlgorithm;

void expectNear(const Eigen::Matrix4d& actual, const Eigen::Matrix4d& expected, double tolerance = 1e-8)
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
        openAndStart(stream);
        algorithm = std::make_unique<Algo>(&stream, nullptr);
        algorithm->p_trackingTargetId.setValue("needle");
        algorithm->setRunning(true);
        algorithm->signalToolUpdated.connect([this] { ++updates; });
    }

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
    std::atomic<int> updates{ 0 };
    std::unique_ptr<Algo> algorithm; // goes first, before anything its listener touches

private:
    int64_t m_timestamp = 0;
};
} // namespace

TEST_F(ToolVisualization, ToolMatrixIsRegistrationOverCalibratedReferenceTimesCalibratedTarget)
{
    for (const std::string reference : { "", "frame" })
        for (const bool calibrated : { false, true })
        {
            SCOPED_TRACE("reference '" + reference + (calibrated ? "', calibrated" : "'"));
            const Eigen::Matrix4d registration = randomRigid(rng), target = randomRigid(rng), frame = randomRigid(rng);
            Eigen::Matrix4d targetCalibration = Eigen::Matrix4d::Identity();
            Eigen::Matrix4d referenceCalibration = Eigen::Matrix4d::Identity();
            stream.setMatrix(registration);
            stream.components().remove(typeid(InstrumentCalibrationDataComponent));
            calibrations().setCalibration("other", randomRigid(rng), 0.0);
            if (calibrated)
            {
                calibrations().setCalibration("needle", targetCalibration = randomRigid(rng, 100.0), 0.0);
                calibrations().setCalibration("frame", referenceCalibration = randomRigid(rng, 100.0), 0.0);
            }
            algorithm->p_trackingTargetRelId.setValue(reference);

            // Ids match exactly, a later duplicate overrides an earlier one, and a nameless record is never the
            // (absent) reference.
            deliver({ instrument("", randomRigid(rng), 0.3), instrument("needle ", randomRigid(rng)),
                      instrument("Needle", randomRigid(rng)), instrument("needle", randomRigid(rng), 0.9),
                      instrument("needle", target, 0.8), instrument("frame", frame, 0.5) });
            const Eigen::Matrix4d trackerToReference =
              reference.empty() ? Eigen::Matrix4d::Identity()
                                : Eigen::Matrix4d(referenceCalibration.inverse() * frame.inverse());
            ASSERT_TRUE(algorithm->lastToolMatrix().has_value());
            ASSERT_TRUE(algorithm->rawToolMatrix().has_value());
            expectNear(*algorithm->lastToolMatrix(), registration * trackerToReference * target * targetCalibration);
            expectNear(*algorithm->rawToolMatrix(), target);
            EXPECT_DOUBLE_EQ(algorithm->lastQuality(), reference.empty() ? 0.8 : 0.4);
        }
    EXPECT_EQ(updates, 4);
}

// What the figures rest on travels with the pose: the age of the sample and what the target's calibration establishes
// (a fit's method when it says, else the matrix; nothing for none or the identity).
TEST_F(ToolVisualization, SnapshotSaysHowOldThePoseIsAndWhatItsCalibrationEstablishes)
{
    EXPECT_GE(algorithm->snapshot().sinceLastSampleUs, kStaleAfterUs) << "no sample yet";
    const Eigen::Matrix4d rotated = randomRigid(rng), shifted = translation({ 0.8, -140, 1.2 });
    const std::tuple<std::optional<Eigen::Matrix4d>, const char*, ToolCalibrationKnowledge> cases[] = {
        { std::nullopt, "", { false, false } },
        { Eigen::Matrix4d::Identity(), "", { false, false } },
        { shifted, "", { true, false } },
        { rotated, "", { true, true } },
        { Eigen::Matrix4d::Identity(), "pivot", { true, false } }, // a fit of a tip at the sensor
        { rotated, "axis", { false, true } },
    };
    for (const auto& [matrix, method, knowledge] : cases)
    {
        calibrations().removeCalibration("needle");
        if (matrix)
            calibrations().setCalibration("needle", { *matrix, 0.0 },
                                          *method ? std::optional(fittedBy(method)) : std::nullopt);
        deliver({ instrument("needle", randomRigid(rng)) });
        EXPECT_EQ(algorithm->snapshot().calibration, knowledge) << method;
        EXPECT_LT(algorithm->snapshot().sinceLastSampleUs, kStaleAfterUs);
    }
}

TEST_F(ToolVisualization, QualityMustBeStrictlyAboveTheThreshold)
{
    const Eigen::Matrix4d pose = randomRigid(rng);
    using Case = std::tuple<double, double, bool>; // threshold, quality, valid
    for (const auto& [threshold, quality, valid] :
         { Case{ 0.2, 0.2, false }, Case{ 0.2, std::nextafter(0.2, 1.0), true },
           Case{ 0.2, std::numeric_limits<double>::quiet_NaN(), false }, Case{ -1.0, 0.0, true } })
    {
        SCOPED_TRACE(quality);
        algorithm->p_qualityThreshold.setValue(threshold);
        deliver({ instrument("needle", pose, quality) });
        EXPECT_EQ(algorithm->lastToolMatrix().has_value(), valid);
        EXPECT_EQ(algorithm->rawToolMatrix().has_value(), valid);
    }
    // The threshold is read when the pose is asked for.
    algorithm->p_qualityThreshold.setValue(0.2);
    deliver({ instrument("needle", pose, 0.5) });
    EXPECT_TRUE(algorithm->lastToolMatrix().has_value());
    algorithm->p_qualityThreshold.setValue(0.5);
    EXPECT_FALSE(algorithm->lastToolMatrix().has_value());
}

TEST_F(ToolVisualization, AnAbsentTargetOrReferenceGivesNoPoseAndStoppedSamplesAreDropped)
{
    deliver({ instrument("needle", randomRigid(rng), 0.9) });
    ASSERT_TRUE(algorithm->lastToolMatrix().has_value());

    deliver({ instrument("other", randomRigid(rng), 0.9) });
    EXPECT_FALSE(algorithm->lastToolMatrix().has_value());
    EXPECT_FALSE(algorithm->rawToolMatrix().has_value());
    EXPECT_EQ(algorithm->lastQuality(), 0.0);

    // A configured reference that the sample lacks: the tool is not shown as if it were relative to the identity.
    algorithm->p_trackingTargetRelId.setValue("frame");
    deliver({ instrument("needle", randomRigid(rng), 0.9) });
    EXPECT_FALSE(algorithm->lastToolMatrix().has_value());
    EXPECT_EQ(updates, 3); // the signal follows every processed sample, found or not

    // While stopped, samples leave the last pose as it was.
    const Eigen::Matrix4d pose = randomRigid(rng);
    deliver({ instrument("needle", pose), instrument("frame", Eigen::Matrix4d::Identity()) });
    algorithm->setRunning(false);
    deliver({ instrument("other", randomRigid(rng)) });
    ASSERT_TRUE(algorithm->lastToolMatrix().has_value());
    expectNear(*algorithm->lastToolMatrix(), pose);
    EXPECT_EQ(updates, 4);
}

TEST(ToolVisualizationSamples, ANonTrackingSampleIsRejectedWithoutASignal)
{
    DriverStream stream;
    Algo algorithm(&stream, nullptr);
    algorithm.p_trackingTargetId.setValue("needle");
    algorithm.setRunning(true);
    int updates = 0;
    algorithm.signalToolUpdated.connect([&] { ++updates; });

    const Eigen::Matrix4d expected = pose({ 1, 2, 3 }, 0.5);
    stream.publish({ instrument("needle", expected) });
    {
        LogExpectation expect(Log::Error, "Tracking Stream data is null", 1);
        stream.publish(std::make_shared<StreamData>(&stream));
    }
    EXPECT_EQ(updates, 1);
    ASSERT_TRUE(algorithm.lastToolMatrix().has_value());
    EXPECT_EQ(*algorithm.lastToolMatrix(), expected);
    EXPECT_EQ(capturedLog().back().category, "ToolVisualizationAlgorithm");
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
    const auto points = randomPoints(rng, 5, 300.0);
    for (size_t i = 0; i < points.size(); ++i)
        fiducials.addFiducial(points[i], 0.5 + double(i),
                              TrackingInstrumentFiducialsData::instrumentKey(i < 3 ? "needle" : "frame"));
    // Stored with or without the target: fiducials do not depend on it.
    deliver({ instrument("frame", reference) }, components);

    const auto stored = algorithm->lastRawFiducialData();
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), points.size());
    const Eigen::Matrix4d trackerToWorld = registration * referenceCalibration.inverse() * reference.inverse();
    for (size_t i = 0; i < points.size(); ++i)
        EXPECT_LT((stored->points()[i] - apply(trackerToWorld, points[i])).norm(), 1e-9);
    EXPECT_EQ(stored->instrumentKeys(), fiducials.instrumentKeys());
    EXPECT_EQ(stored->values(), fiducials.values());

    // An empty fiducial list, or none at all, clears what was stored.
    DataComponentList empty;
    empty.getOrAdd<TrackingInstrumentFiducialsData>();
    deliver({ instrument("frame", reference) }, empty);
    EXPECT_FALSE(algorithm->lastRawFiducialData());
    deliver({ instrument("frame", reference) }, components);
    ASSERT_TRUE(algorithm->lastRawFiducialData());
    deliver({ instrument("frame", reference) });
    EXPECT_FALSE(algorithm->lastRawFiducialData());
}

TEST_F(ToolVisualization, UpdateReferenceMakesTheUnmovedToolAppearAtTheTarget)
{
    for (const std::string reference : { "", "frame" })
    {
        SCOPED_TRACE(reference);
        const Eigen::Matrix4d pose = randomRigid(rng);
        const Eigen::Matrix4d frame = randomRigid(rng);
        calibrations().setCalibration("needle", randomRigid(rng, 100.0), 0.0);
        calibrations().setCalibration("frame", randomRigid(rng, 100.0), 0.0);
        stream.setMatrix(randomRigid(rng));
        algorithm->p_trackingTargetRelId.setValue(reference);
        deliver({ instrument("needle", pose), instrument("frame", frame) });

        const Eigen::Matrix4d target = randomRigid(rng);
        ASSERT_TRUE(algorithm->updateReference(target));
        // Stored poses wait for the next sample.
        ASSERT_TRUE(algorithm->lastToolMatrix().has_value());
        EXPECT_GT((*algorithm->lastToolMatrix() - target).cwiseAbs().maxCoeff(), 1.0);
        deliver({ instrument("needle", pose), instrument("frame", frame) });
        ASSERT_TRUE(algorithm->lastToolMatrix().has_value());
        expectNear(*algorithm->lastToolMatrix(), target);
    }
}

// A matrix listener may hand work to another thread that reads the tool's pose and wait for it: the registration
// must be applied with the algorithm's lock released, or the two threads wait for each other.
TEST_F(ToolVisualization, UpdateReferenceCallsMatrixListenersWithoutItsLock)
{
    deliver({ instrument("needle", randomRigid(rng)) });
    bool readInTime = false;
    std::thread reader;
    SignalConnection listener = stream.signalMatrixChanged.connect(
      [&]
      {
          std::packaged_task<void()> read([&] { (void)algorithm->lastToolMatrix(); });
          std::future<void> done = read.get_future();
          reader = std::thread(std::move(read));
          readInTime = done.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
      });
    const bool updated = algorithm->updateReference(randomRigid(rng));
    listener.disconnect();
    if (reader.joinable())
        reader.join();
    EXPECT_TRUE(updated);
    EXPECT_TRUE(readInTime);
}

TEST_F(ToolVisualization, UpdateReferenceIsRefusedAndWritesNothing)
{
    struct Case
    {
        const char* name;
        double quality;
        Eigen::Matrix4d pose;
        const char* sampledReference; // selected when the sample arrives
        const char* target;           // selected when the registration is asked for
        const char* reference;
        const char* warning;
    };
    const Case cases[] = {
        { "low quality", 0.1, randomRigid(rng), "", "needle", "", "no valid pose" },
        // A singular pose still gives a finite tool matrix, but no registration can undo it.
        { "singular pose", 0.9, Eigen::Matrix4d::Zero(), "", "needle", "", "not invertible" },
        // The calibrations would be looked up for other instruments than the raw poses belong to.
        { "target changed", 0.9, randomRigid(rng), "", "pointer", "", "not for the selected target" },
        { "reference chosen", 0.9, randomRigid(rng), "", "needle", "frame", "not for the selected target" },
        { "reference changed", 0.9, randomRigid(rng), "frame", "needle", "base", "not for the selected target" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        algorithm->p_trackingTargetId.setValue("needle");
        algorithm->p_trackingTargetRelId.setValue(c.sampledReference);
        const Eigen::Matrix4d registration = randomRigid(rng);
        stream.setMatrix(registration);
        deliver({ instrument("needle", c.pose, c.quality), instrument("pointer", randomRigid(rng)),
                  instrument("frame", randomRigid(rng)), instrument("base", randomRigid(rng)) });
        algorithm->p_trackingTargetId.setValue(c.target);
        algorithm->p_trackingTargetRelId.setValue(c.reference);
        {
            LogExpectation expect(Log::Warning, c.warning, 1);
            EXPECT_FALSE(algorithm->updateReference(randomRigid(rng)));
        }
        EXPECT_EQ(capturedLog().back().category, "ToolVisualizationAlgorithm");
        EXPECT_EQ(stream.matrix(), registration);
    }
    Algo withoutStream(nullptr, nullptr);
    LogExpectation expect(Log::Warning, "no tracking stream", 1);
    EXPECT_FALSE(withoutStream.updateReference(Eigen::Matrix4d::Identity()));
}

TEST(ToolVisualizationConfiguration, DeprecatedNameKeysWarnAndSelectNothing)
{
    Algo algorithm(nullptr, nullptr);
    Properties properties;
    properties.setParam<std::string>("trackingTargetId", "needle-1");
    properties.setParam<std::string>("trackingTargetRelName", "Frame");
    properties.setParam<std::string>("trackingTargetName", "Needle");
    {
        LogExpectation expect(Log::Warning, "could not be selected with deprecated", 2);
        algorithm.configure(&properties);
    }
    const auto records = capturedLog();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].category, "");
    EXPECT_EQ(records[0].message,
              "Tracker Needle could not be selected with deprecated `trackingTargetName` parameter. Use the "
              "`trackingTargetId` or `trackingTargetRelId` with the unique TrackerID::ID instead to identify the "
              "tracking instruments.");
    EXPECT_EQ(records[1].message.find("Tracker Frame could not be selected with deprecated `trackingTargetRelName`"),
              0u);
    EXPECT_EQ(algorithm.p_trackingTargetId.value(), "needle-1");

    // An empty name is no reason to warn.
    Properties empty;
    empty.setParam<std::string>("trackingTargetName", "");
    algorithm.configure(&empty);
    EXPECT_EQ(capturedLog().size(), 2u);
}

TEST(ToolVisualizationConfiguration, FixAbsolutePath)
{
    const std::string name = "ToolVisualizationRelativeMesh.obj";
    std::ofstream(name) << "v 0 0 0\n";
    const std::string absolute = FileSystem::makeAbsolute(name);
    Algo algorithm(nullptr, nullptr);
    int changes = 0;
    algorithm.p_mesh.signalChanged.connect([&](ParameterBase*) { ++changes; });
    // Only a relative path to an existing file changes, with one change signal.
    for (const std::string& value : { std::string(), std::string(":/TrackingPointer.obj"), std::string("no/such.obj"),
                                      std::string("/proc/self/status"), "./" + name, absolute })
    {
        SCOPED_TRACE(value);
        algorithm.p_mesh.setValue(value);
        const int before = changes;
        Algo::fixAbsolutePath(algorithm.p_mesh);
        const bool fixed = value == "./" + name;
        EXPECT_EQ(algorithm.p_mesh.value(), fixed ? absolute : value);
        EXPECT_EQ(changes, before + int(fixed));
    }
    // configure applies it to the mesh.
    Properties properties;
    properties.setParam<std::string>("mesh", name);
    algorithm.configure(&properties);
    EXPECT_EQ(algorithm.p_mesh.value(), absolute);
    std::remove(name.c_str());
}

TEST(ToolVisualizationCreation, TheImagePlacementBecomesTheStreamRegistration)
{
    std::mt19937 rng(3);
    ManualTrackingStream stream;
    SharedImageSet volume("volume", { 4, 4, 4 }, { 1, 1, 1 });
    volume.setMatrix(randomRigid(rng));
    Algo onVolume(&stream, &volume);
    EXPECT_EQ(stream.matrix(), volume.matrix(-1));

    // A tracked set lends the registration its frames were recorded with; without a sequence there is none.
    TrackedSharedImageSet sweep("sweep", { 8, 8 }, { 0.5, 0.5 });
    sweep.setMatrix(randomRigid(rng));
    const Eigen::Matrix4d before = stream.matrix();
    {
        LogExpectation expect(Log::Warning, "has no tracking sequence", 1);
        Algo withoutSequence(&stream, &sweep);
    }
    EXPECT_EQ(stream.matrix(), before);
    auto sequence = std::make_shared<TrackingSequence>("track");
    sequence->setRegistration(randomRigid(rng));
    sweep.addTracking(sequence);
    Algo onSweep(&stream, &sweep);
    EXPECT_EQ(stream.matrix(), sequence->registration());
}

// Run under ThreadSanitizer and AddressSanitizer: the listener writes on the delivery thread while this thread
// reads and re-registers, then the algorithm is destroyed with samples still flowing; no sample may reach it
// afterwards.
TEST(ToolVisualizationThreads, DestructionWhileStreamingEndsTheListener)
{
    std::mt19937 rng(11);
    ManualTrackingStream stream;
    openAndStart(stream);
    const SampleCollector collector(stream);
    auto algorithm = std::make_unique<Algo>(&stream, nullptr);
    algorithm->p_trackingTargetId.setValue("needle");
    algorithm->setRunning(true);
    std::atomic<int> updates{ 0 };
    algorithm->signalToolUpdated.connect([&] { ++updates; });
    ASSERT_EQ(stream.signalStreamData.numConnections(), 2u);

    DataComponentList components;
    components.getOrAdd<TrackingInstrumentFiducialsData>().addFiducial({ 1, 2, 3 }, 1.0);
    std::atomic<bool> stop{ false };
    std::thread producer(
      [&]
      {
          std::mt19937 local(5);
          for (int64_t i = 1; !stop; ++i)
          {
              if (stream.numQueued() < 8)
                  stream.push({ instrument("needle", randomRigid(local)) }, i, components);
              else
                  std::this_thread::yield();
          }
      });

    EXPECT_TRUE(waitUntil(
      [&]
      {
          if (auto pose = algorithm->lastToolMatrix())
          {
              EXPECT_TRUE(pose->allFinite());
              // Every sample holds the target at full quality and the selection stays: never refused.
              EXPECT_TRUE(algorithm->updateReference(randomRigid(rng)));
          }
          if (auto fiducials = algorithm->lastRawFiducialData())
          {
              EXPECT_EQ(fiducials->size(), 1u);
          }
          return updates >= 100;
      }));
    algorithm.reset();
    EXPECT_EQ(stream.signalStreamData.numConnections(), 1u);

    const size_t delivered = collector.count();
    EXPECT_TRUE(waitUntil([&] { return collector.count() > delivered + 10; })); // still streaming
    stop = true;
    producer.join();
    constexpr int64_t kAfter = -1;
    stream.push({ instrument("needle", randomRigid(rng)) }, kAfter, components);
    ASSERT_TRUE(stream.waitUntilDelivered());
    ASSERT_TRUE(collector.last());
    EXPECT_EQ(collector.last()->timestampDevice(), kAfter);
    stream.close();
}
