#include "lib/AlgorithmFactory.h"

#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/AlgorithmController.h"

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
        Algorithm::configure(properties);
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

bool throwingRule(const DataList&, std::unique_ptr<Algorithm>*)
{
    throw std::runtime_error("boom");
}

bool emptyHandedRule(const DataList&, std::unique_ptr<Algorithm>*)
{
    return true;
}

bool acceptAnything(const DataList&, std::unique_ptr<Algorithm>* algorithm)
{
    if (algorithm)
        *algorithm = std::make_unique<OtherAlgorithm>();
    return true;
}

class TestFactory : public AlgorithmFactory
{
public:
    explicit TestFactory(std::string name = "Nav") : AlgorithmFactory(std::move(name), false) {}
    using AlgorithmFactory::registerAlgorithm;
};

/// A host table that refuses identifiers containing "Refused".
class RefusingFactory : public TestFactory
{
protected:
    bool addDescriptor(Descriptor descriptor) override
    {
        if (descriptor.id.find("Refused") != std::string::npos)
            return false;
        return AlgorithmFactory::addDescriptor(std::move(descriptor));
    }
};

TEST(AlgorithmFactoryRegistration, IdentifierIsFactoryNameDotShortName)
{
    TestFactory factory;
    ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("Fit", "Registration;Point Fit"));
    const AlgorithmFactory::Descriptor* d = factory.algorithmDescriptor("Nav.Fit");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->category, "Registration;Point Fit");
    EXPECT_EQ(factory.algorithmDescriptor("Fit"), nullptr);

    TestFactory unnamed("");
    ASSERT_TRUE(unnamed.registerAlgorithm<FitAlgorithm>("Fit", "Fit"));
    EXPECT_NE(unnamed.algorithmDescriptor("Fit"), nullptr);
}

TEST(AlgorithmFactoryRegistration, DuplicateKeepsFirstAndWarnsOncePerAttempt)
{
    TestFactory factory;
    ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("Fit", "First;Fit"));
    {
        LogExpectation expect(Log::Warning, "Algorithm already registered: Nav.Fit", 2);
        EXPECT_FALSE(factory.registerAlgorithm<OtherAlgorithm>("Fit", "Second;Fit", &acceptAnything));
        EXPECT_FALSE(factory.registerAlgorithm<FitAlgorithm>("Fit", "Third;Fit"));
    }
    ASSERT_EQ(factory.algorithmDescriptors().size(), 1u);
    EXPECT_EQ(factory.algorithmDescriptor("Nav.Fit")->category, "First;Fit");
    // The refused class got no identifier.
    EXPECT_EQ(factory.algorithmId(OtherAlgorithm()), "");
}

TEST(AlgorithmFactoryRegistration, DisplayNameIsLastCategoryPiece)
{
    const std::pair<const char*, const char*> cases[] = {
        { "Streaming;Combine Trackings", "Combine Trackings" }, { "A;B;C", "C" }, { "Plain", "Plain" }, { "", "" }
    };
    for (const auto& [category, name] : cases)
    {
        AlgorithmFactory::Descriptor d;
        d.category = category;
        EXPECT_EQ(d.displayName(), name) << category;
    }
}

TEST(AlgorithmFactoryRegistration, TypeMapsToIdentifierOnlyWhenAccepted)
{
    RefusingFactory factory;
    {
        LogExpectation expect(Log::Warning, "descriptor was refused: Nav.RefusedFit", 1);
        EXPECT_FALSE(factory.registerAlgorithm<FitAlgorithm>("RefusedFit", "Fit"));
    }
    EXPECT_EQ(factory.algorithmDescriptor("Nav.RefusedFit"), nullptr);
    EXPECT_EQ(factory.algorithmId(FitAlgorithm()), "");

    ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("Fit", "Fit"));
    ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("FitAgain", "Fit again"));
    EXPECT_EQ(factory.algorithmId(FitAlgorithm()), "Nav.Fit");
    EXPECT_EQ(factory.algorithmId(OtherAlgorithm()), "");

    LogExpectation expect(Log::Warning, "descriptor was refused: Nav.NoRule", 1);
    EXPECT_FALSE(factory.registerAlgorithm(std::type_index(typeid(FitAlgorithm)), "NoRule", "X", nullptr));
    EXPECT_EQ(factory.algorithmDescriptors().size(), 2u);
}

TEST(AlgorithmFactoryRegistration, DescriptorsKeepOrderAndAddress)
{
    TestFactory factory;
    ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("Fit", "Fit"));
    const AlgorithmFactory::Descriptor* first = factory.algorithmDescriptor("Nav.Fit");
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(factory.registerAlgorithm<OtherAlgorithm>("Other" + std::to_string(i), "Other", &acceptAnything));
    EXPECT_EQ(factory.algorithmDescriptor("Nav.Fit"), first);
    const auto all = factory.algorithmDescriptors();
    ASSERT_EQ(all.size(), 101u);
    EXPECT_EQ(all.front(), first);
    EXPECT_EQ(all[1]->id, "Nav.Other0");
    EXPECT_EQ(all.back()->id, "Nav.Other99");
}

class AlgorithmFactoryCreation : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(factory.registerAlgorithm<FitAlgorithm>("Fit", "Registration;Point Fit"));
        ASSERT_TRUE(factory.registerAlgorithm<OtherAlgorithm>("Throw", "Broken;Throw", &throwingRule));
        ASSERT_TRUE(factory.registerAlgorithm<OtherAlgorithm>("Empty", "Broken;Empty", &emptyHandedRule));
    }

    TestFactory factory;
    PointData points{ "points" };
    PointData morePoints{ "more points" };
};

TEST_F(AlgorithmFactoryCreation, UnfitDataGiveNullWithoutError)
{
    const auto* d = factory.algorithmDescriptor("Nav.Fit");
    EXPECT_EQ(d->create(DataList{}), nullptr);
    EXPECT_EQ(d->create(DataList{ &points, &morePoints }), nullptr);
    EXPECT_FALSE(d->isCompatible(DataList{ &points, &morePoints }));
    EXPECT_TRUE(d->isCompatible(DataList{ &points }));
}

TEST_F(AlgorithmFactoryCreation, ThrowingRuleLogsAndGivesNull)
{
    const auto* d = factory.algorithmDescriptor("Nav.Throw");
    {
        LogExpectation expect(Log::Error, "Cannot create algorithm Nav.Throw: boom", 1);
        EXPECT_EQ(d->create(DataList{ &points }), nullptr);
    }

    LogExpectation expect(Log::Error, "Nav.Throw: boom", 1);
    EXPECT_FALSE(d->isCompatible(DataList{ &points }));
}

TEST_F(AlgorithmFactoryCreation, RuleThatBuildsNothingIsAnError)
{
    LogExpectation expect(Log::Error, "Cannot create algorithm Nav.Empty", 1);
    EXPECT_EQ(factory.algorithmDescriptor("Nav.Empty")->create(DataList{ &points }), nullptr);
}

TEST_F(AlgorithmFactoryCreation, CreatedAlgorithmCarriesFactoryInfo)
{
    const DataList selection{ &points };
    std::unique_ptr<Algorithm> algorithm = factory.algorithmDescriptor("Nav.Fit")->create(selection);
    ASSERT_NE(algorithm, nullptr);
    const Algorithm::FactoryInfo& info = algorithm->factoryInfo();
    EXPECT_EQ(info.id, "Nav.Fit");
    EXPECT_EQ(info.name, "Point Fit");
    EXPECT_EQ(info.data.items(), selection.items());
    EXPECT_EQ(factory.algorithmId(*algorithm), "Nav.Fit");
    EXPECT_EQ(algorithm->status(), Algorithm::Unknown);
    // No preset: configure is not called.
    EXPECT_EQ(static_cast<FitAlgorithm&>(*algorithm).configureCalls, 0);
    // The rule worked on its own copy of the selection.
    EXPECT_NE(FitAlgorithm::lastRuleList, &selection);

    // A controller is titled with the algorithm's name, or its identifier when the name is empty.
    struct Controller : AlgorithmController
    {
        using AlgorithmController::AlgorithmController;
        void init() override {}
    } controller(algorithm.get());
    EXPECT_EQ(controller.title(), "Point Fit");
    algorithm->setFactoryInfo({ "Nav.Fit", "", {} });
    EXPECT_EQ(controller.title(), "Nav.Fit");
}

TEST_F(AlgorithmFactoryCreation, PresetIsAppliedThroughConfigure)
{
    auto preset = std::make_shared<Properties>("preset");
    preset->setParam("threshold", 2.5);
    ASSERT_TRUE(factory.registerAlgorithm(std::type_index(typeid(FitAlgorithm)), "FitPreset", "Registration;Preset",
                                          &FitAlgorithm::createCompatible, preset));
    const auto* d = factory.algorithmDescriptor("Nav.FitPreset");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->preset, preset);
    std::unique_ptr<Algorithm> algorithm = d->create(DataList{ &points });
    ASSERT_NE(algorithm, nullptr);
    auto& fit = static_cast<FitAlgorithm&>(*algorithm);
    EXPECT_EQ(fit.configureCalls, 1);
    EXPECT_DOUBLE_EQ(fit.threshold, 2.5);
    EXPECT_EQ(fit.factoryInfo().name, "Preset");
}

TEST_F(AlgorithmFactoryCreation, InstantiateByIdentifier)
{
    EXPECT_NE(factory.instantiateAlgorithm("Nav.Fit", DataList{ &points }), nullptr);
    {
        LogExpectation expect(Log::Error, "Unknown algorithm: Nav.Missing", 1);
        EXPECT_EQ(factory.instantiateAlgorithm("Nav.Missing", DataList{ &points }), nullptr);
    }
    LogExpectation expect(Log::Warning, "Nav.Fit cannot be created", 1);
    EXPECT_EQ(factory.instantiateAlgorithm("Nav.Fit", DataList{}), nullptr);
}

TEST_F(AlgorithmFactoryCreation, CompatibleDescriptorsInRegistrationOrder)
{
    ASSERT_TRUE(factory.registerAlgorithm<OtherAlgorithm>("Any", "Any", &acceptAnything));
    LogExpectation expect(Log::Error, "Nav.Throw: boom", 1);
    const auto compatible = factory.compatibleDescriptors(DataList{ &points });
    ASSERT_EQ(compatible.size(), 3u);
    EXPECT_EQ(compatible[0]->id, "Nav.Fit");
    EXPECT_EQ(compatible[1]->id, "Nav.Empty");
    EXPECT_EQ(compatible[2]->id, "Nav.Any");
}

} // namespace
} // namespace Kelvaros
