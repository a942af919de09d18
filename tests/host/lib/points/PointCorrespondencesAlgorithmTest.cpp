#include "lib/points/PointCorrespondencesAlgorithm.h"

#include <gtest/gtest.h>

#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "lib/points/PointCorrespondences.h"
#include "lib/points/PointsOnImage.h"
#include "lib/points/PointsStorageComponent.h"

#include "LogExpectation.h"
#include "PointsTestSupport.h"

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
using namespace Kelvaros::Testing;

namespace
{
/// A point set that belongs to a PlainData, handed out by a test factory.
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
} // namespace

// The registries are process-wide: this test owns the only registrations made in this program.
TEST(PointCorrespondencesAlgorithm, RegistriesAskHigherPrioritiesFirst)
{
    PlainData plain;
    SharedImageSet image("image", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));

    // The host's own entries: image sets only.
    EXPECT_TRUE(PointCorrespondencesAlgorithm::isCompatible(image));
    EXPECT_FALSE(PointCorrespondencesAlgorithm::isCompatible(plain));
    EXPECT_EQ(PointCorrespondencesAlgorithm::createPointsOnData(plain, "set"), nullptr);
    const auto onImage = PointCorrespondencesAlgorithm::createPointsOnData(image, "set");
    ASSERT_TRUE(dynamic_cast<PointsOnImage*>(onImage.get()));
    EXPECT_EQ(image.components().get<PointsStorageComponent>()->points("set"), onImage);

    PointCorrespondencesAlgorithm::getCompatibilityChecks().push_back(
      [](const Data& data) { return dynamic_cast<const PlainData*>(&data) != nullptr; });
    EXPECT_TRUE(PointCorrespondencesAlgorithm::isCompatible(plain));

    const auto factory = [](std::string tag)
    {
        return [tag](Data& data, const std::string&) -> std::shared_ptr<PointsOnData>
        {
            if (!dynamic_cast<PlainData*>(&data))
                return nullptr;
            return std::make_shared<PlainPoints>(&data, tag);
        };
    };
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(factory("low"), 1);
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(factory("high"), 5);
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(factory("high, later"), 5);
    {
        LogExpectation expect(Log::Warning, "null factory was refused", 2);
        PointCorrespondencesAlgorithm::addPointsOnDataFactory(nullptr, 9);
        PointCorrespondencesAlgorithm::addManipulatorFactory(nullptr, 9);
    }
    const auto onPlain = PointCorrespondencesAlgorithm::createPointsOnData(plain, "set");
    ASSERT_TRUE(dynamic_cast<PlainPoints*>(onPlain.get()));
    EXPECT_EQ(static_cast<PlainPoints&>(*onPlain).tag, "high");
    // Factories that return nothing fall through to the host's image factory.
    EXPECT_TRUE(dynamic_cast<PointsOnImage*>(PointCorrespondencesAlgorithm::createPointsOnData(image, "x").get()));

    const auto manipulator = [](PointsOnData&) -> std::unique_ptr<PointsOnDataManipulator> { return nullptr; };
    PointCorrespondencesAlgorithm::addManipulatorFactory(manipulator, 0);
    PointCorrespondencesAlgorithm::addManipulatorFactory(manipulator, 2);
    PointCorrespondencesAlgorithm::addManipulatorFactory(manipulator, 1);
    EXPECT_EQ(PointCorrespondencesAlgorithm::manipulatorFactoryPriorities(), (std::vector<int>{ 2, 1, 0 }));
    EXPECT_EQ(PointCorrespondencesAlgorithm::manipulatorFactories().size(), 3u);
}

namespace
{
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
} // namespace

// A plug-in takes its entries out before it is unloaded; entries of others, lambdas included, stay.
TEST(PointCorrespondencesAlgorithm, RemovesExactlyTheEntriesWrappingAFunction)
{
    PlainData plain;
    const size_t checks = PointCorrespondencesAlgorithm::getCompatibilityChecks().size();
    const size_t manipulators = PointCorrespondencesAlgorithm::manipulatorFactories().size();
    const auto before = PointCorrespondencesAlgorithm::createPointsOnData(plain, "set");

    PointCorrespondencesAlgorithm::getCompatibilityChecks().emplace_back(&isPlain);
    PointCorrespondencesAlgorithm::addPointsOnDataFactory(&plainPoints, 100);
    PointCorrespondencesAlgorithm::addManipulatorFactory(&noManipulator, 100);
    const auto added = PointCorrespondencesAlgorithm::createPointsOnData(plain, "set");
    ASSERT_TRUE(added);
    EXPECT_EQ(static_cast<PlainPoints&>(*added).tag, "function");

    PointCorrespondencesAlgorithm::removeCompatibilityCheck(&isPlain);
    PointCorrespondencesAlgorithm::removePointsOnDataFactory(&plainPoints);
    PointCorrespondencesAlgorithm::removeManipulatorFactory(&noManipulator);
    EXPECT_EQ(PointCorrespondencesAlgorithm::getCompatibilityChecks().size(), checks);
    EXPECT_EQ(PointCorrespondencesAlgorithm::manipulatorFactories().size(), manipulators);
    const auto after = PointCorrespondencesAlgorithm::createPointsOnData(plain, "set");
    EXPECT_EQ(after == nullptr, before == nullptr);
    if (after)
    {
        EXPECT_NE(static_cast<PlainPoints&>(*after).tag, "function");
    }
}

TEST(PointCorrespondencesAlgorithm, RegistersTheSecondImageOntoTheFirst)
{
    std::mt19937 rng(3);
    SharedImageSet fixed("fixed", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    SharedImageSet moving("moving", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    fixed.setMatrix(randomRigid(rng));
    moving.setMatrix(randomRigid(rng));

    std::unique_ptr<Algorithm> created;
    EXPECT_FALSE(PointCorrespondencesAlgorithm::createCompatible(DataList{ &fixed }, &created));
    ASSERT_TRUE(PointCorrespondencesAlgorithm::createCompatible(DataList{ &fixed, &moving }, &created));
    auto& algorithm = static_cast<PointCorrespondencesAlgorithm&>(*created);
    PointCorrespondences& pairs = *algorithm.pointCorrespondences();

    const Eigen::Matrix4d truth = randomRigid(rng);
    for (const auto& p : randomPoints(rng, 5))
    {
        static_cast<PointsOnImage&>(pairs.second()).addImagePoint(p, 0);
        static_cast<PointsOnImage&>(pairs.first()).addWorldPoint(apply(moving.matrix() * truth, p));
    }
    const Eigen::Matrix4d before = moving.matrix();
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), 0);
    EXPECT_TRUE(algorithm.transform().isApprox(truth, 1e-9));
    EXPECT_TRUE(moving.matrix().isApprox(before * truth, 1e-9));
    EXPECT_NEAR(*algorithm.registrationError(), 0.0, 1e-9);

    pairs.second().remove(2, 5);
    {
        LogExpectation expect(Log::Error, "Need at least 3 point correspondences", 1);
        algorithm.compute();
    }
    EXPECT_EQ(algorithm.status(), PointCorrespondencesAlgorithm::StatusUnusablePoints);
    EXPECT_TRUE(moving.matrix().isApprox(before * truth, 1e-9));
}
