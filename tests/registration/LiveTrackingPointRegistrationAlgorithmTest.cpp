#include "registration/LiveTrackingPointRegistrationAlgorithm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include <Eigen/LU>
#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"
#include "stream/sources/TrackingSimulator.h"

#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "WaitUntil.h"
#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationAlgorithm.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Algo = LiveTrackingPointRegistrationAlgorithm;

/// A pose of an instrument whose calibrated tip (pose · calibration) is at `tip`, with a random orientation.
Eigen::Matrix4d poseWithTip(std::mt19937& rng, const Eigen::Vector3d& tip, const Eigen::Matrix4d& calibration)
{
    Eigen::Matrix4d pose = randomRigid(rng);
    pose.topRightCorner<3, 1>() = tip - pose.topLeftCorner<3, 3>() * calibration.topRightCorner<3, 1>();
    return pose;
}

/// The messages logged since the test started in one category.
std::vector<std::string> messagesOf(const std::string& category)
{
    std::vector<std::string> result;
    for (const auto& record : capturedLog())
        if (record.category == category)
            result.push_back(record.message);
    return result;
}

bool logged(const std::string& category, const std::string& prefix)
{
    const auto all = messagesOf(category);
    return std::any_of(all.begin(), all.end(), [&](const auto& m) { return m.rfind(prefix, 0) == 0; });
}

class LiveRegistration : public ::testing::Test
{
protected:
    void SetUp() override
    {
        stream.setMainInstrumentId("pointer");
        openAndStart(stream);
        algorithm = std::make_unique<Algo>(stream, volume);
    }

    InstrumentCalibrationDataComponent& calibrations()
    {
        return stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
    }

    Eigen::Matrix4d calibrationOf(const std::string& id)
    {
        const auto* component = stream.components().get<InstrumentCalibrationDataComponent>();
        const auto c = component ? component->calibration(id) : std::nullopt;
        return c ? c->matrix : Eigen::Matrix4d::Identity();
    }

    /// Touches the image points `p` with the pointer, whose calibrated tip is at `toTracker` · p (in tracker space,
    /// or in the reference frame when `reference` is set, with a new reference pose for every point), and pairs
    /// each tracked point with its image point.
    void collect(std::mt19937& rng, const std::vector<Eigen::Vector3d>& p, const Eigen::Matrix4d& toTracker,
                 bool reference = false)
    {
        const Eigen::Matrix4d calibration = calibrationOf("pointer");
        const int first = algorithm->pointsOnTrackingStream().size();
        for (size_t i = 0; i < p.size(); ++i)
        {
            const Eigen::Vector3d q = apply(toTracker, p[i]);
            const Eigen::Matrix4d r = reference ? randomRigid(rng) : Eigen::Matrix4d::Identity();
            std::vector<TrackingInstrument> sample{ instrument("pointer", poseWithTip(rng, apply(r, q), calibration)) };
            if (reference)
                sample.push_back(instrument("reference", r));
            feed(stream, sample);
            Eigen::Vector3d sampled;
            ASSERT_EQ(algorithm->addLiveTrackingPoint(sampled), std::optional<int>(first + int(i)));
            EXPECT_LT((sampled - q).norm(), 1e-9);
            ASSERT_TRUE(algorithm->setVolumePoint(first + int(i), p[i]));
        }
    }

    ManualTrackingStream stream;
    SharedImageSet volume{ "volume", Eigen::Vector3i(16, 16, 16), Eigen::Vector3d(1, 1, 1) };
    std::unique_ptr<Algo> algorithm;
};
} // namespace

TEST_F(LiveRegistration, SamplesOnlyAUsableTargetRelativeToAUsableReference)
{
    const Eigen::Matrix4d tool = translation({ 10, 20, 30 }), frame = pose({ 0, 0, 50 }, 90 * kDegree);
    const Eigen::Vector3d inTracker(10, 20, 30), inFrame = apply(frame.inverse(), inTracker);
    const TrackingInstrument pointer = instrument("pointer", tool), reference = instrument("reference", frame);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row
    {
        const char* what;
        std::string target;
        std::optional<std::string> relative;
        std::vector<std::vector<TrackingInstrument>> samples;
        std::optional<Eigen::Vector3d> expected;
    };
    const Row rows[] = {
        { "quality 0.8", "pointer", {}, { { instrument("pointer", tool, 0.8) } }, inTracker },
        { "quality 0.79", "pointer", {}, { { instrument("pointer", tool, 0.79) } }, {} },
        { "not tracked", "pointer", {}, { { instrument("pointer", tool, 1.0, false) } }, {} },
        { "quality NaN", "pointer", {}, { { instrument("pointer", tool, nan) } }, {} },
        { "later samples without it", "pointer", {}, { { pointer }, { reference }, {} }, inTracker },
        { "relative", "pointer", "reference", { { pointer, instrument("reference", frame, 0.8) } }, inFrame },
        { "reference at 0.79", "pointer", "reference", { { pointer, instrument("reference", frame, 0.79) } }, {} },
        { "reference never seen", "pointer", "reference", { { pointer } }, {} },
        { "empty reference id", "pointer", "", { { pointer, instrument("", frame) } }, inTracker },
        { "empty target id", "", {}, { { instrument("", tool) } }, {} },
    };
    for (const Row& row : rows)
    {
        Algo registration(stream, volume);
        registration.pointsOnTrackingStream().setTrackerId(row.target);
        registration.pointsOnTrackingStream().setRelativeTrackerId(row.relative);
        for (const auto& sample : row.samples)
            feed(stream, sample);
        Eigen::Vector3d point(-1, -1, -1);
        const auto index = registration.addLiveTrackingPoint(point);
        EXPECT_EQ(index.has_value(), row.expected.has_value()) << row.what;
        EXPECT_TRUE(point.isApprox(row.expected.value_or(Eigen::Vector3d(-1, -1, -1)), 1e-12)) << row.what;
        EXPECT_EQ(registration.pointsOnTrackingStream().size(), index ? 1 : 0) << row.what;
    }

    // A record kept from the target chosen before is not a sample of the one chosen now.
    feed(stream, { pointer });
    algorithm->pointsOnTrackingStream().setTrackerId("needle");
    Eigen::Vector3d point;
    EXPECT_FALSE(algorithm->addLiveTrackingPoint(point));
}

TEST_F(LiveRegistration, VolumeMovingTypesPlaceTheVolumeOnTheTrackedPoints)
{
    std::mt19937 rng(17);
    for (const auto type : { Algo::GlobalTracking, Algo::AdjustVolumeRegistration })
    {
        algorithm->resetCorrespondences();
        const Eigen::Matrix4d placement = randomRigid(rng), streamToWorld = randomRigid(rng), truth = randomRigid(rng);
        volume.setMatrix(placement);
        stream.setMatrix(streamToWorld);
        calibrations().setCalibration("pointer", randomRigid(rng, 150.0), 0.0);
        calibrations().setCalibration("reference", randomRigid(rng), 0.7);
        algorithm->pointsOnTrackingStream().setRelativeTrackerId(
          type == Algo::GlobalTracking ? std::nullopt : std::optional<std::string>("reference"));
        algorithm->registrationType().setValue(type);
        collect(rng, randomPoints(rng, 5), streamToWorld.inverse() * placement * truth, type != Algo::GlobalTracking);

        algorithm->compute();
        EXPECT_EQ(algorithm->status(), 0);
        EXPECT_TRUE(algorithm->trackerToVolumeTransform().isApprox(truth, 1e-9));
        EXPECT_TRUE(volume.matrix().isApprox(placement * truth, 1e-9));
        EXPECT_NEAR(*algorithm->registrationError(), 0.0, 1e-9);
        EXPECT_NEAR(*algorithm->predictedTreAtCentroid(0.5), 0.5 / std::sqrt(5.0), 1e-12);
        EXPECT_TRUE(stream.matrix().isApprox(streamToWorld, 1e-12)) << "the stream keeps its registration";
        const bool reset = calibrationOf("reference") == Eigen::Matrix4d::Identity();
        EXPECT_EQ(reset, type == Algo::AdjustVolumeRegistration);
    }
    EXPECT_TRUE(logged("LiveTrackingPointRegistrationAlgorithm", "Registration error: "));
    // Log filters select the result messages by this category.
    const auto messages = messagesOf("LiveTrackingPointRegistration");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].rfind("Global registration successfull. Image registration was updated: T = \n", 0), 0u);
    EXPECT_EQ(messages[1].rfind("Relative registration successfull. Image registration was updated: T = \n", 0), 0u);
    EXPECT_EQ(messages[2], "Calibration of relative tracker reset to unity.");
}

// Views of the tool relative to the reference, opened before and after the registration, with and without the
// image (which places the stream at the volume), in either order; the stream is placed elsewhere at first.
TEST_F(LiveRegistration, RelativeCalibrationPutsTheToolOnTheVolumeInEveryView)
{
    std::mt19937 rng(23);
    const Eigen::Matrix4d placement = randomRigid(rng), pointerCalibration = randomRigid(rng, 150.0);
    volume.setMatrix(placement);
    calibrations().setCalibration("pointer", pointerCalibration, 0.0);
    const Eigen::Matrix4d imageToReference = randomRigid(rng); // the phantom is fixed to the reference

    std::vector<std::unique_ptr<Algorithm>> owners;
    std::vector<std::pair<std::string, ToolVisualizationAlgorithm*>> views;
    // Each view follows the pointer relative to the reference.
    const auto open = [&](ToolVisualizationAlgorithm& view, const std::string& name)
    {
        view.p_trackingTargetId.setValue("pointer");
        view.p_trackingTargetRelId.setValue("reference");
        view.setRunning(true);
        views.emplace_back(name, &view);
    };
    const auto openWithImage = [&](const std::string& when)
    {
        owners.push_back(std::make_unique<ToolVisualizationAlgorithm>(&stream, &volume));
        open(static_cast<ToolVisualizationAlgorithm&>(*owners.back()), "with image " + when);
    };
    const auto openWithoutImage = [&](const std::string& when)
    {
        auto plain = std::make_unique<ToolVisualizationAlgorithm>(&stream, nullptr);
        auto bullseye = std::make_unique<BullseyeVisualizationAlgorithm>(&stream, &volume);
        auto navigation = std::make_unique<ToolNavigationVisualizationAlgorithm>(&stream);
        open(*plain, "without image " + when);
        open(bullseye->toolVisAlg(), "bullseye " + when);
        open(navigation->toolVisualization(), "navigation " + when);
        owners.push_back(std::move(plain));
        owners.push_back(std::move(bullseye));
        owners.push_back(std::move(navigation));
    };
    // The pointer touches an image point with the reference anywhere; every view draws its tip there.
    const auto expectToolOnTheVolume = [&]
    {
        const Eigen::Vector3d target(12, -7, 30);
        const Eigen::Matrix4d frame = randomRigid(rng);
        const Eigen::Vector3d touched = apply(frame * imageToReference, target);
        feed(stream,
             { instrument("pointer", poseWithTip(rng, touched, pointerCalibration)), instrument("reference", frame) });
        for (const auto& [name, view] : views)
        {
            const auto tool = view->lastToolMatrix();
            ASSERT_TRUE(tool) << name;
            EXPECT_LT((tool->topRightCorner<3, 1>() - volume.imageToWorld(target)).norm(), 1e-6) << name;
        }
    };

    openWithImage("before");
    openWithoutImage("before");
    const Eigen::Matrix4d streamToWorld = randomRigid(rng);
    stream.setMatrix(streamToWorld);
    algorithm->pointsOnTrackingStream().setRelativeTrackerId(std::string("reference"));
    algorithm->registrationType().setValue(Algo::AdjustRelativeCalibration);
    collect(rng, randomPoints(rng, 5), imageToReference, true);
    algorithm->compute();
    ASSERT_EQ(algorithm->status(), 0);
    EXPECT_TRUE(
      algorithm->trackerToVolumeTransform().isApprox(placement.inverse() * streamToWorld * imageToReference, 1e-9));
    EXPECT_TRUE(volume.matrix().isApprox(placement, 1e-12)) << "the volume is not moved";
    EXPECT_TRUE(calibrationOf("reference").isApprox(imageToReference, 1e-9));
    expectToolOnTheVolume();
    openWithoutImage("after");
    expectToolOnTheVolume();
    openWithImage("after");
    expectToolOnTheVolume();

    EXPECT_TRUE(logged("LiveTrackingPointRegistrationAlgorithm",
                       "Relative registration successfull. Image registration is kept unchanged. Calibration of "
                       "relative tracker is set to C=\n"));
    EXPECT_TRUE(messagesOf("LiveTrackingPointRegistration").empty());
}

TEST_F(LiveRegistration, RefusalsChangeNothing)
{
    std::mt19937 rng(29);
    const auto four = randomPoints(rng, 4);
    const std::vector<Eigen::Vector3d> collinear{ { 0, 0, 0 }, { 10, 10, 10 }, { 25, 25, 25 } };
    struct Row
    {
        std::vector<Eigen::Vector3d> pairs; // besides a lone tracked point, which never makes a pair
        int type;
        std::optional<std::string> relative;
        int status;
        const char* error;
    };
    const Row rows[] = {
        { { four[0], four[1] }, 0, {}, Algo::StatusUnusablePoints, "Need at least 3 point correspondeces" },
        { collinear, 0, {}, Algo::StatusUnusablePoints, "Registration failed" },
        { four, 2, {}, Algo::StatusNoRelativeTracker, "adjusts a relative tracker, but none is selected" },
        { four, 1, "", Algo::StatusNoRelativeTracker, "adjusts a relative tracker, but none is selected" },
        { four, 7, {}, Algo::StatusInvalidRegistrationType, "Unknown registration type 7" },
    };
    const Eigen::Matrix4d placement = randomRigid(rng), streamToWorld = randomRigid(rng);
    volume.setMatrix(placement);
    stream.setMatrix(streamToWorld);
    for (const Row& row : rows)
    {
        algorithm = std::make_unique<Algo>(stream, volume);
        collect(rng, row.pairs, randomRigid(rng));
        algorithm->pointsOnTrackingStream().addWorldPoint(Eigen::Vector3d(1, 2, 3));
        algorithm->pointsOnTrackingStream().setRelativeTrackerId(row.relative);
        Properties stored;
        stored.setParam("registrationType", row.type);
        algorithm->configure(&stored);
        {
            std::optional<LogExpectation> warning;
            if (row.pairs == collinear)
                warning.emplace(Log::Warning, "collinear", 1);
            LogExpectation expect(Log::Error, row.error, 1);
            algorithm->compute();
        }
        EXPECT_EQ(algorithm->status(), row.status) << row.error;
        EXPECT_EQ(algorithm->statusMessage().rfind("Not registered: ", 0), 0u) << row.error;
        EXPECT_EQ(volume.matrix(), placement) << row.error;
        EXPECT_EQ(stream.matrix(), streamToWorld) << row.error;
        EXPECT_EQ(algorithm->trackerToVolumeTransform(), Eigen::Matrix4d::Zero()) << row.error;
        EXPECT_FALSE(algorithm->registrationError() || algorithm->predictedTreAtCentroid()) << row.error;
    }
    EXPECT_EQ(stream.components().get<InstrumentCalibrationDataComponent>(), nullptr);
}

// Each type records what it changed; restoring puts exactly that back, and a second restore redoes the registration.
TEST_F(LiveRegistration, RestoringPutsBackExactlyWhatTheRegistrationChanged)
{
    std::mt19937 rng(41);
    const auto state = [&]
    {
        const auto* component = stream.components().get<InstrumentCalibrationDataComponent>();
        const auto reference = component ? component->calibration("reference") : std::nullopt;
        return std::make_tuple(volume.matrix(), stream.matrix(),
                               reference ? std::optional(reference->matrix) : std::nullopt);
    };
    for (const auto type : { Algo::GlobalTracking, Algo::AdjustVolumeRegistration, Algo::AdjustRelativeCalibration })
    {
        algorithm = std::make_unique<Algo>(stream, volume);
        volume.setMatrix(randomRigid(rng));
        stream.setMatrix(randomRigid(rng));
        if (type == Algo::AdjustRelativeCalibration)
            calibrations().setCalibration("reference", randomRigid(rng), 0.5);
        else
            calibrations().removeCalibration("reference");
        calibrations().setCalibration("pointer", randomRigid(rng, 150.0), 0.0);
        algorithm->pointsOnTrackingStream().setRelativeTrackerId(
          type == Algo::GlobalTracking ? std::nullopt : std::optional<std::string>("reference"));
        algorithm->registrationType().setValue(type);
        collect(rng, randomPoints(rng, 5), randomRigid(rng), type != Algo::GlobalTracking);
        const auto before = state();
        algorithm->compute();
        ASSERT_EQ(algorithm->status(), 0);
        const auto after = state();
        EXPECT_NE(after, before);
        const auto provenance = algorithm->registrationHistory()->current()->provenance;
        EXPECT_EQ(provenance->registrationType, int(type));
        EXPECT_EQ(provenance->verdict, "plausible");

        ASSERT_TRUE(algorithm->restorePreviousRegistration()) << type;
        EXPECT_EQ(state(), before) << type;
        ASSERT_TRUE(algorithm->restorePreviousRegistration()) << type;
        EXPECT_EQ(state(), after) << type;
    }
    // The volume's history outlives the algorithm: the last one registered twice on it.
    EXPECT_EQ(volume.components().get<RegistrationHistoryComponent>()->previous()->provenance->registrationType, 1);
}

// Two landmarks swapped: the registration is applied, judged improbable, logged and recorded as such.
TEST_F(LiveRegistration, SwappedPairsAreAppliedWithAWarning)
{
    std::mt19937 rng(43);
    calibrations().setCalibration("pointer", randomRigid(rng, 150.0), 0.0);
    const Eigen::Matrix4d placement = randomRigid(rng);
    volume.setMatrix(placement);
    std::vector<Eigen::Vector3d> landmarks = TrackingSimulator::groundTruth().landmarks_Phantom;
    collect(rng, landmarks, randomRigid(rng));
    algorithm->pointsOnImage().setImagePoint(landmarks[2], 5);
    algorithm->pointsOnImage().setImagePoint(landmarks[5], 2);
    {
        LogExpectation warning(Log::Warning, "Registration quality: Warning: the registration is improbable", 1);
        algorithm->compute();
    }
    EXPECT_EQ(algorithm->status(), 0);
    EXPECT_NE(volume.matrix(), placement);
    ASSERT_TRUE(algorithm->quality());
    EXPECT_EQ(algorithm->quality()->worstPairs, (std::vector<size_t>{ 2, 5 }));
    EXPECT_NE(algorithm->statusMessage().find("but the fit is improbable (FRE "), std::string::npos);
    EXPECT_FALSE(logged("LiveTrackingPointRegistrationAlgorithm", "Predicted target registration error at the"));
    EXPECT_EQ(algorithm->registrationHistory()->current()->provenance->verdict, "improbable");
}

// Points taken with an uncalibrated pointer are named so, and the registration says how many it rests on.
TEST_F(LiveRegistration, MarksPointsOfAnUncalibratedPointer)
{
    std::mt19937 rng(47);
    const auto p = randomPoints(rng, 4);
    collect(rng, { p[0], p[1] }, Eigen::Matrix4d::Identity());
    calibrations().setCalibration("pointer", Eigen::Matrix4d::Identity(), 0.0);
    collect(rng, { p[2] }, Eigen::Matrix4d::Identity());
    calibrations().setCalibration("pointer", randomRigid(rng, 150.0), 0.0);
    collect(rng, { p[3] }, Eigen::Matrix4d::Identity());
    const auto& names = algorithm->pointsOnTrackingStream().names();
    EXPECT_EQ(names,
              (std::vector<std::string>{ "uncalibrated pointer", "uncalibrated pointer", "uncalibrated pointer", "" }));
    algorithm->compute();
    EXPECT_TRUE(logged("LiveTrackingPointRegistrationAlgorithm", "3 of the tracked points were captured without a tip "
                                                                 "calibration"));
    EXPECT_NE(algorithm->statusMessage().find("calibrate the pointer and capture them again"), std::string::npos);
    EXPECT_EQ(algorithm->registrationHistory()->current()->provenance->uncalibratedPointCount, 3);
}

TEST_F(LiveRegistration, PairsImagePointsWithTheNewestTrackedPoint)
{
    std::mt19937 rng(37);
    volume.setMatrix(randomRigid(rng));
    const auto p = randomPoints(rng, 3);
    const Eigen::Matrix4d toTracker = randomRigid(rng);
    collect(rng, { p[0], p[1] }, toTracker);
    feed(stream, { instrument("pointer", translation(apply(toTracker, p[2]))) });
    Eigen::Vector3d point;
    ASSERT_EQ(algorithm->addLiveTrackingPoint(point), std::optional<int>(2));

    const auto report = algorithm->correspondences();
    ASSERT_EQ(report.size(), 3u);
    EXPECT_EQ(algorithm->correspondenceId(), 2);
    EXPECT_EQ(report[2].id.value(), 2);
    EXPECT_LT((*report[2].tracked.value() - apply(toTracker, p[2])).norm(), 1e-9);
    EXPECT_LT((*report[1].volume.value() - p[1]).norm(), 1e-9) << "in the volume's image coordinates";
    EXPECT_FALSE(report[2].volume.value());

    EXPECT_FALSE(algorithm->setVolumePoint(1, p[2]));
    EXPECT_FALSE(algorithm->setVolumePoint(3, p[2]));
    EXPECT_TRUE(algorithm->setVolumePoint(2, Eigen::Vector3d(1, 1, 1)));
    EXPECT_TRUE(algorithm->setVolumePoint(2, p[2])) << "a second click moves the partner";
    EXPECT_TRUE(algorithm->pointsOnImage().imagePoints().back().isApprox(p[2], 1e-12));

    // A tracked point whose predecessor still lacks a partner cannot be paired correctly.
    algorithm->pointsOnImage().remove(1, 3);
    LogExpectation expect(Log::Warning, "cannot pair an image point with tracked point 2", 1);
    EXPECT_FALSE(algorithm->setVolumePoint(2, p[2]));
    EXPECT_EQ(algorithm->pointsOnImage().size(), 1);
}

// The listener runs on the stream's delivery thread while the user interface changes the instruments, samples
// points and finally destroys the algorithm with samples still arriving.
TEST_F(LiveRegistration, ListenerRunsConcurrentlyWithTheUserInterface)
{
    std::atomic<bool> done{ false };
    std::thread producer(
      [&]
      {
          for (int i = 0; !done; ++i)
          {
              stream.push({ instrument("pointer", translation({ double(i % 50), 0, 0 })),
                            instrument("needle", translation({ 0, double(i % 50), 0 })),
                            instrument("reference", Eigen::Matrix4d::Identity()) },
                          i);
              stream.waitUntilDelivered();
          }
      });
    auto& points = algorithm->pointsOnTrackingStream();
    Eigen::Vector3d point;
    for (int i = 0; i < 300; ++i)
    {
        points.setTrackerId(i % 2 ? "pointer" : "needle");
        points.setRelativeTrackerId(i % 3 ? std::optional<std::string>("reference") : std::nullopt);
        (void)algorithm->addLiveTrackingPoint(point);
        if (i % 50 == 0)
            (void)algorithm->correspondences();
    }
    // With the ids left alone, a sample of them arrives sooner or later.
    EXPECT_TRUE(waitUntil([&] { return algorithm->addLiveTrackingPoint(point).has_value(); }));
    algorithm.reset();
    done = true;
    producer.join();
    EXPECT_TRUE(stream.waitUntilDelivered());
}
