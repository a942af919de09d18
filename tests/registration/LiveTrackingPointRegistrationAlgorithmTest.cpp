#include "registration/LiveTrackingPointRegistrationAlgorithm.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include <Eigen/LU>
#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"

#include "LogExpectation.h"
#include "RegistrationTestSupport.h"

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

bool contains(const std::vector<std::string>& messages, const std::string& fragment)
{
    for (const auto& m : messages)
        if (m.find(fragment) != std::string::npos)
            return true;
    return false;
}

class LiveRegistration : public ::testing::Test
{
protected:
    void SetUp() override
    {
        stream.setMainInstrumentId("pointer");
        ASSERT_TRUE(stream.open());
        ASSERT_TRUE(stream.start());
        algorithm = std::make_unique<Algo>(stream, volume);
    }

    void TearDown() override
    {
        algorithm.reset();
        stream.close();
    }

    /// Publishes one sample and waits until the algorithm's listener has returned from it.
    void deliver(std::vector<TrackingInstrument> instruments)
    {
        stream.push(std::move(instruments), ++m_timestamp);
        ASSERT_TRUE(stream.waitUntilDelivered());
    }

    InstrumentCalibrationDataComponent& calibrations()
    {
        return stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
    }

    /// Touches the image points `p` with the pointer, whose calibrated tip is at `toTracker` · p (in tracker space,
    /// or in the reference frame when `reference` is set, with a new reference pose for every point), and pairs
    /// each tracked point with its image point.
    void collect(std::mt19937& rng, const std::vector<Eigen::Vector3d>& p, const Eigen::Matrix4d& toTracker,
                 bool reference = false)
    {
        const Eigen::Matrix4d calibration = calibrationOf("pointer");
        for (size_t i = 0; i < p.size(); ++i)
        {
            const Eigen::Vector3d q = apply(toTracker, p[i]);
            const Eigen::Matrix4d r = reference ? randomRigid(rng) : Eigen::Matrix4d::Identity();
            std::vector<TrackingInstrument> sample{ instrument("pointer", poseWithTip(rng, apply(r, q), calibration)) };
            if (reference)
                sample.push_back(instrument("reference", r));
            deliver(sample);
            Eigen::Vector3d sampled;
            ASSERT_EQ(algorithm->addLiveTrackingPoint(sampled), std::optional<int>(int(i)));
            EXPECT_LT((sampled - q).norm(), 1e-9);
            ASSERT_TRUE(algorithm->setVolumePoint(int(i), p[i]));
        }
    }

    Eigen::Matrix4d calibrationOf(const std::string& id)
    {
        const auto* component = stream.components().get<InstrumentCalibrationDataComponent>();
        const auto c = component ? component->calibration(id) : std::nullopt;
        return c ? c->matrix : Eigen::Matrix4d::Identity();
    }

    ManualTrackingStream stream;
    SharedImageSet volume{ "volume", Eigen::Vector3i(16, 16, 16), Eigen::Vector3d(1, 1, 1) };
    std::unique_ptr<Algo> algorithm;

private:
    int64_t m_timestamp = 0;
};
} // namespace

TEST(LiveTrackingPointRegistration, CreatedOnOneStreamAndOneVolume)
{
    ManualTrackingStream stream, other;
    SharedImageSet volume("volume", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    SharedImageSet slice("slice", Eigen::Vector3i(4, 4, 1), Eigen::Vector3d(1, 1, 1));
    std::unique_ptr<Algorithm> created;
    EXPECT_TRUE(Algo::createCompatible(DataList{ &volume, &stream }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream }, &created));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &slice }, &created));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &other, &volume }, &created));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &volume, &volume }, &created));
    EXPECT_FALSE(created);
    ASSERT_TRUE(Algo::createCompatible(DataList{ &stream, &slice, &volume }, &created));
    auto* algorithm = dynamic_cast<Algo*>(created.get());
    ASSERT_TRUE(algorithm);
    EXPECT_EQ(&algorithm->trackingStream(), &stream);
    EXPECT_EQ(&algorithm->volume(), &volume);
    EXPECT_EQ(algorithm->registrationType().value(), Algo::GlobalTracking);
    EXPECT_EQ(algorithm->trackerToVolumeTransform(), Eigen::Matrix4d::Zero());
    EXPECT_EQ(algorithm->status(), Algorithm::Unknown);
}

TEST_F(LiveRegistration, TrackingTargetStartsAtTheMainInstrumentAndStaysManual)
{
    auto& points = algorithm->pointsOnTrackingStream();
    EXPECT_FALSE(points.useMainInstrument());
    EXPECT_EQ(points.trackerId(), "pointer");
    stream.setMainInstrumentId("needle");
    EXPECT_EQ(points.trackerId(), "pointer");
    points.setTrackerId("needle");
    EXPECT_EQ(points.trackerId(), "needle");
}

TEST_F(LiveRegistration, SamplesOnlyAtQualityOfAtLeast08WhileTracked)
{
    const Eigen::Matrix4d pose = translation({ 10, 20, 30 });
    Eigen::Vector3d point(-1, -1, -1);
    deliver({ instrument("pointer", pose, 0.8) });
    EXPECT_EQ(algorithm->addLiveTrackingPoint(point), std::optional<int>(0));
    EXPECT_EQ(point, Eigen::Vector3d(10, 20, 30));

    point = Eigen::Vector3d(-1, -1, -1);
    for (const auto& unusable : { instrument("pointer", pose, 0.79), instrument("pointer", pose, 1.0, false),
                                  instrument("pointer", pose, std::numeric_limits<double>::quiet_NaN()) })
    {
        deliver({ unusable });
        EXPECT_FALSE(algorithm->addLiveTrackingPoint(point));
    }
    EXPECT_EQ(point, Eigen::Vector3d(-1, -1, -1));
    EXPECT_EQ(algorithm->pointsOnTrackingStream().size(), 1);

    // Samples without the instrument, or empty ones, leave its last record in place.
    deliver({ instrument("pointer", translation({ 1, 2, 3 }), 0.95) });
    deliver({ instrument("other", translation({ 9, 9, 9 })) });
    deliver({});
    EXPECT_EQ(algorithm->addLiveTrackingPoint(point), std::optional<int>(1));
    EXPECT_EQ(point, Eigen::Vector3d(1, 2, 3));
}

TEST_F(LiveRegistration, TipUsesTheStreamsCalibrationWhenThereIsOne)
{
    std::mt19937 rng(2);
    const Eigen::Matrix4d pose = randomRigid(rng);
    deliver({ instrument("pointer", pose) });
    Eigen::Vector3d point;
    ASSERT_TRUE(algorithm->addLiveTrackingPoint(point));
    EXPECT_EQ(point, Eigen::Vector3d(pose.topRightCorner<3, 1>()));
    EXPECT_EQ(stream.components().get<InstrumentCalibrationDataComponent>(), nullptr) << "looked up, not created";

    calibrations().setCalibration("needle", randomRigid(rng), 0.0);
    ASSERT_TRUE(algorithm->addLiveTrackingPoint(point));
    EXPECT_EQ(point, Eigen::Vector3d(pose.topRightCorner<3, 1>()));

    const Eigen::Matrix4d calibration = randomRigid(rng, 150.0);
    calibrations().setCalibration("pointer", calibration, 0.3);
    ASSERT_TRUE(algorithm->addLiveTrackingPoint(point));
    EXPECT_TRUE(point.isApprox(apply(pose, calibration.topRightCorner<3, 1>()), 1e-12));
}

TEST_F(LiveRegistration, RelativeSamplingNeedsAUsableReference)
{
    std::mt19937 rng(3);
    auto& points = algorithm->pointsOnTrackingStream();
    points.setRelativeTrackerId(std::string("reference"));
    const Eigen::Matrix4d calibration = randomRigid(rng, 150.0);
    calibrations().setCalibration("pointer", calibration, 0.0);
    calibrations().setCalibration("reference", randomRigid(rng), 0.0); // the reference's own is not applied
    const Eigen::Matrix4d pose = randomRigid(rng), reference = randomRigid(rng);
    Eigen::Vector3d point;

    deliver({ instrument("pointer", pose) });
    EXPECT_FALSE(algorithm->addLiveTrackingPoint(point)) << "no sample of the reference yet";
    deliver({ instrument("pointer", pose), instrument("reference", reference, 0.5) });
    EXPECT_FALSE(algorithm->addLiveTrackingPoint(point));
    deliver({ instrument("reference", reference, 0.8), instrument("pointer", pose) });
    ASSERT_EQ(algorithm->addLiveTrackingPoint(point), std::optional<int>(0));
    EXPECT_TRUE(point.isApprox(apply(reference.inverse() * pose * calibration, Eigen::Vector3d::Zero()), 1e-9));

    // The kept records belong to the instruments chosen when they arrived: after the user picks another
    // reference or target, a record of the previous one is not sampled.
    points.setRelativeTrackerId(std::string("frame"));
    EXPECT_FALSE(algorithm->addLiveTrackingPoint(point));
    deliver({ instrument("pointer", pose), instrument("frame", Eigen::Matrix4d::Identity()) });
    EXPECT_TRUE(algorithm->addLiveTrackingPoint(point));
    points.setTrackerId("needle");
    EXPECT_FALSE(algorithm->addLiveTrackingPoint(point));
    EXPECT_EQ(points.size(), 2);
}

TEST_F(LiveRegistration, GlobalTrackingPlacesTheVolumeOnTheTrackedPoints)
{
    std::mt19937 rng(17);
    const Eigen::Matrix4d placement = randomRigid(rng), streamToWorld = randomRigid(rng), truth = randomRigid(rng);
    volume.setMatrix(placement);
    stream.setMatrix(streamToWorld);
    calibrations().setCalibration("pointer", randomRigid(rng, 150.0), 0.0);
    const auto p = randomPoints(rng, 5);
    collect(rng, p, streamToWorld.inverse() * placement * truth);
    ASSERT_EQ(algorithm->correspondenceId(), 5);

    algorithm->compute();
    EXPECT_EQ(algorithm->status(), 0);
    EXPECT_TRUE(algorithm->trackerToVolumeTransform().isApprox(truth, 1e-9));
    EXPECT_TRUE(volume.matrix().isApprox(placement * truth, 1e-9));
    for (int i = 0; i < 5; ++i)
        EXPECT_LT(
          (algorithm->pointsOnImage().point(i) - apply(streamToWorld, algorithm->pointsOnTrackingStream().point(i)))
            .norm(),
          1e-8);
    const auto messages = messagesOf("LiveTrackingPointRegistration");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Global registration successfull. Image registration was updated: T = \n", 0), 0u);
    EXPECT_EQ(std::count(messages[0].begin(), messages[0].end(), '\n'), 4);
    EXPECT_TRUE(contains(messagesOf("LiveTrackingPointRegistrationAlgorithm"), "Registration error: "));
    EXPECT_EQ(stream.components().get<InstrumentCalibrationDataComponent>()->instrumentIds(),
              std::vector<std::string>{ "pointer" });
}

TEST_F(LiveRegistration, AdjustVolumeRegistrationAlsoResetsTheReferenceCalibration)
{
    std::mt19937 rng(19);
    const Eigen::Matrix4d placement = randomRigid(rng), truth = randomRigid(rng);
    volume.setMatrix(placement);
    calibrations().setCalibration("reference", randomRigid(rng), 0.7);
    algorithm->pointsOnTrackingStream().setRelativeTrackerId(std::string("reference"));
    algorithm->registrationType().setValue(Algo::AdjustVolumeRegistration);
    const auto p = randomPoints(rng, 4);
    collect(rng, p, placement * truth, true);

    algorithm->compute();
    EXPECT_EQ(algorithm->status(), 0);
    EXPECT_TRUE(algorithm->trackerToVolumeTransform().isApprox(truth, 1e-9));
    EXPECT_TRUE(volume.matrix().isApprox(placement * truth, 1e-9));
    const auto reset = calibrations().calibration("reference");
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->matrix, Eigen::Matrix4d::Identity());
    EXPECT_EQ(reset->value, 0.0);
    const auto messages = messagesOf("LiveTrackingPointRegistration");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("Relative registration successfull. Image registration was updated: T = \n", 0), 0u);
    EXPECT_EQ(messages[1], "Calibration of relative tracker reset to unity.");
}

TEST_F(LiveRegistration, AdjustRelativeCalibrationPutsTheToolOnTheUnmovedVolume)
{
    std::mt19937 rng(23);
    for (const bool streamAtVolume : { false, true })
    {
        algorithm->resetCorrespondences();
        const Eigen::Matrix4d placement = randomRigid(rng), truth = randomRigid(rng);
        // The tool visualization places the stream at the volume's matrix; before it does, the stream may be
        // anywhere.
        const Eigen::Matrix4d streamToWorld = streamAtVolume ? placement : randomRigid(rng);
        volume.setMatrix(placement);
        stream.setMatrix(streamToWorld);
        const Eigen::Matrix4d pointerCalibration = randomRigid(rng, 150.0);
        calibrations().setCalibration("pointer", pointerCalibration, 0.0);
        algorithm->pointsOnTrackingStream().setRelativeTrackerId(std::string("reference"));
        algorithm->registrationType().setValue(Algo::AdjustRelativeCalibration);
        // Image coordinates → reference frame: the phantom is fixed to the reference.
        const Eigen::Matrix4d imageToReference = streamToWorld.inverse() * placement * truth;
        collect(rng, randomPoints(rng, 5), imageToReference, true);

        algorithm->compute();
        EXPECT_EQ(algorithm->status(), 0);
        const Eigen::Matrix4d T = algorithm->trackerToVolumeTransform();
        EXPECT_TRUE(T.isApprox(truth, 1e-9));
        EXPECT_TRUE(volume.matrix().isApprox(placement, 1e-12)) << "the volume is not moved";
        const Eigen::Matrix4d C = calibrations().calibration("reference")->matrix;
        EXPECT_TRUE(C.isApprox(imageToReference, 1e-9));
        if (streamAtVolume)
        {
            EXPECT_TRUE(C.isApprox(T, 1e-9));
        }
        EXPECT_FALSE(C.isApprox(T.inverse(), 1e-3));

        // As the tool visualization shows the pointer relative to the reference, S · C⁻¹ · R⁻¹ · M · C_t with the
        // stream at the volume's matrix, the tip lands on the image point it touches.
        const Eigen::Vector3d target(12, -7, 30);
        const Eigen::Matrix4d R = randomRigid(rng);
        const Eigen::Matrix4d M = poseWithTip(rng, apply(R * imageToReference, target), pointerCalibration);
        const Eigen::Matrix4d tool = placement * C.inverse() * R.inverse() * M * pointerCalibration;
        EXPECT_LT((tool.topRightCorner<3, 1>() - volume.imageToWorld(target)).norm(), 1e-8);
    }
    const auto messages = messagesOf("LiveTrackingPointRegistrationAlgorithm");
    EXPECT_TRUE(contains(messages, "Relative registration successfull. Image registration is kept unchanged. "
                                   "Calibration of relative tracker is set to C=\n"));
    EXPECT_TRUE(messagesOf("LiveTrackingPointRegistration").empty());
}

TEST_F(LiveRegistration, RefusesFewerThanThreePairsAndChangesNothing)
{
    std::mt19937 rng(29);
    const Eigen::Matrix4d placement = randomRigid(rng);
    volume.setMatrix(placement);
    collect(rng, randomPoints(rng, 2), randomRigid(rng));
    {
        LogExpectation expect(Log::Error, "Need at least 3 point correspondeces for registration", 1);
        algorithm->compute();
    }
    EXPECT_EQ(algorithm->status(), Algo::StatusUnusablePoints);

    // A third tracked point without an image partner is still two pairs.
    deliver({ instrument("pointer", randomRigid(rng)) });
    Eigen::Vector3d point;
    ASSERT_TRUE(algorithm->addLiveTrackingPoint(point));
    EXPECT_EQ(algorithm->correspondenceId(), 2);
    {
        LogExpectation expect(Log::Error, "Need at least 3 point correspondeces for registration", 1);
        algorithm->compute();
    }
    EXPECT_EQ(algorithm->status(), Algo::StatusUnusablePoints);
    EXPECT_EQ(volume.matrix(), placement);
    EXPECT_EQ(algorithm->trackerToVolumeTransform(), Eigen::Matrix4d::Zero());
    EXPECT_FALSE(algorithm->registrationError());
}

TEST_F(LiveRegistration, RefusesDegeneratePairsAndRelativeTypesWithoutAReference)
{
    std::mt19937 rng(31);
    const Eigen::Matrix4d placement = randomRigid(rng);
    volume.setMatrix(placement);
    collect(rng, { { 0, 0, 0 }, { 10, 10, 10 }, { 25, 25, 25 } }, randomRigid(rng));
    {
        LogExpectation warning(Log::Warning, "collinear", 1);
        LogExpectation error(Log::Error, "Registration failed", 1);
        algorithm->compute();
    }
    EXPECT_EQ(algorithm->status(), Algo::StatusUnusablePoints);

    algorithm->resetCorrespondences();
    EXPECT_EQ(algorithm->correspondenceId(), 0);
    collect(rng, randomPoints(rng, 4), randomRigid(rng));
    for (const auto type : { Algo::AdjustVolumeRegistration, Algo::AdjustRelativeCalibration })
    {
        algorithm->registrationType().setValue(type);
        LogExpectation expect(Log::Error, "adjusts a relative tracker, but none is selected", 1);
        algorithm->compute();
        EXPECT_EQ(algorithm->status(), Algo::StatusNoRelativeTracker);
    }
    algorithm->pointsOnTrackingStream().setRelativeTrackerId(std::string());
    {
        LogExpectation expect(Log::Error, "none is selected", 1);
        algorithm->compute();
    }
    Properties stored;
    stored.setParam("registrationType", 7);
    algorithm->configure(&stored);
    {
        LogExpectation expect(Log::Error, "Unknown registration type 7", 1);
        algorithm->compute();
    }
    EXPECT_EQ(algorithm->status(), Algo::StatusInvalidRegistrationType);
    EXPECT_EQ(volume.matrix(), placement);
    EXPECT_EQ(algorithm->trackerToVolumeTransform(), Eigen::Matrix4d::Zero());
    EXPECT_EQ(stream.components().get<InstrumentCalibrationDataComponent>(), nullptr);
}

TEST_F(LiveRegistration, ReportsEveryPairWithImagePointsInVolumeCoordinates)
{
    std::mt19937 rng(37);
    EXPECT_TRUE(algorithm->correspondences().empty());
    volume.setMatrix(randomRigid(rng));
    const auto p = randomPoints(rng, 3);
    const Eigen::Matrix4d toTracker = randomRigid(rng);
    collect(rng, { p[0], p[1] }, toTracker);
    deliver({ instrument("pointer", translation(apply(toTracker, p[2]))) });
    Eigen::Vector3d point;
    ASSERT_EQ(algorithm->addLiveTrackingPoint(point), std::optional<int>(2));

    const auto report = algorithm->correspondences();
    ASSERT_EQ(report.size(), 3u);
    EXPECT_EQ(algorithm->correspondenceId(), 2);
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(report[size_t(i)].id.value(), i);
        ASSERT_TRUE(report[size_t(i)].tracked.value());
        EXPECT_LT((*report[size_t(i)].tracked.value() - apply(toTracker, p[size_t(i)])).norm(), 1e-9);
    }
    ASSERT_TRUE(report[0].volume.value() && report[1].volume.value());
    EXPECT_LT((*report[1].volume.value() - p[1]).norm(), 1e-9);
    EXPECT_FALSE(report[2].volume.value());
    Properties written;
    report[0].configuration(&written);
    EXPECT_EQ(written.params(), (std::vector<std::string>{ "id", "volume", "tracked" }));

    // Image points pair with the newest tracked point only.
    EXPECT_FALSE(algorithm->setVolumePoint(1, p[2]));
    EXPECT_FALSE(algorithm->setVolumePoint(3, p[2]));
    EXPECT_TRUE(algorithm->setVolumePoint(2, Eigen::Vector3d(1, 1, 1)));
    EXPECT_TRUE(algorithm->setVolumePoint(2, p[2])) << "a second click moves the partner";
    EXPECT_EQ(algorithm->pointsOnImage().size(), 3);
    EXPECT_LT((algorithm->pointsOnImage().imagePoints()[2] - p[2]).norm(), 1e-12);

    // A tracked point whose predecessor still lacks a partner cannot be paired correctly.
    algorithm->pointsOnImage().remove(1, 3);
    EXPECT_FALSE(algorithm->setVolumePoint(-1, p[2]));
    {
        LogExpectation expect(Log::Warning, "cannot pair an image point with tracked point 2", 1);
        EXPECT_FALSE(algorithm->setVolumePoint(2, p[2]));
    }
    EXPECT_EQ(algorithm->pointsOnImage().size(), 1);
}

TEST_F(LiveRegistration, ConfigurationRoundTripsTypePointsNamesAndInstruments)
{
    std::mt19937 rng(41);
    algorithm->registrationType().setValue(Algo::AdjustRelativeCalibration);
    auto& tracked = algorithm->pointsOnTrackingStream();
    tracked.setTrackerId("needle");
    tracked.setRelativeTrackerId(std::string("reference"));
    for (const auto& p : randomPoints(rng, 3))
    {
        tracked.addWorldPoint(p * 2.0);
        algorithm->pointsOnImage().addImagePoint(p, 0);
    }
    tracked.setName("nasion", 0);
    algorithm->pointsOnImage().setName("nasion", 0);

    Properties written;
    algorithm->configuration(&written);
    EXPECT_EQ(written.paramOr("registrationType", -1), 2);
    ASSERT_TRUE(written.subProperties("pointCorrespondences"));
    ASSERT_TRUE(written.subProperties("pointCorrespondences")->subProperties("pointsFirst"));
    const auto reread = Properties::fromXml(written.toXml());
    ASSERT_TRUE(reread);

    Algo restored(stream, volume);
    restored.configure(reread.get());
    EXPECT_EQ(restored.registrationType().value(), Algo::AdjustRelativeCalibration);
    EXPECT_EQ(restored.pointsOnTrackingStream().trackerId(), "needle");
    EXPECT_EQ(restored.pointsOnTrackingStream().relativeTrackerId(), "reference");
    EXPECT_EQ(restored.pointsOnTrackingStream().allPoints(), tracked.allPoints());
    EXPECT_EQ(restored.pointsOnTrackingStream().names(), tracked.names());
    EXPECT_EQ(restored.pointsOnImage().imagePoints(), algorithm->pointsOnImage().imagePoints());
    EXPECT_EQ(restored.pointsOnImage().names(), algorithm->pointsOnImage().names());
    EXPECT_EQ(restored.correspondenceId(), 3);

    Properties typeOnly;
    typeOnly.setParam("registrationType", 0);
    restored.configure(&typeOnly);
    EXPECT_EQ(restored.registrationType().value(), Algo::GlobalTracking);
    EXPECT_EQ(restored.correspondenceId(), 3) << "no point block, points kept";
}

TEST_F(LiveRegistration, ReportsThePredictedTargetRegistrationError)
{
    std::mt19937 rng(43);
    EXPECT_FALSE(algorithm->predictedTreAtCentroid());
    EXPECT_FALSE(algorithm->predictedTre(Eigen::Vector3d::Zero()));
    const Eigen::Matrix4d truth = randomRigid(rng);
    std::normal_distribution<double> noise(0.0, 0.3);
    const auto p = randomPoints(rng, 6);
    auto& tracked = algorithm->pointsOnTrackingStream();
    for (const auto& point : p)
    {
        tracked.addWorldPoint(apply(truth, point) + Eigen::Vector3d(noise(rng), noise(rng), noise(rng)));
        algorithm->pointsOnImage().addImagePoint(point, 0);
    }
    algorithm->compute();
    ASSERT_EQ(algorithm->status(), 0);
    const double fre = *algorithm->registrationError();
    EXPECT_GT(fre, 0.05);
    EXPECT_LT(fre, 1.5);
    EXPECT_NEAR(*algorithm->predictedTreAtCentroid(0.5), 0.5 / std::sqrt(6.0), 1e-12);
    const double fle = std::sqrt(fre * fre * 6.0 / 4.0);
    EXPECT_NEAR(*algorithm->predictedTreAtCentroid(), fle / std::sqrt(6.0), 1e-9);
    EXPECT_GT(*algorithm->predictedTre(Eigen::Vector3d(200, 0, 0)), *algorithm->predictedTreAtCentroid());
    EXPECT_TRUE(contains(messagesOf("LiveTrackingPointRegistrationAlgorithm"),
                         "Predicted target registration error at the centroid of the image points"));
}

// The listener runs on the stream's delivery thread while the user interface changes the instruments, samples
// points and finally destroys the algorithm with samples still arriving.
TEST_F(LiveRegistration, ListenerRunsConcurrentlyWithTheUserInterface)
{
    std::atomic<bool> done{ false };
    std::thread producer(
      [&]
      {
          int i = 0;
          while (!done)
          {
              stream.push({ instrument("pointer", translation({ double(i % 50), 0, 0 })),
                            instrument("needle", translation({ 0, double(i % 50), 0 })),
                            instrument("reference", Eigen::Matrix4d::Identity()) },
                          ++i);
              std::this_thread::sleep_for(std::chrono::microseconds(50));
          }
      });
    auto& points = algorithm->pointsOnTrackingStream();
    int added = 0;
    for (int i = 0; i < 300; ++i)
    {
        points.setTrackerId(i % 2 ? "pointer" : "needle");
        points.setRelativeTrackerId(i % 3 ? std::optional<std::string>("reference") : std::nullopt);
        Eigen::Vector3d point;
        if (algorithm->addLiveTrackingPoint(point))
            ++added;
        if (i % 50 == 0)
            (void)algorithm->correspondences();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    // On a loaded machine the producer may not have been scheduled between two id changes; with the ids left
    // alone a sample must arrive sooner or later.
    Eigen::Vector3d point;
    for (int wait = 0; wait < 2000 && added == 0; ++wait)
    {
        if (algorithm->addLiveTrackingPoint(point))
            ++added;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(added, 0);
    algorithm.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done = true;
    producer.join();
    EXPECT_TRUE(stream.waitUntilDelivered());
}
