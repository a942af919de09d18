#include "streams/SmoothedTrackingStream.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/numerics/KalmanPosition.h"
#include "lib/numerics/KalmanQuaternion.h"

#include "LogExpectation.h"
#include "StreamsTestSupport.h"
#include "streams/CombinedTrackingStream.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
using Mode = SmoothedTrackingStream::SmoothingMode;

constexpr int64_t kStart = 1'000'000'000; // device clock (microseconds), away from the "no timestamp" 0
constexpr int64_t kPeriod60Hz = 16'667;

void configureMode(SmoothedTrackingStream& stream, int mode, int interval = 200)
{
    Properties properties;
    properties.setParam("smoothingMode", mode);
    properties.setParam("smoothingInterval", interval);
    stream.configure(&properties);
}

Eigen::Vector4d wxyz(const Eigen::Matrix4d& pose)
{
    Eigen::Quaterniond q(Eigen::Matrix3d(pose.topLeftCorner<3, 3>()));
    q.normalize();
    return { q.w(), q.x(), q.y(), q.z() };
}

Eigen::Matrix4d poseFrom(const Eigen::Vector4d& q, const Eigen::Vector3d& t)
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() = Eigen::Quaterniond(q[0], q[1], q[2], q[3]).normalized().toRotationMatrix();
    pose.topRightCorner<3, 1>() = t;
    return pose;
}

class PlainData final : public Data
{
public:
    PlainData() : Data("image") {}
    [[nodiscard]] Kind kind() const override { return Kind::Image; }
};

/// A tracking stream that publishes whatever the test hands it, synchronously, including samples that are not
/// tracking data.
class RawStream final : public TrackingStream
{
public:
    RawStream() : TrackingStream("Raw") {}
    ~RawStream() override { closeOnDestruction(); }
    [[nodiscard]] ThreadingMode threadingMode() const override { return ThreadingMode::InputThread; }
    void publish(std::shared_ptr<const StreamData> data) { emitStreamData(std::move(data)); }
};

class SmoothedTrackingStreamTest : public ::testing::Test
{
protected:
    void SetUp() override { openAndStart(smoothed); }

    TrackingInstrument tool(const std::string& id, const Eigen::Vector3d& t, double angle = 0.0, double quality = 1.0)
    {
        return makeTool(id, makePose(t, angle, { 1, 1, 0 }), quality);
    }
    /// The instruments of the last emitted sample.
    std::vector<TrackingInstrument> last() const { return collector.last()->instruments(); }

    ManualTrackingStream input{ "Tracker" };
    SmoothedTrackingStream smoothed{ &input };
    Collector collector{ smoothed };
};
} // namespace

TEST(SmoothedTrackingStreamSetup, NameParametersAndCompatibility)
{
    ManualTrackingStream input("Optical Tracker");
    ManualTrackingStream other("Other");
    SmoothedTrackingStream smoothed(DataList{ &input });
    EXPECT_EQ(smoothed.name(), "Optical Tracker (smoothed)");
    EXPECT_EQ(smoothed.inputStream(), &input);
    EXPECT_EQ(smoothed.p_smoothingMode.value(), Mode::Kalman);
    EXPECT_EQ(smoothed.p_smoothingInterval.value(), 200);
    EXPECT_EQ(smoothed.p_smoothingInterval.attribute("hidden"), "true");
    EXPECT_EQ(smoothed.p_translationError.attribute("hidden"), "");

    Properties written;
    smoothed.configuration(&written);
    EXPECT_EQ(written.paramText("smoothingMode"), "2");
    EXPECT_EQ(written.paramType("smoothingMode"), ParamTypeEnum);
    EXPECT_EQ(written.paramText("smoothingInterval"), "200");
    EXPECT_EQ(written.paramText("translationError"), "0.5");
    EXPECT_EQ(written.paramText("angularError"), "1");
    EXPECT_EQ(written.paramText("processSigma"), "0.5");
    EXPECT_EQ(written.paramLabel("smoothingInterval"), "Smoothing Interval");
    EXPECT_EQ(written.paramLabel("angularError"), "Angular Error [degree]");

    PlainData image;
    EXPECT_TRUE(SmoothedTrackingStream::isCompatible(DataList{ &input }));
    EXPECT_FALSE(SmoothedTrackingStream::isCompatible(DataList{ &input, &other }));
    EXPECT_FALSE(SmoothedTrackingStream::isCompatible(DataList{ &image }));
    EXPECT_FALSE(SmoothedTrackingStream::isCompatible(DataList{}));
    EXPECT_THROW(SmoothedTrackingStream{ DataList{ &image } }, std::invalid_argument);
}

TEST(SmoothedTrackingStreamSetup, FollowsTheLifecycleAndNotificationsOfItsInput)
{
    ManualTrackingStream input("Tracker");
    {
        SmoothedTrackingStream smoothed(&input);
        ASSERT_TRUE(smoothed.open());
        EXPECT_EQ(input.state(), Stream::State::Opened);
        ASSERT_TRUE(smoothed.start());
        EXPECT_EQ(input.state(), Stream::State::Running);
        ASSERT_TRUE(input.stop());
        EXPECT_EQ(smoothed.state(), Stream::State::Opened) << "the input's state is taken over";
        ASSERT_TRUE(input.start());
        EXPECT_EQ(smoothed.state(), Stream::State::Running);

        int instrumentNotifications = 0;
        ParameterBase* forwarded = nullptr;
        SignalReceiver receiver;
        smoothed.signalInstrumentsChanged.connect(&receiver, [&] { ++instrumentNotifications; });
        smoothed.signalParametersChanged.connect(&receiver, [&](ParameterBase* p) { forwarded = p; });
        Parameter<int> inputSetting("rate", 60, &input);
        inputSetting = 120;
        EXPECT_EQ(forwarded, &inputSetting);
        feed(input, { makeTool("tool", makePose({ 1, 2, 3 })) });
        // Once for the input's new instrument, once for the smoothed stream's own.
        EXPECT_EQ(instrumentNotifications, 2);
        receiver.disconnectAll();
    }
    EXPECT_EQ(input.state(), Stream::State::Closed) << "destroying the smoothed stream closes its input";
}

TEST_F(SmoothedTrackingStreamTest, WithoutSmoothingOnlyNamesChange)
{
    configureMode(smoothed, 0);
    const TrackingInstrument a = makeTool("a", makePose({ 1, 2, 3 }, 0.3), 0.7, 42);
    const TrackingInstrument b = makeTool("b", makePose({ 4, 5, 6 }, -0.3), 0.2, 43, false);
    feed(input, { a, b }, kStart);
    ASSERT_EQ(collector.count(), 1u);
    const auto sample = collector.last();
    EXPECT_EQ(sample->trackingStream(), &smoothed);
    EXPECT_EQ(sample->timestampDevice(), kStart);
    EXPECT_GT(sample->timestampArrival(), 0);
    const auto out = sample->instruments();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].id, TrackerID("a", "Model", "a tool (smoothed)"));
    EXPECT_EQ(out[0].matrix, a.matrix);
    EXPECT_EQ(out[0].quality, 0.7);
    EXPECT_EQ(out[1].matrix, b.matrix);
    EXPECT_FALSE(out[1].tracked);
    EXPECT_EQ(smoothed.instruments().size(), 2u);
    EXPECT_EQ(smoothed.instruments()[1].name(), "b tool (smoothed)");

    Properties unknown;
    unknown.setParam("smoothingMode", 7);
    smoothed.configure(&unknown);
    feed(input, { a }, kStart + 1);
    EXPECT_EQ(last()[0].id, a.id) << "an unknown mode passes samples on untouched";
}

TEST_F(SmoothedTrackingStreamTest, MovingAverageWeighsByQualityAndRunsAsARing)
{
    configureMode(smoothed, 1);
    const Eigen::Matrix4d first = makePose({ 10, 0, 0 }, 10 * kDegree);
    const Eigen::Matrix4d second = makePose({ 20, 4, 0 }, 20 * kDegree);
    feed(input, { makeTool("a", first, 1.0) });
    EXPECT_LT(translationDifference(last()[0].matrix, first), 1e-12);
    EXPECT_EQ(last()[0].name(), "a tool (smoothed)");
    feed(input, { makeTool("a", second, 0.5) });
    const TrackingInstrument mean = last()[0];
    EXPECT_LT((mean.matrix.topRightCorner<3, 1>() - Eigen::Vector3d(40.0 / 3, 4.0 / 3, 0)).norm(), 1e-9);
    EXPECT_LT(
      rotationDifferenceDegrees(mean.matrix, poseFrom(wxyz(first) + 0.5 * wxyz(second), Eigen::Vector3d::Zero())),
      1e-9);
    EXPECT_DOUBLE_EQ(mean.quality, 0.75);

    // Window of 3, two instruments sharing the ring position: from the fourth sample on, the oldest entry goes.
    configureMode(smoothed, 1, 3);
    const std::vector<double> expected{ 1, 1.5, 2, 3, 4, 5 };
    for (int k = 1; k <= 6; ++k)
    {
        feed(input, { tool("a", { double(k), 0, 0 }), tool("b", { 0, 10.0 * k, 0 }) });
        const auto out = last();
        EXPECT_NEAR(out[0].matrix(0, 3), expected[size_t(k - 1)], 1e-12) << k;
        EXPECT_NEAR(out[1].matrix(1, 3), 10 * expected[size_t(k - 1)], 1e-12) << k;
    }
}

TEST_F(SmoothedTrackingStreamTest, MovingAverageAlignsQuaternionSigns)
{
    // Half turns about two axes 1 degree either side of (1, -1, 0): the converter puts the largest diagonal's
    // component positive, which flips the sign between the two although the rotations are 2 degrees apart.
    const auto axis = [](double degrees)
    { return Eigen::Vector3d(std::cos(degrees * kDegree), -std::sin(degrees * kDegree), 0.0); };
    const Eigen::Matrix4d before = makePose({ 0, 0, 0 }, M_PI, axis(44));
    const Eigen::Matrix4d after = makePose({ 0, 0, 0 }, M_PI, axis(46));
    ASSERT_LT(wxyz(before).dot(wxyz(after)), -0.9) << "the test needs opposite signs from the conversion";

    configureMode(smoothed, 1);
    feed(input, { makeTool("a", before) });
    feed(input, { makeTool("a", after) });
    EXPECT_LT(rotationDifferenceDegrees(last()[0].matrix, makePose({ 0, 0, 0 }, M_PI, axis(45))), 1e-6);
}

TEST_F(SmoothedTrackingStreamTest, MovingAverageOfQualityZeroIsIdentity)
{
    configureMode(smoothed, 1);
    const Eigen::Matrix4d pose = makePose({ 5, 6, 7 }, 0.4);
    feed(input, { makeTool("a", pose, 0.0) });
    EXPECT_EQ(last()[0].matrix, pose);
    feed(input, { makeTool("a", pose, 0.0) });
    EXPECT_EQ(last()[0].matrix, Eigen::Matrix4d::Identity());
    EXPECT_EQ(last()[0].quality, 0.0);
}

TEST_F(SmoothedTrackingStreamTest, MovingAverageWindowBoundsFromTheFile)
{
    // Lowering the interval directly (no reset) keeps the longer window; only slot min(N - 1, position) is replaced.
    configureMode(smoothed, 1, 4);
    for (int k = 1; k <= 4; ++k)
        feed(input, { tool("a", { double(k), 0, 0 }) });
    smoothed.p_smoothingInterval = 2;
    feed(input, { tool("a", { 9, 0, 0 }) }); // replaces entry 0: {9, 2, 3, 4}
    EXPECT_NEAR(last()[0].matrix(0, 3), 4.5, 1e-12);
    feed(input, { tool("a", { 10, 0, 0 }) }); // replaces entry 1: {9, 10, 3, 4}
    EXPECT_NEAR(last()[0].matrix(0, 3), 6.5, 1e-12);

    // An interval below the editor's minimum of 1 (a hand-edited file) acts as a window of one sample.
    configureMode(smoothed, 1, 0);
    feed(input, { tool("a", { 1, 0, 0 }) });
    feed(input, { tool("a", { 2, 0, 0 }) });
    EXPECT_NEAR(last()[0].matrix(0, 3), 2.0, 1e-12);
}

TEST_F(SmoothedTrackingStreamTest, KalmanStartsUnfilteredAndRestartsOnNewInstrumentsOrConfigure)
{
    const TrackingInstrument a = tool("a", { 0, 0, 0 });
    feed(input, { a }, kStart);
    EXPECT_EQ(last()[0].id, a.id) << "the first sample passes unfiltered, names unchanged";
    EXPECT_EQ(last()[0].matrix, a.matrix);
    feed(input, { tool("a", { 1, 0, 0 }) }, kStart + kPeriod60Hz);
    EXPECT_EQ(last()[0].name(), "a tool (smoothed)");

    const TrackingInstrument b = tool("b", { 50, 0, 0 });
    feed(input, { tool("a", { 2, 0, 0 }), b }, kStart + 2 * kPeriod60Hz);
    EXPECT_EQ(last()[1].id, b.id) << "a change of instrument count restarts the filters";
    EXPECT_EQ(last()[1].matrix, b.matrix);
    feed(input, { tool("a", { 3, 0, 0 }), b }, kStart + 3 * kPeriod60Hz);
    EXPECT_EQ(last()[1].name(), "b tool (smoothed)");

    configureMode(smoothed, 2);
    const TrackingInstrument far = tool("a", { 500, 0, 0 });
    feed(input, { far, b }, kStart + 4 * kPeriod60Hz);
    EXPECT_EQ(last()[0].matrix, far.matrix) << "configure resets the filters";
    EXPECT_EQ(last()[0].id, far.id);
}

TEST_F(SmoothedTrackingStreamTest, KalmanDrivesTheHostFiltersWithDeviceTimeSteps)
{
    // The host filters fed as the stream documents it: dt in device microseconds, process sigma e / dt^2 * sigma,
    // measurement variance e^2, for position (e = 0.5 mm) and orientation (e = 1.0 / 100).
    KalmanPosition position;
    KalmanQuaternion orientation;
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.3);
    double quality = 0.9;
    for (int k = 0; k < 30; ++k)
    {
        const int64_t t = kStart + k * kPeriod60Hz;
        const Eigen::Matrix4d measured =
          makePose({ 2.0 * k + noise(rng), noise(rng), 100 }, 0.02 * k + 0.01 * noise(rng));
        const double q = k % 7 == 3 ? 0.0 : 0.9;
        feed(input, { makeTool("a", measured, q) }, t);
        const TrackingInstrument out = last()[0];

        const double dt = k == 0 ? 1.0 : double(kPeriod60Hz);
        const double sPos = 0.5 / (dt * dt) * 0.5;
        const double sRot = 0.01 / (dt * dt) * 0.5;
        if (k == 0)
        {
            position.init(measured.topRightCorner<3, 1>(), sPos * sPos);
            position.setMeasurementSigma(0.25);
            orientation.init(wxyz(measured), sRot * sRot);
            orientation.setMeasurementSigma(1e-4);
            EXPECT_EQ(out.matrix, measured);
            continue;
        }
        position.processVariance = sPos * sPos;
        orientation.processVariance = sRot * sRot;
        const Eigen::Vector3d p = q == 0.0 ? position.update(dt) : position.update(measured.topRightCorner<3, 1>(), dt);
        const Eigen::Vector4d u = q == 0.0 ? orientation.update(dt) : orientation.update(wxyz(measured), dt);
        EXPECT_LT(translationDifference(out.matrix, poseFrom(u, p)), 1e-9) << k;
        EXPECT_LT(rotationDifferenceDegrees(out.matrix, poseFrom(u, p)), 1e-6) << k;
        quality = std::sqrt((quality * quality + q * q) * 0.5);
        EXPECT_DOUBLE_EQ(out.quality, quality) << k;
    }
}

TEST_F(SmoothedTrackingStreamTest, KalmanReducesJitterOfAStillTool)
{
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 0.2);
    const Eigen::Vector3d truth(10, 20, -800);
    double in2 = 0;
    double out2 = 0;
    for (int k = 0; k < 600; ++k)
    {
        const Eigen::Vector3d measured = truth + Eigen::Vector3d(noise(rng), noise(rng), noise(rng));
        feed(input, { makeTool("a", makePose(measured)) }, kStart + k * kPeriod60Hz);
        if (k < 60)
            continue;
        in2 += (measured - truth).squaredNorm();
        out2 += (last()[0].matrix.topRightCorner<3, 1>() - truth).squaredNorm();
    }
    EXPECT_LT(std::sqrt(out2 / in2), 0.85);
}

TEST_F(SmoothedTrackingStreamTest, KalmanPredictsInstrumentsOfQualityZero)
{
    // A tool moving at 60 mm/s, then lost: its pose (a meaningless origin) must not be used.
    int k = 0;
    for (; k < 60; ++k)
        feed(input, { tool("a", { 1.0 * k, 0, 0 }), tool("b", { 0, 0, 0 }) }, kStart + k * kPeriod60Hz);
    double expectedQuality = last()[0].quality;
    EXPECT_NEAR(expectedQuality, 1.0, 1e-12);
    for (int lost = 1; lost <= 5; ++lost, ++k)
    {
        feed(input, { tool("a", { 0, 0, 0 }, 0.0, 0.0), tool("b", { 0, 0, 0 }) }, kStart + k * kPeriod60Hz);
        expectedQuality = std::sqrt(expectedQuality * expectedQuality / 2);
        const auto out = last();
        EXPECT_NEAR(out[0].matrix(0, 3), double(k), 0.2) << "predicted along the motion";
        EXPECT_DOUBLE_EQ(out[0].quality, expectedQuality);
        EXPECT_NEAR(out[1].matrix(0, 3), 0.0, 1e-9);
    }
}

TEST_F(SmoothedTrackingStreamTest, KalmanSurvivesRepeatedAndBackwardTimestamps)
{
    int k = 0;
    for (; k < 30; ++k)
        feed(input, { tool("a", { 1.0 * k, 0, 0 }) }, kStart + k * kPeriod60Hz);
    const double before = last()[0].matrix(0, 3);

    // The same instant twice: fused without a time step, no infinite variance, no jump.
    feed(input, { tool("a", { 1.0 * (k - 1), 0, 0 }) }, kStart + (k - 1) * kPeriod60Hz);
    EXPECT_TRUE(last()[0].matrix.allFinite());
    EXPECT_NEAR(last()[0].matrix(0, 3), before, 0.5);

    // A clock that steps back (read as an unsigned difference it would be about 1.8e19 microseconds): the lost
    // tool stays where it was instead of being predicted far away.
    feed(input, { tool("a", { 0, 0, 0 }, 0.0, 0.0) }, kStart);
    EXPECT_TRUE(last()[0].matrix.allFinite());
    EXPECT_NEAR(last()[0].matrix(0, 3), before, 0.5);

    // Time then runs on from the new clock.
    feed(input, { tool("a", { 30, 0, 0 }) }, kStart + kPeriod60Hz);
    EXPECT_NEAR(last()[0].matrix(0, 3), 30.0, 2.0);
}

TEST_F(SmoothedTrackingStreamTest, HiddenAttributesFollowTheMode)
{
    const auto expectHidden = [&](int mode, const char* interval, const char* kalman)
    {
        SCOPED_TRACE(mode);
        configureMode(smoothed, mode);
        EXPECT_EQ(smoothed.p_smoothingInterval.attribute("hidden"), interval);
        EXPECT_EQ(smoothed.p_translationError.attribute("hidden"), kalman);
        EXPECT_EQ(smoothed.p_angularError.attribute("hidden"), kalman);
        EXPECT_EQ(smoothed.p_processSigma.attribute("hidden"), kalman);
        Properties written;
        smoothed.configuration(&written);
        EXPECT_EQ(written.paramAttributes("smoothingInterval"), std::string("hidden: ") + interval);
        EXPECT_EQ(written.paramAttributes("translationError"), std::string("hidden: ") + kalman);
        EXPECT_EQ(written.paramAttributes("angularError"), std::string("hidden: ") + kalman);
        EXPECT_EQ(written.paramAttributes("processSigma"), std::string("hidden: ") + kalman);
    };
    expectHidden(1, "false", "true");
    expectHidden(0, "true", "true");
    expectHidden(2, "true", "false");

    Properties written;
    smoothed.configuration(&written);
    EXPECT_EQ(Properties::parseAttributes(written.paramAttributes("smoothingMode")).at("values"),
              "None, Weighted Avergage, Kalman Filter");
}

TEST(SmoothedTrackingStreamInput, SamplesThatAreNotTrackingDataAreRefused)
{
    RawStream input;
    SmoothedTrackingStream smoothed(&input);
    ASSERT_TRUE(smoothed.open());
    ASSERT_TRUE(smoothed.start());
    Collector collector(smoothed);
    {
        LogExpectation expected(Log::Error, "Received data is not of type TrackingStreamData", 1);
        input.publish(std::make_shared<StreamData>(&input));
    }
    EXPECT_EQ(collector.count(), 0u);
    input.publish(std::make_shared<TrackingStreamData>(&input, std::vector<TrackingInstrument>{}));
    EXPECT_EQ(collector.count(), 1u);
}

// Samples flow on the input's delivery thread while the user-interface thread reconfigures and reads the stream, and
// a listener reads instruments() from inside the emission. The chain source -> smoothed -> combined -> listener then
// takes the smoothed stream's mutex, then the combined stream's, then the listener's: ThreadSanitizer checks the order.
TEST(SmoothedTrackingStreamConcurrency, ChainRunsWhileTheStreamIsReadAndReconfigured)
{
    ManualTrackingStream input("Tracker");
    SmoothedTrackingStream smoothed(&input);
    ASSERT_TRUE(smoothed.open());
    ASSERT_TRUE(smoothed.start());
    CombinedTrackingStream combined(std::vector<TrackingStream*>{ &smoothed });
    ASSERT_TRUE(combined.open());
    ASSERT_TRUE(combined.start());
    CombinedTrackingStream::CombinationInstruction instruction;
    instruction.p_outputInstrument = "Pointer in reference";
    instruction.p_preStreamName = smoothed.name();
    instruction.p_preInstrument = "ref";
    instruction.p_postStreamName = smoothed.name();
    instruction.p_postInstrument = "ptr";
    combined.addOutputInstrument(instruction);

    std::atomic<int> combinedSamples{ 0 };
    std::atomic<size_t> seenInside{ 0 };
    SignalReceiver listener;
    smoothed.signalStreamData.connect(&listener, [&](const std::shared_ptr<const StreamData>&)
                                      { seenInside += smoothed.instruments().size(); });
    combined.signalStreamData.connect(&listener, [&](const std::shared_ptr<const StreamData>&) { ++combinedSamples; });

    constexpr int kSamples = 300;
    std::thread producer(
      [&]
      {
          for (int k = 0; k < kSamples; ++k)
              input.push(
                { makeTool("ref", makePose({ 0, 0, 0 }, 0.01 * k)), makeTool("ptr", makePose({ 1.0 * k, 0, 0 })) },
                kStart + k * kPeriod60Hz);
      });
    size_t reads = 0;
    for (int round = 0; round < 200; ++round)
    {
        configureMode(smoothed, round % 3);
        Properties written;
        smoothed.configuration(&written);
        reads += smoothed.instruments().size() + combined.devices().size();
    }
    producer.join();
    ASSERT_TRUE(input.waitUntilDelivered());
    listener.disconnectAll();
    EXPECT_EQ(combinedSamples.load(), kSamples);
    EXPECT_EQ(seenInside.load(), 2u * kSamples);
    EXPECT_EQ(combined.devices()[0].name(), "Pointer in reference");
    (void)reads;
}
