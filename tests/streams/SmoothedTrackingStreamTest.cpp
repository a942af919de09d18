#include "streams/SmoothedTrackingStream.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <random>
#include <tuple>

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/numerics/KalmanPosition.h"
#include "lib/numerics/KalmanQuaternion.h"

#include "LogExpectation.h"
#include "TrackingTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
constexpr int64_t kStart = 1'000'000'000; // device clock (microseconds), away from the "no timestamp" 0
constexpr int64_t kPeriod60Hz = 16'667;

/// Configures the mode as a stored configuration from before the "adaptive" key would; `adaptive` adds the key.
void configureMode(SmoothedTrackingStream& stream, int mode, int interval = 200, std::optional<bool> adaptive = {})
{
    Properties properties;
    properties.setParam("smoothingMode", mode);
    properties.setParam("smoothingInterval", interval);
    if (adaptive)
        properties.setParam("adaptive", *adaptive);
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

class SmoothedTrackingStreamTest : public ::testing::Test
{
protected:
    void SetUp() override { openAndStart(smoothed); }

    static TrackingInstrument tool(const std::string& id, const Eigen::Vector3d& t, double quality = 1.0)
    {
        return instrument(id, pose(t), quality);
    }
    /// The instruments of the last emitted sample.
    std::vector<TrackingInstrument> last() const { return collector.last()->instruments(); }

    ManualTrackingStream input{ "Tracker" };
    SmoothedTrackingStream smoothed{ &input };
    SampleCollector collector{ smoothed };
};

/// Waits for `done`. A deadlock leaves a thread stuck inside the stream, where tearing the fixture down would hang too.
void expectNoDeadlock(const std::future<void>& done, const char* what)
{
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        return;
    std::fprintf(stderr, "%s deadlocked\n", what);
    std::_Exit(EXIT_FAILURE);
}

} // namespace

TEST(SmoothedTrackingStreamSetup, FollowsTheLifecycleAndNotificationsOfItsInput)
{
    ManualTrackingStream input("Tracker");
    {
        SmoothedTrackingStream smoothed(&input);
        EXPECT_EQ(smoothed.name(), "Tracker (smoothed)");
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
        feed(input, { instrument("tool", pose({ 1, 2, 3 })) });
        // Once for the input's new instrument, once for the smoothed stream's own.
        EXPECT_EQ(instrumentNotifications, 2);
        receiver.disconnectAll();
    }
    EXPECT_EQ(input.state(), Stream::State::Closed) << "destroying the smoothed stream closes its input";
}

TEST_F(SmoothedTrackingStreamTest, WithoutSmoothingOnlyNamesChange)
{
    configureMode(smoothed, 0);
    const TrackingInstrument a = instrument("a", pose({ 1, 2, 3 }, 0.3), 0.7, true, 42);
    const TrackingInstrument b = instrument("b", pose({ 4, 5, 6 }, -0.3), 0.2, false, 43);
    feed(input, { a, b }, kStart);
    ASSERT_EQ(collector.count(), 1u);
    EXPECT_EQ(collector.last()->timestampDevice(), kStart);
    const auto out = last();
    EXPECT_EQ(out[0].id, TrackerID("a", "TestModel", "a tool (smoothed)"));
    EXPECT_EQ(out[0].matrix, a.matrix);
    EXPECT_EQ(out[0].quality, 0.7);
    EXPECT_FALSE(out[1].tracked);

    configureMode(smoothed, 7);
    feed(input, { a }, kStart + 1);
    EXPECT_EQ(last()[0].id, a.id) << "an unknown mode passes samples on untouched";
}

TEST_F(SmoothedTrackingStreamTest, MovingAverageWeighsByQualityAndRunsAsARing)
{
    configureMode(smoothed, 1);
    const Eigen::Matrix4d first = pose({ 10, 0, 0 }, 10 * kDegree);
    const Eigen::Matrix4d second = pose({ 20, 4, 0 }, 20 * kDegree);
    feed(input, { instrument("a", first, 1.0) });
    EXPECT_LT(translationDifference(last()[0].matrix, first), 1e-12);
    EXPECT_EQ(last()[0].name(), "a tool (smoothed)");
    feed(input, { instrument("a", second, 0.5) });
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

    // Every weight 0 in the window: identity with quality 0.
    configureMode(smoothed, 1);
    feed(input, { tool("a", { 5, 6, 7 }, 0.0) });
    feed(input, { tool("a", { 5, 6, 7 }, 0.0) });
    EXPECT_EQ(last()[0].matrix, Eigen::Matrix4d::Identity());
    EXPECT_EQ(last()[0].quality, 0.0);
}

TEST_F(SmoothedTrackingStreamTest, MovingAverageAlignsQuaternionSigns)
{
    // Half turns about two axes 1 degree either side of (1, -1, 0): the converter puts the largest diagonal's
    // component positive, which flips the sign between the two although the rotations are 2 degrees apart.
    const auto axis = [](double degrees)
    { return Eigen::Vector3d(std::cos(degrees * kDegree), -std::sin(degrees * kDegree), 0.0); };
    const Eigen::Matrix4d before = pose({ 0, 0, 0 }, kPi, axis(44));
    const Eigen::Matrix4d after = pose({ 0, 0, 0 }, kPi, axis(46));
    ASSERT_LT(wxyz(before).dot(wxyz(after)), -0.9) << "the test needs opposite signs from the conversion";

    configureMode(smoothed, 1);
    feed(input, { instrument("a", before) });
    feed(input, { instrument("a", after) });
    EXPECT_LT(rotationDifferenceDegrees(last()[0].matrix, pose({ 0, 0, 0 }, kPi, axis(45))), 1e-6);
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

TEST_F(SmoothedTrackingStreamTest, KalmanStartsUnfilteredAfterCreationAndAfterConfigure)
{
    feed(input, { tool("a", { 0, 0, 0 }) }, kStart);
    feed(input, { tool("a", { 1, 0, 0 }) }, kStart + kPeriod60Hz);
    EXPECT_EQ(last()[0].name(), "a tool (smoothed)");

    configureMode(smoothed, 2);
    const TrackingInstrument far = tool("a", { 500, 0, 0 });
    feed(input, { far }, kStart + 2 * kPeriod60Hz);
    EXPECT_EQ(last()[0].matrix, far.matrix) << "configure resets the filters";
    EXPECT_EQ(last()[0].id, far.id) << "a first sample passes with its name unchanged";
}

// A tracker may leave out a hidden tool or list its tools in another order. The smoothing state of a position must
// then start afresh: averaging or filtering one tool's poses into another's would put it somewhere in between.
TEST_F(SmoothedTrackingStreamTest, ToolsThatChangePositionInTheSampleAreNeverBlended)
{
    const Eigen::Vector3d atA(0, 0, 0);
    const Eigen::Vector3d atB(100, 0, 0);
    for (const auto& [mode, adaptive] : { std::pair{ 1, false }, std::pair{ 2, false }, std::pair{ 2, true } })
    {
        SCOPED_TRACE(testing::Message() << mode << (adaptive ? " adaptive" : ""));
        configureMode(smoothed, mode, 200, adaptive);
        int64_t t = kStart;
        for (int k = 0; k < 5; ++k, t += kPeriod60Hz)
            feed(input, { tool("A", atA), tool("B", atB) }, t);

        // Every output must sit where its own tool is; A is at the origin, B 100 mm away.
        const auto expectUnblended = [&]
        {
            for (const TrackingInstrument& out : last())
                EXPECT_LT(translationDifference(out.matrix, pose(out.id.ID() == "A" ? atA : atB)), 1e-6) << out.id.ID();
        };
        feed(input, { tool("B", atB), tool("A", atA) }, t);
        expectUnblended();
        feed(input, { tool("B", atB), tool("A", atA) }, t += kPeriod60Hz);
        expectUnblended();
        feed(input, { tool("B", atB) }, t += kPeriod60Hz);
        expectUnblended();
    }
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
        const Eigen::Matrix4d measured = pose({ 2.0 * k + noise(rng), noise(rng), 100 }, 0.02 * k + 0.01 * noise(rng));
        const double q = k % 7 == 3 ? 0.0 : 0.9;
        feed(input, { instrument("a", measured, q) }, kStart + k * kPeriod60Hz);
        const TrackingInstrument out = last()[0];

        const double dt = k == 0 ? 1.0 : double(kPeriod60Hz);
        const double sPos = 0.5 / (dt * dt) * 0.5;
        const double sRot = 0.01 / (dt * dt) * 0.5;
        if (k == 0)
        {
            position.init(measured.topRightCorner<3, 1>(), sPos * sPos);
            position.setMeasurementVariance(0.25);
            orientation.init(wxyz(measured), sRot * sRot);
            orientation.setMeasurementVariance(1e-4);
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
    feed(input, { tool("a", { 0, 0, 0 }, 0.0) }, kStart);
    EXPECT_TRUE(last()[0].matrix.allFinite());
    EXPECT_NEAR(last()[0].matrix(0, 3), before, 0.5);

    // Time then runs on from the new clock.
    feed(input, { tool("a", { 30, 0, 0 }) }, kStart + kPeriod60Hz);
    EXPECT_NEAR(last()[0].matrix(0, 3), 30.0, 2.0);
}

// A configuration stored before the "adaptive" key existed smooths exactly as then: bit for bit like the key set to
// false, and unlike the adaptive filter. With the key, the adaptive filter smooths the resting tool more than the
// Kalman defaults, and a sample without a measurement holds the last estimate.
TEST_F(SmoothedTrackingStreamTest, AdaptiveFilterOnlyWhenTheKeyAsksForIt)
{
    SmoothedTrackingStream explicitlyOff(&input);
    SmoothedTrackingStream adaptive(&input);
    SampleCollector offCollector(explicitlyOff);
    SampleCollector adaptiveCollector(adaptive);
    configureMode(smoothed, 2);
    configureMode(explicitlyOff, 2, 200, false);
    configureMode(adaptive, 2, 200, true);
    ASSERT_TRUE(adaptive.p_adaptive.value());

    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 0.1);
    double rawSpread = 0.0;
    double kalmanSpread = 0.0;
    double adaptiveSpread = 0.0;
    for (int k = 0; k < 300; ++k)
    {
        const Eigen::Vector3d measured(noise(rng), noise(rng), noise(rng));
        feed(input, { tool("a", measured) }, kStart + k * kPeriod60Hz);
        EXPECT_EQ(offCollector.last()->instruments()[0].matrix, last()[0].matrix) << k;
        if (k < 60)
            continue;
        rawSpread += measured.squaredNorm();
        kalmanSpread += last()[0].matrix.topRightCorner<3, 1>().squaredNorm();
        adaptiveSpread += adaptiveCollector.last()->instruments()[0].matrix.topRightCorner<3, 1>().squaredNorm();
    }
    EXPECT_LT(kalmanSpread, rawSpread);
    EXPECT_LT(adaptiveSpread * 9.0, rawSpread) << "the adaptive filter smooths a resting tool at least 3x";
    EXPECT_LT(adaptiveSpread * 2.0, kalmanSpread);

    const Eigen::Matrix4d before = adaptiveCollector.last()->instruments()[0].matrix;
    feed(input, { tool("a", { 50, 0, 0 }, 0.0) }, kStart + 300 * kPeriod60Hz);
    EXPECT_EQ(adaptiveCollector.last()->instruments()[0].matrix, before);
    EXPECT_EQ(adaptiveCollector.last()->instruments()[0].name(), "a tool (smoothed)");
}

TEST_F(SmoothedTrackingStreamTest, HiddenAttributesFollowTheMode)
{
    EXPECT_EQ(smoothed.p_smoothingInterval.attribute("hidden"), "true");
    for (const auto& [mode, interval, kalman] :
         { std::tuple{ 1, "false", "true" }, std::tuple{ 0, "true", "true" }, std::tuple{ 2, "true", "false" } })
    {
        SCOPED_TRACE(mode);
        configureMode(smoothed, mode);
        Properties written;
        smoothed.configuration(&written);
        EXPECT_EQ(smoothed.p_smoothingInterval.attribute("hidden"), interval);
        EXPECT_EQ(written.paramAttributes("smoothingInterval"), std::string("hidden: ") + interval);
        for (const char* key : { "translationError", "angularError", "processSigma", "adaptive" })
            EXPECT_EQ(written.paramAttributes(key), std::string("hidden: ") + kalman) << key;
    }
}

// A viewer's listener may retune the smoothing on the sample it was handed, on the input's delivery thread, and a
// listener of the parameters may answer a change with a configuration of its own. Were either run with the stream's
// lock held, configure() would wait for ever on the thread that holds it.
TEST_F(SmoothedTrackingStreamTest, ListenerMayReconfigureFromTheDeliveryThread)
{
    std::promise<void> reconfigured;
    const std::future<void> done = reconfigured.get_future();
    SignalReceiver listener;
    smoothed.signalStreamData.connect(&listener,
                                      [&](const std::shared_ptr<const StreamData>&)
                                      {
                                          configureMode(smoothed, 1);
                                          reconfigured.set_value();
                                      });
    input.push({ tool("a", { 1, 2, 3 }) }, kStart);
    expectNoDeadlock(done, "configure() from a sample listener");
    listener.disconnectAll();
    EXPECT_EQ(smoothed.p_smoothingMode.value(), SmoothedTrackingStream::SmoothingMode::WeightedAverage);
}

TEST_F(SmoothedTrackingStreamTest, ParameterListenerMayReconfigure)
{
    SignalReceiver listener;
    smoothed.signalParametersChanged.connect(&listener,
                                             [&](ParameterBase* changed)
                                             {
                                                 if (changed == &smoothed.p_smoothingMode)
                                                     configureMode(smoothed, 1, 5);
                                             });
    const std::future<void> done = std::async(std::launch::async, [&] { configureMode(smoothed, 1); });
    expectNoDeadlock(done, "configure() from a parameter listener");
    listener.disconnectAll();
    EXPECT_EQ(smoothed.p_smoothingMode.value(), SmoothedTrackingStream::SmoothingMode::WeightedAverage);
}

TEST(SmoothedTrackingStreamInput, SamplesThatAreNotTrackingDataAreRefused)
{
    DriverStream input;
    SmoothedTrackingStream smoothed(&input);
    openAndStart(smoothed);
    SampleCollector collector(smoothed);
    {
        LogExpectation expected(Log::Error, "Received data is not of type TrackingStreamData", 1);
        input.publish(std::make_shared<StreamData>(&input));
    }
    EXPECT_EQ(collector.count(), 0u);
    input.publish(std::vector<TrackingInstrument>{});
    EXPECT_EQ(collector.count(), 1u);
}
