#include "lib/points/PointsStorageComponent.h"

#include <gtest/gtest.h>

#include "lib/SharedImageSet.h"
#include "lib/points/PointsOnImage.h"

#include "LogExpectation.h"
#include "PointsTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
/// A point set of another type, to provoke the type clash.
class OtherPoints : public PointsOnData
{
public:
    [[nodiscard]] const std::vector<Eigen::Vector3d>& allPoints() const override { return m_points; }
    [[nodiscard]] const Data* data() const override { return nullptr; }
    void remove(int, int) override {}
    void configurePoint(const Properties*) override {}
    void pointConfiguration(Properties*, int) const override {}

private:
    std::vector<Eigen::Vector3d> m_points;
};

std::function<std::shared_ptr<PointsOnImage>()> creator(SharedImageSet& image, int& calls)
{
    return [&image, &calls]
    {
        ++calls;
        return std::make_shared<PointsOnImage>(image);
    };
}
} // namespace

TEST(PointsStorageComponent, HandsOutOneSharedSetPerName)
{
    SharedImageSet image("image", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    PointsStorageComponent storage;
    int calls = 0;
    const auto a = storage.getOrCreate<PointsOnImage>("landmarks", creator(image, calls));
    const auto b = storage.getOrCreate<PointsOnImage>("landmarks", creator(image, calls));
    const auto c = storage.getOrCreate<PointsOnImage>("targets", creator(image, calls));
    ASSERT_TRUE(a && c);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(storage.names(), (std::vector<std::string>{ "landmarks", "targets" }));
    EXPECT_EQ(storage.points("targets"), c);
    EXPECT_EQ(storage.points("unknown"), nullptr);

    storage.setPoints("other", std::make_shared<OtherPoints>());
    {
        LogExpectation expect(Log::Error,
                              "Point set with name 'other' already exists, but is not of type "
                              "'Kelvaros::PointsOnImage'",
                              1);
        EXPECT_EQ(storage.getOrCreate<PointsOnImage>("other", creator(image, calls)), nullptr);
    }
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(storage.remove("other"));
    EXPECT_FALSE(storage.remove("other"));
}

TEST(PointsStorageComponent, NewSetsStartFromTheStoredConfiguration)
{
    SharedImageSet image("image", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    PointsStorageComponent storage;
    int calls = 0;
    const auto original = storage.getOrCreate<PointsOnImage>("landmarks", creator(image, calls));
    original->addImagePoint({ 1, 2, 3 }, 0);
    original->setName("tip", 0);

    // Written, read into a fresh component (as a workspace does), and the set created again from it.
    Properties saved;
    storage.configuration(&saved);
    PointsStorageComponent loaded;
    loaded.configure(&saved);
    EXPECT_EQ(loaded.points("landmarks"), nullptr);
    const auto restored = loaded.getOrCreate<PointsOnImage>("landmarks", creator(image, calls));
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->imagePoints(), original->imagePoints());
    EXPECT_EQ(restored->names(), original->names());

    // A copy (the component copied with its data) snapshots the live sets instead of sharing them.
    original->addImagePoint({ 4, 5, 6 }, 0);
    PointsStorageComponent copy(storage);
    EXPECT_EQ(copy.points("landmarks"), nullptr);
    const auto fromCopy = copy.getOrCreate<PointsOnImage>("landmarks", creator(image, calls));
    EXPECT_NE(fromCopy, original);
    EXPECT_EQ(fromCopy->imagePoints(), original->imagePoints());

    // Configuring a component whose set is live configures the set at once.
    loaded.configure(&saved);
    EXPECT_EQ(restored->size(), 1);
    const std::unique_ptr<DataComponent> clone = storage.cloneDerived();
    ASSERT_TRUE(dynamic_cast<PointsStorageComponent*>(clone.get()));
    EXPECT_EQ(static_cast<PointsStorageComponent&>(*clone).storedConfiguration("landmarks").has_value(), true);
}
