#include "lib/AlgorithmFactory.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Properties.h"

#include "LogExpectation.h"

namespace Kelvaros
{
namespace
{
using Testing::LogExpectation;

class PointData : public Data
{
public:
    using Data::Data;
    [[nodiscard]] Kind kind() const override { return Kind::PointSet; }
};

/// Fits a selection of exactly one point set; remembers what its rule was given.
class FitAlgorithm : public Algorithm
{
public:
    static inline const DataList* lastRuleList = nullptr;

    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
    {
        lastRuleList = &data;
        if (data.size() != 1 || !data.getFirst(Data::Kind::PointSet))
            return false;
        if (algorithm)
            *algorithm = std::make_unique<FitAlgorithm>();
        return true;
    }

    void compute() override { setStatus(Success); }
    void configure(const Properties* properties) override
    {
        ++configureCalls;
        if (properties)
            properties->param("threshold", threshold);
    }

    int configureCalls = 0;
    double threshold = 0.0;
};

class OtherAlgorithm : public Algorithm
{
public:
    void compute() override {}
};

// Creation rules: one that throws, one that claims success without an algorithm, and two that ignore the data.
const auto throwingRule = [](const DataList&, std::unique_ptr<Algorithm>*) -> bool
{ throw std::runtime_error("boom"); };
const auto emptyHandedRule = [](const DataList&, std::unique_ptr<Algorithm>*) { return true; };
const auto refuseAnything = [](const DataList&, std::unique_ptr<Algorithm>*) { return false; };
const auto acceptAnything = [](const DataList&, std::unique_ptr<Algorithm>* algorithm)
{
    if (algorithm)
        *algorithm = std::make_unique<OtherAlgorithm>();
    return true;
};

class TestFactory : public AlgorithmFactory
{
public:
    explicit TestFactory(std::string name = "Nav") : AlgorithmFactory(std::move(name), false) {}
    using AlgorithmFactory::registerAlgorithm;
};

std::vector<std::string> ids(const std::vector<const AlgorithmFactory::Descriptor*>& descriptors)
{
    std::vector<std::string> result;
    for (const auto* d : descriptors)
        result.push_back(d->id);
    return result;
}

TEST(AlgorithmFactoryRegistration, IdentifiersAreNameDotShortNameAndTheFirstRegistrationStays)
{
    TestFactory factory;
    {
        LogExpectation expect(Log::Warning, "descriptor was refused: Nav.NoRule", 1);
        EXPECT_FALSE(factory.registerAlgorithm(std::type_index(typeid(FitAlgorithm)), "NoRule", "X", nullptr));
    }
    EXPECT_EQ(factory.algorithmId(FitAlgorithm()), "") << "a refused registration maps no class";
    ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("Fit", "First;Fit"));
    const AlgorithmFactory::Descriptor* first = factory.algorithmDescriptor("Nav.Fit");
    TestFactory unnamed("");
    ASSERT_TRUE(unnamed.registerAlgorithm<FitAlgorithm>("Fit", "Fit"));
    EXPECT_EQ(ids(unnamed.algorithmDescriptors()), std::vector<std::string>{ "Fit" }) << "no dot without a name";
    {
        LogExpectation expect(Log::Warning, "Algorithm already registered: Nav.Fit", 2);
        EXPECT_FALSE(factory.registerAlgorithm<OtherAlgorithm>("Fit", "Second;Fit", acceptAnything));
        EXPECT_FALSE(factory.registerAlgorithm<FitAlgorithm>("Fit", "Third;Fit"));
    }
    EXPECT_EQ(factory.algorithmDescriptor("Nav.Fit")->category, "First;Fit");
    EXPECT_EQ(factory.algorithmId(OtherAlgorithm()), "");
    // The first identifier of a class stays; handed-out descriptors stay valid however many registrations follow.
    ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("FitAgain", "Fit again"));
    EXPECT_EQ(factory.algorithmId(FitAlgorithm()), "Nav.Fit");
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(factory.registerAlgorithm<OtherAlgorithm>("Other" + std::to_string(i), "Other", acceptAnything));
    EXPECT_EQ(factory.algorithmDescriptor("Nav.Fit"), first);
    EXPECT_EQ(factory.algorithmDescriptors().front(), first);
}

class AlgorithmFactoryCreation : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("Fit", "Registration;Point Fit"));
        ASSERT_TRUE(factory.registerAlgorithm<OtherAlgorithm>("Throw", "Broken;Throw", throwingRule));
        ASSERT_TRUE(factory.registerAlgorithm<OtherAlgorithm>("Empty", "Broken;Empty", emptyHandedRule));
    }

    TestFactory factory;
    PointData points{ "points" };
    PointData morePoints{ "more points" };
};

TEST_F(AlgorithmFactoryCreation, FailuresGiveNullAndOnlyRealErrorsAreLogged)
{
    const auto* fit = factory.algorithmDescriptor("Nav.Fit");
    EXPECT_EQ(fit->create(DataList{}), nullptr);
    EXPECT_EQ(fit->create(DataList{ &points, &morePoints }), nullptr);
    EXPECT_FALSE(fit->isCompatible(DataList{ &points, &morePoints }));
    EXPECT_TRUE(fit->isCompatible(DataList{ &points }));
    {
        LogExpectation expect(Log::Error, "Cannot create algorithm Nav.Throw: boom", 1);
        EXPECT_EQ(factory.algorithmDescriptor("Nav.Throw")->create(DataList{ &points }), nullptr);
    }
    {
        LogExpectation expect(Log::Error, "Nav.Throw: boom", 1);
        EXPECT_FALSE(factory.algorithmDescriptor("Nav.Throw")->isCompatible(DataList{ &points }));
    }
    {
        LogExpectation expect(Log::Error, "Cannot create algorithm Nav.Empty", 1);
        EXPECT_EQ(factory.algorithmDescriptor("Nav.Empty")->create(DataList{ &points }), nullptr);
    }
    {
        LogExpectation expect(Log::Error, "Unknown algorithm: Nav.Missing", 1);
        EXPECT_EQ(factory.instantiateAlgorithm("Nav.Missing", DataList{ &points }), nullptr);
    }
    LogExpectation expect(Log::Warning, "Nav.Fit cannot be created", 1);
    EXPECT_EQ(factory.instantiateAlgorithm("Nav.Fit", DataList{}), nullptr);
}

TEST_F(AlgorithmFactoryCreation, CreatedAlgorithmCarriesFactoryInfoAndPreset)
{
    const DataList selection{ &points };
    std::unique_ptr<Algorithm> algorithm = factory.instantiateAlgorithm("Nav.Fit", selection);
    ASSERT_NE(algorithm, nullptr);
    EXPECT_EQ(algorithm->factoryInfo().id, "Nav.Fit");
    EXPECT_EQ(algorithm->factoryInfo().name, "Point Fit");
    EXPECT_EQ(algorithm->factoryInfo().data.items(), selection.items());
    EXPECT_EQ(static_cast<FitAlgorithm&>(*algorithm).configureCalls, 0) << "no preset, no configure";
    EXPECT_NE(FitAlgorithm::lastRuleList, &selection) << "the rule works on its own copy of the selection";

    auto preset = std::make_shared<Properties>("preset");
    preset->setParam("threshold", 2.5);
    ASSERT_TRUE(factory.registerAlgorithm(std::type_index(typeid(FitAlgorithm)), "FitPreset", "Registration;Preset",
                                          &FitAlgorithm::createCompatible, preset));
    algorithm = factory.instantiateAlgorithm("Nav.FitPreset", selection);
    ASSERT_NE(algorithm, nullptr);
    auto& fit = static_cast<FitAlgorithm&>(*algorithm);
    EXPECT_EQ(fit.configureCalls, 1);
    EXPECT_DOUBLE_EQ(fit.threshold, 2.5);
    EXPECT_EQ(fit.factoryInfo().name, "Preset");
}

TEST_F(AlgorithmFactoryCreation, FrontFactoriesAreConsultedFirstAndOverride)
{
    // The later front factory is asked before the earlier one, and both before the base's own table. "Nav.Fit" is
    // overridden by a rule that accepts nothing; "Nav.Extra" extends the base.
    auto general = std::make_unique<TestFactory>();
    ASSERT_TRUE(general->registerAlgorithm<OtherAlgorithm>("Any", "Any", acceptAnything));
    ASSERT_TRUE(general->registerAlgorithm<OtherAlgorithm>("Extra", "General;Extra", acceptAnything));
    auto specific = std::make_unique<TestFactory>();
    ASSERT_TRUE(specific->registerAlgorithm<FitAlgorithm>("Fit", "Specific;Fit", refuseAnything));
    ASSERT_TRUE(specific->registerAlgorithm<OtherAlgorithm>("Extra", "Specific;Extra", acceptAnything));
    const AlgorithmFactory::Descriptor* overriding = specific->algorithmDescriptor("Nav.Fit");
    {
        LogExpectation expect(Log::Error, "null algorithm factory", 1);
        EXPECT_FALSE(factory.addAlgorithmFactoryToFront(nullptr));
    }
    ASSERT_TRUE(factory.addAlgorithmFactoryToFront(std::move(general)));
    ASSERT_TRUE(factory.addAlgorithmFactoryToFront(std::move(specific)));

    EXPECT_EQ(factory.algorithmDescriptor("Nav.Fit"), overriding);
    EXPECT_EQ(factory.algorithmDescriptor("Nav.Extra")->category, "Specific;Extra");
    EXPECT_EQ(ids(factory.algorithmDescriptors()),
              (std::vector<std::string>{ "Nav.Fit", "Nav.Extra", "Nav.Any", "Nav.Throw", "Nav.Empty" }));
    // The base's "Nav.Fit" would accept the points, but the rule that overrides it accepts nothing.
    LogExpectation expect(Log::Error, "Nav.Throw: boom", 1);
    EXPECT_EQ(ids(factory.compatibleDescriptors(DataList{ &points })),
              (std::vector<std::string>{ "Nav.Extra", "Nav.Any", "Nav.Empty" }));
    EXPECT_EQ(factory.instantiateAlgorithm("Nav.Extra", DataList{ &points })->factoryInfo().name, "Extra");
    EXPECT_EQ(factory.algorithmId(OtherAlgorithm()), "Nav.Extra");
    EXPECT_EQ(factory.algorithmId(FitAlgorithm()), "Nav.Fit");
    {
        LogExpectation unfit(Log::Warning, "Nav.Fit cannot be created", 1);
        EXPECT_EQ(factory.instantiateAlgorithm("Nav.Fit", DataList{ &points }), nullptr);
    }
}

} // namespace
} // namespace Kelvaros
