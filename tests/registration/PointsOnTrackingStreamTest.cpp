#include "registration/PointsOnTrackingStream.h"

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "stream/ManualTrackingStream.h"

#include "LogExpectation.h"
#include "PointSignalLog.h"

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
        LogExpectation expect(Log::Error, "setWorldPoint: invalid index ", 2);
        points.setWorldPoint({ 1, 1, 1 }, -1); // index 0 of none
        addPoints(points, 3);
        points.setWorldPoint({ 1, 1, 1 }, 3);
    }
    points.setWorldPoint({ 7, 8, 9 }, -1);
    points.setWorldPoint({ 4, 5, 6 }, -7); // counts from the end, clamped to 0
    points.setName("last", 2);
    points.remove(-5, 2);
    EXPECT_EQ(points.allPoints(), std::vector<Eigen::Vector3d>{ Eigen::Vector3d(7, 8, 9) });
    EXPECT_EQ(points.names(), std::vector<std::string>{ "last" });
    EXPECT_EQ(points.flags().size(), 1u);
    addPoints(points, 2);
    points.remove(3, 3);
    points.remove(2, 100);
    EXPECT_EQ(points.names().size(), 2u);
    EXPECT_EQ(log.events,
              (std::vector<std::string>{ "added 0 1", "added 1 2", "added 2 3", "changed 2 3", "changed 0 1",
                                         "renamed 2 3", "removed 0 2", "added 1 2", "added 2 3", "removed 2 3" }));
}

TEST(PointsOnTrackingStream, FollowsTheMainInstrumentAndClearsPointsOfAnotherOne)
{
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    PointsOnTrackingStream points(stream);
    {
        LogExpectation expect(Log::Error, "Main instrument is used. Cannot set tracker ID manually.", 1);
        points.setTrackerId("needle");
    }
    EXPECT_EQ(points.trackerId(), "pointer");

    addPoints(points, 2);
    points.setRelativeTrackerId(std::string("reference"));
    const PointsOnTrackingStream copy(points); // keeps the record, does not follow the stream
    stream.setMainInstrumentId("pointer");     // unchanged: nothing happens
    {
        LogExpectation expect(Log::Info, kClearMessage, 1);
        stream.setMainInstrumentId("needle");
        stream.setMainInstrumentId("probe"); // onto an empty set: quietly
    }
    EXPECT_EQ(points.trackerId(), "probe");
    EXPECT_TRUE(points.empty());
    EXPECT_EQ(copy.allPoints().size(), 2u);
    EXPECT_EQ(copy.names().size(), 2u);
    EXPECT_EQ(copy.trackerId(), "pointer");
    EXPECT_EQ(copy.relativeTrackerId(), "reference");

    // Switched off: the current main instrument is the starting manual id, and changes no longer follow.
    points.setUseMainInstrument(false);
    addPoints(points, 2);
    stream.setMainInstrumentId("needle");
    points.setTrackerId("tool");
    EXPECT_EQ(points.trackerId(), "tool");
    EXPECT_EQ(points.size(), 2) << "a manual id leaves the points alone";
    {
        LogExpectation expect(Log::Info, kClearMessage, 1);
        points.setUseMainInstrument(false);
    }
    EXPECT_EQ(points.trackerId(), "needle");
    EXPECT_TRUE(points.empty());
}

// Stored workspaces rely on these keys.
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
    EXPECT_EQ(log.events, (std::vector<std::string>{ "added 0 1", "renamed 0 1", "added 1 2", "renamed 1 2" }));

    Properties nameOnly; // names the current last point
    nameOnly.setParam("Name", std::string("renamed"));
    restored.configurePoint(&nameOnly);
    EXPECT_EQ(restored.names(), (std::vector<std::string>{ "nasion", "renamed" }));

    // An empty reference id is no reference, before and after a save.
    for (const std::optional<std::string>& none : { std::optional<std::string>(), std::optional<std::string>("") })
    {
        points.setRelativeTrackerId(std::string("reference"));
        restored.setRelativeTrackerId(none);
        EXPECT_FALSE(restored.relativeTrackerId());
        Properties cleared;
        restored.configuration(&cleared);
        points.configure(Properties::fromXml(cleared.toXml()).get());
        EXPECT_FALSE(points.relativeTrackerId());
    }
}
