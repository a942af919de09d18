#include "registration/PointsOnTrackingStream.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "stream/ManualTrackingStream.h"

#include "LogExpectation.h"
#include "RegistrationTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
const char* const kClearMessage = "Changed instrument after points were added. Clear points.";

void addPoints(PointsOnTrackingStream& points, int count)
{
    for (int i = 0; i < count; ++i)
        points.addWorldPoint(Eigen::Vector3d(i, 10.0 * i, 100.0 * i));
}
} // namespace

TEST(PointsOnTrackingStream, AddSetAndRemoveFollowTheIndexRules)
{
    ManualTrackingStream stream;
    PointsOnTrackingStream points(stream);
    PointSignalLog log(points);
    {
        LogExpectation expect(Log::Error, "setWorldPoint: invalid index 0", 1);
        points.setWorldPoint({ 1, 1, 1 }, -1);
    }
    addPoints(points, 3);
    EXPECT_EQ(points.data(), &stream);
    EXPECT_EQ(points.names(), std::vector<std::string>(3));
    EXPECT_EQ(points.flags(), std::vector<bool>(3, true));

    points.setWorldPoint({ 7, 8, 9 }, -1);
    EXPECT_EQ(points.point(2), Eigen::Vector3d(7, 8, 9));
    points.setWorldPoint({ 4, 5, 6 }, -7); // counts from the end, clamped to 0
    EXPECT_EQ(points.point(0), Eigen::Vector3d(4, 5, 6));
    {
        LogExpectation expect(Log::Error, "setWorldPoint: invalid index 3", 1);
        points.setWorldPoint({ 1, 1, 1 }, 3);
    }
    EXPECT_EQ(log.events,
              (std::vector<std::string>{ "added 0 1", "added 1 2", "added 2 3", "changed 2 3", "changed 0 1" }));

    log.events.clear();
    points.setName("last", 2);
    points.remove(-5, 2);
    ASSERT_EQ(points.size(), 1);
    EXPECT_EQ(points.point(0), Eigen::Vector3d(7, 8, 9));
    EXPECT_EQ(points.names(), std::vector<std::string>{ "last" });
    EXPECT_EQ(points.flags().size(), 1u);

    addPoints(points, 2);
    points.remove(3, 3);
    points.remove(2, 100);
    EXPECT_EQ(points.size(), 2);
    EXPECT_EQ(points.names().size(), 2u);
    EXPECT_EQ(log.events,
              (std::vector<std::string>{ "renamed 2 3", "removed 0 2", "added 1 2", "added 2 3", "removed 2 3" }));
}

TEST(PointsOnTrackingStream, FollowsTheMainInstrumentAndClearsPointsOfAnotherOne)
{
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    PointsOnTrackingStream points(stream);
    EXPECT_TRUE(points.useMainInstrument());
    EXPECT_EQ(points.trackerId(), "pointer");
    {
        LogExpectation expect(Log::Error, "Main instrument is used. Cannot set tracker ID manually.", 1);
        points.setTrackerId("needle");
    }
    EXPECT_EQ(points.trackerId(), "pointer");

    addPoints(points, 2);
    stream.setMainInstrumentId("pointer"); // unchanged: no signal
    {
        LogExpectation expect(Log::Info, kClearMessage, 1);
        stream.setMainInstrumentId("needle");
    }
    EXPECT_EQ(points.trackerId(), "needle");
    EXPECT_TRUE(points.empty());
    EXPECT_TRUE(points.names().empty());

    // Following the main instrument onto an empty set changes the id quietly.
    stream.setMainInstrumentId("probe");
    EXPECT_EQ(points.trackerId(), "probe");
    int clears = 0;
    for (const auto& record : capturedLog())
        clears += record.message == kClearMessage && record.category == "PointsOnTrackingStream";
    EXPECT_EQ(clears, 1);

    // Switched off: the current main instrument is the starting manual id, and changes no longer follow.
    points.setUseMainInstrument(false);
    addPoints(points, 2);
    stream.setMainInstrumentId("needle");
    EXPECT_EQ(points.trackerId(), "probe");
    EXPECT_EQ(points.size(), 2);
    points.setTrackerId("needle");
    EXPECT_EQ(points.trackerId(), "needle");
    EXPECT_EQ(points.size(), 2) << "a manual id leaves the points alone";
}

TEST(PointsOnTrackingStream, SwitchingTheFollowFlagTakesTheMainInstrument)
{
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    PointsOnTrackingStream points(stream);
    points.setUseMainInstrument(false);
    points.setTrackerId("needle");
    addPoints(points, 3);
    {
        LogExpectation expect(Log::Info, kClearMessage, 1);
        points.setUseMainInstrument(false);
    }
    EXPECT_EQ(points.trackerId(), "pointer");
    EXPECT_TRUE(points.empty());

    addPoints(points, 1);
    points.setUseMainInstrument(true); // same instrument: points stay
    EXPECT_EQ(points.size(), 1);

    points.setRelativeTrackerId(std::string("reference"));
    EXPECT_EQ(points.relativeTrackerId(), "reference");
    points.setRelativeTrackerId(std::nullopt);
    EXPECT_FALSE(points.relativeTrackerId());
    EXPECT_EQ(points.size(), 1);
}

TEST(PointsOnTrackingStream, ConfigurationRestoresPointsNamesAndIds)
{
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    PointsOnTrackingStream points(stream);
    points.setUseMainInstrument(false);
    points.setTrackerId("needle");
    points.setRelativeTrackerId(std::string("reference"));
    points.addWorldPoint({ 1.25, -2.5, 1e-3 });
    points.addWorldPoint({ 100, 200, 300 });
    points.setName("nasion", 0);
    points.setName("inion", 1);

    Properties written;
    points.configuration(&written);
    EXPECT_EQ(written.paramOr<std::string>("trackingTargetId", ""), "needle");
    EXPECT_EQ(written.paramOr<std::string>("trackingTargetRelId", ""), "reference");
    const auto reread = Properties::fromXml(written.toXml());
    ASSERT_TRUE(reread);

    // The stored id is taken even while the new set follows the main instrument.
    PointsOnTrackingStream restored(stream);
    PointSignalLog log(restored);
    restored.configure(reread.get());
    EXPECT_EQ(restored.allPoints(), points.allPoints());
    EXPECT_EQ(restored.names(), points.names());
    EXPECT_EQ(restored.trackerId(), "needle");
    EXPECT_EQ(restored.relativeTrackerId(), "reference");
    EXPECT_TRUE(restored.useMainInstrument());
    EXPECT_EQ(log.events, (std::vector<std::string>{ "added 0 1", "renamed 0 1", "added 1 2", "renamed 1 2" }));

    // Per-point records: a record without "Point" names the current last point.
    Properties point;
    point.setParam("Name", std::string("renamed"));
    restored.configurePoint(&point);
    EXPECT_EQ(restored.names().back(), "renamed");
    EXPECT_EQ(restored.size(), 2);
    Properties none;
    restored.pointConfiguration(&none, 2);
    restored.pointConfiguration(nullptr, 0);
    restored.configurePoint(nullptr);
    restored.configure(nullptr);
    EXPECT_TRUE(none.isEmpty());

    // An empty relative id is written as such and clears a stored one.
    restored.setRelativeTrackerId(std::nullopt);
    Properties cleared;
    restored.configuration(&cleared);
    points.configure(&cleared);
    EXPECT_FALSE(points.relativeTrackerId());
}

TEST(PointsOnTrackingStream, CopiesKeepTheRecordButDoNotFollowTheStream)
{
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    PointsOnTrackingStream points(stream);
    points.setRelativeTrackerId(std::string("reference"));
    addPoints(points, 2);
    points.setName("a", 0);
    points.setFlag(1, false);

    PointsOnTrackingStream copy(points);
    PointsOnTrackingStream source(points);
    PointsOnTrackingStream moved(std::move(source));
    for (const PointsOnTrackingStream* other : { &copy, &moved })
    {
        EXPECT_EQ(&other->trackingStream(), &stream);
        EXPECT_EQ(other->allPoints(), points.allPoints());
        EXPECT_EQ(other->names(), points.names());
        EXPECT_EQ(other->flags(), points.flags());
        EXPECT_EQ(other->trackerId(), "pointer");
        EXPECT_EQ(other->relativeTrackerId(), "reference");
    }
    LogExpectation expect(Log::Info, kClearMessage, 1);
    stream.setMainInstrumentId("needle");
    EXPECT_TRUE(points.empty());
    EXPECT_EQ(copy.size(), 2);
    EXPECT_EQ(copy.trackerId(), "pointer");
    EXPECT_EQ(moved.size(), 2);
}

// A stream listener reads the ids for every sample while the user interface changes them.
TEST(PointsOnTrackingStream, IdsMayBeReadOnAnotherThreadWhileTheyChange)
{
    ManualTrackingStream stream;
    PointsOnTrackingStream points(stream);
    points.setUseMainInstrument(false);
    std::atomic<bool> done{ false };
    std::atomic<int> reads{ 0 };
    std::thread reader(
      [&]
      {
          while (!done)
          {
              const std::string id = points.trackerId();
              const auto relative = points.relativeTrackerId();
              EXPECT_TRUE(id.empty() || id.rfind("tool", 0) == 0);
              EXPECT_TRUE(!relative || relative->rfind("reference", 0) == 0);
              ++reads;
          }
      });
    for (int i = 0; i < 2000; ++i)
    {
        points.setTrackerId("tool-with-a-long-enough-id-to-leave-small-string-storage-" + std::to_string(i));
        points.setRelativeTrackerId(i % 3 ? std::optional<std::string>("reference-" + std::to_string(i))
                                          : std::nullopt);
    }
    while (reads < 100)
        std::this_thread::yield();
    done = true;
    reader.join();
}
