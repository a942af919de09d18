#include "lib/points/PointCorrespondencesAlgorithm.h"

#include <gtest/gtest.h>

#include "lib/Data.h"
#include "lib/SharedImageSet.h"
#include "lib/points/PointsOnImage.h"

#include "LogExpectation.h"

// The manipulator type belongs to the user-interface library, which this program does not link; a factory
// returning one needs a complete type, so this program gets a stand-in of its own.
namespace Kelvaros
{
class PointsOnDataManipulator
{
public:
    virtual ~PointsOnDataManipulator() = default;
};
} // namespace Kelvaros

using namespace Kelvaros;
using namespace Kelvaros::Testing; // LogExpectation

namespace
{
/// A data object of no kind the host pairs points on.
class PlainData : public Data
{
public:
    [[nodiscard]] Kind kind() const override { return Kind::PointSet; }
};

/// A point set on a PlainData, tagged with the factory that made it.
class PlainPoints : public PointsOnData
{
public:
    explicit PlainPoints(const Data* owner, std::string tag) : tag(std::move(tag)), m_owner(owner) {}
    [[nodiscard]] const std::vector<Eigen::Vector3d>& allPoints() const override { return m_points; }
    [[nodiscard]] const Data* data() const override { return m_owner; }
    void remove(int, int) override {}
    void configurePoint(const Properties*) override {}
    void pointConfiguration(Properties*, int) const override {}

    const std::string tag;

private:
    const Data* m_owner;
    std::vector<Eigen::Vector3d> m_points;
};

bool isPlain(const Data& data)
{
    return dynamic_cast<const PlainData*>(&data) != nullptr;
}
std::shared_ptr<PointsOnData> plainPoints(Data& data, const std::string&)
{
    return isPlain(data) ? std::make_shared<PlainPoints>(&data, "function") : nullptr;
}
std::unique_ptr<PointsOnDataManipulator> noManipulator(PointsOnData&)
{
    return nullptr;
}
std::string tagOf(const std::shared_ptr<PointsOnData>& points)
{
    const auto* plain = dynamic_cast<const PlainPoints*>(points.get());
    return plain ? plain->tag : "none";
}
} // namespace

// The registries are process-wide: this test owns the only registrations made in this program. A plug-in adds
// entries at start-up and takes exactly its own out before it is unloaded.
TEST(PointCorrespondencesAlgorithm, RegistriesAskHigherPrioritiesFirstAndForgetRemovedEntries)
{
    PlainData plain;
    SharedImageSet image("image", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    EXPECT_FALSE(PointCorrespondencesAlgorithm::isCompatible(plain));
    EXPECT_EQ(PointCorrespondencesAlgorithm::createPointsOnData(plain, "set"), nullptr);
    const auto onImage = PointCorrespondencesAlgorithm::createPointsOnData(image, "set");
    ASSERT_TRUE(dynamic_cast<PointsOnImage*>(onImage.get()));

    const auto factory = [](std::string tag)
    {
        return [tag](Data& data, const std::string&) -> std::shared_ptr<PointsOnData>
        { return isPlain(data) ? std::make_shared<PlainPoints>(&data, tag) : nullptr; };
    };
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(factory("low"), 1);
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(factory("high"), 5);
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(factory("high, later"), 5);
    {
        LogExpectation expect(Log::Warning, "null factory was refused", 2);
        PointCorrespondencesAlgorithm::addPointsOnDataFactory(nullptr, 9);
        PointCorrespondencesAlgorithm::addManipulatorFactory(nullptr, 9);
    }
    EXPECT_EQ(tagOf(PointCorrespondencesAlgorithm::createPointsOnData(plain, "set")), "high");
    // Factories that return nothing fall through to the host's image factory.
    EXPECT_TRUE(dynamic_cast<PointsOnImage*>(PointCorrespondencesAlgorithm::createPointsOnData(image, "x").get()));
    const auto manipulator = [](PointsOnData&) -> std::unique_ptr<PointsOnDataManipulator> { return nullptr; };
    for (const int priority : { 0, 2, 1 })
        PointCorrespondencesAlgorithm::addManipulatorFactory(manipulator, priority);

    PointCorrespondencesAlgorithm::getCompatibilityChecks().emplace_back(&isPlain);
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(&plainPoints, 100);
    PointCorrespondencesAlgorithm::addManipulatorFactory(&noManipulator, 100);
    EXPECT_TRUE(PointCorrespondencesAlgorithm::isCompatible(plain));
    EXPECT_EQ(tagOf(PointCorrespondencesAlgorithm::createPointsOnData(plain, "set")), "function");
    PointCorrespondencesAlgorithm::removeCompatibilityCheck(&isPlain);
    PointCorrespondencesAlgorithm::removePointsOnDataFactory(&plainPoints);
    PointCorrespondencesAlgorithm::removeManipulatorFactory(&noManipulator);
    EXPECT_FALSE(PointCorrespondencesAlgorithm::isCompatible(plain));
    EXPECT_EQ(tagOf(PointCorrespondencesAlgorithm::createPointsOnData(plain, "set")), "high");
    EXPECT_EQ(PointCorrespondencesAlgorithm::manipulatorFactories().size(), 3u);
}
