#include "lib/points/PointsStorageComponent.h"

#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "lib/SharedImageSet.h"
#include "lib/points/PointsOnImage.h"

#include "LogExpectation.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

TEST(PointsStorageComponent, HandsOutOneSharedSetPerNameAndLeavesNoEntryOnFailure)
{
    SharedImageSet image("image", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    PointsStorageComponent storage;
    int calls = 0;
    const std::function<std::shared_ptr<PointsOnImage>()> create = [&]
    {
        ++calls;
        return std::make_shared<PointsOnImage>(image);
    };
    EXPECT_EQ(storage.getOrCreate<PointsOnImage>("failed", [] { return nullptr; }), nullptr);
    EXPECT_TRUE(storage.names().empty()) << "a failed creation leaves no entry";
    const auto a = storage.getOrCreate<PointsOnImage>("landmarks", create);
    ASSERT_TRUE(a);
    EXPECT_EQ(storage.getOrCreate<PointsOnImage>("landmarks", create), a);
    EXPECT_EQ(calls, 1);

    // Another caller stores a set while this one is being created: both get the stored one.
    const auto stored = std::make_shared<PointsOnImage>(image);
    const auto raced = storage.getOrCreate<PointsOnImage>("targets",
                                                          [&]
                                                          {
                                                              storage.setPoints("targets", stored);
                                                              return std::make_shared<PointsOnImage>(image);
                                                          });
    EXPECT_EQ(raced.get(), stored.get());
    EXPECT_EQ(storage.points("targets").get(), stored.get());
    EXPECT_EQ(storage.names(), (std::vector<std::string>{ "landmarks", "targets" }));

    // A stored set of another type is not handed out as the one asked for.
    struct Other : PointsOnImage
    {
        using PointsOnImage::PointsOnImage;
    };
    LogExpectation expect(Log::Error, "Point set with name 'landmarks' already exists, but is not of type", 1);
    EXPECT_EQ(storage.getOrCreate<Other>("landmarks", [&] { return std::make_shared<Other>(image); }), nullptr);
    EXPECT_EQ(storage.points("landmarks"), a);
}

// A new set's point-added listeners (run while it is configured from the stored configuration) may use the
// component from another thread: they do not run under its lock.
TEST(PointsStorageComponent, NewSetsAreConfiguredOutsideTheLock)
{
    SharedImageSet image("image", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    PointsOnImage source(image);
    source.addImagePoint({ 1, 2, 3 }, 0);
    Properties stored;
    source.configuration(&stored);
    PointsStorageComponent storage;
    storage.setStoredConfiguration("landmarks", stored);
    SignalReceiver receiver;
    std::future<std::vector<std::string>> otherThread;
    bool otherThreadGotThrough = false;
    const auto useFromAnotherThread = [&](int, int)
    {
        otherThread = std::async(std::launch::async, [&] { return storage.names(); });
        otherThreadGotThrough = otherThread.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    };
    const std::function<std::shared_ptr<PointsOnImage>()> create = [&]
    {
        auto points = std::make_shared<PointsOnImage>(image);
        points->signalPointsAdded.connect(&receiver, useFromAnotherThread);
        return points;
    };
    const auto created = storage.getOrCreate<PointsOnImage>("landmarks", create);
    ASSERT_TRUE(created);
    EXPECT_EQ(created->imagePoints(), source.imagePoints());
    EXPECT_TRUE(otherThreadGotThrough);
    receiver.disconnectAll();
}

// Workspace files store the point sets of a data object in this form.
TEST(PointsStorageComponent, NewSetsStartFromTheStoredConfiguration)
{
    SharedImageSet image("image", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    const auto create = [&image] { return std::make_shared<PointsOnImage>(image); };
    PointsStorageComponent storage;
    const auto original = storage.getOrCreate<PointsOnImage>("landmarks", create);
    original->addImagePoint({ 1, 2, 3 }, 0);
    original->setName("tip", 0);

    Properties saved;
    storage.configuration(&saved);
    const auto reread = Properties::fromXml(saved.toXml());
    ASSERT_TRUE(reread);
    ASSERT_EQ(reread->subPropertiesAll("pointSet").size(), 1u);
    EXPECT_EQ(reread->subPropertiesAll("pointSet")[0]->paramOr<std::string>("name", ""), "landmarks");
    PointsStorageComponent loaded;
    loaded.configure(reread.get());
    const auto restored = loaded.getOrCreate<PointsOnImage>("landmarks", create);
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->imagePoints(), original->imagePoints());
    EXPECT_EQ(restored->names(), original->names());

    // A copy (the component copied with its data) snapshots the live sets instead of sharing them.
    original->addImagePoint({ 4, 5, 6 }, 0);
    PointsStorageComponent copy(storage);
    const auto fromCopy = copy.getOrCreate<PointsOnImage>("landmarks", create);
    EXPECT_NE(fromCopy, original);
    EXPECT_EQ(fromCopy->imagePoints(), original->imagePoints());

    // Configuring a component whose set is live configures the set at once.
    loaded.configure(&saved);
    EXPECT_EQ(restored->size(), 1);
}
