#include "lib/ApplicationController.h"

#include <memory>
#include <random>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "lib/AlgorithmController.h"
#include "lib/PluginLoader.h"
#include "lib/SharedImageSet.h"

#include "LogExpectation.h"
#include "PluginTestSupport.h"

namespace Kelvaros
{
namespace
{
using Testing::LogExpectation;
using Testing::logIndex;

std::unique_ptr<SharedImageSet> randomVolume(unsigned seed)
{
    auto volume = std::make_unique<SharedImageSet>("volume", Eigen::Vector3i(8, 6, 4), Eigen::Vector3d(1, 1, 2),
                                                   Data::Modality::CT);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (float& v : volume->voxels())
        v = value(rng);
    return volume;
}

class ApplicationControllerFlow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        app = std::make_unique<ApplicationController>();
        ASSERT_NE(app->loadPlugin(TEST_PLUGIN_GOOD), nullptr);
        volume = static_cast<SharedImageSet*>(app->addData(randomVolume(5)));
    }

    std::unique_ptr<ApplicationController> app;
    SharedImageSet* volume = nullptr;
};

TEST_F(ApplicationControllerFlow, ListsPluginsAndTheirAlgorithms)
{
    ASSERT_EQ(app->plugins().size(), 1u);
    EXPECT_EQ(app->libPlugins().size(), 1u);
    EXPECT_GE(logIndex("plugin init with controller Test.Good"), 0);

    const auto all = app->algorithmDescriptors();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].descriptor->id, "Test.Threshold");
    EXPECT_EQ(all[0].factory->name(), "Test");
    EXPECT_EQ(all[1].descriptor->id, "Test.Watcher");
    EXPECT_EQ(app->findAlgorithm("Test.Watcher").descriptor, all[1].descriptor);
    EXPECT_EQ(app->findAlgorithm("Test.Nothing").factory, nullptr);

    EXPECT_EQ(app->compatibleAlgorithms(DataList{ volume }).size(), 2u);
    auto second = randomVolume(6);
    const auto forTwo = app->compatibleAlgorithms(DataList{ volume, second.get() });
    ASSERT_EQ(forTwo.size(), 1u);
    EXPECT_EQ(forTwo[0].descriptor->id, "Test.Watcher");
    EXPECT_TRUE(app->compatibleAlgorithms(DataList{}).empty());
}

TEST_F(ApplicationControllerFlow, CreatesRunsAndKeepsTheOutput)
{
    int added = 0;
    app->signalDataAdded.connect([&added](Data*) { ++added; });
    Algorithm* algorithm = app->createAlgorithm("Test.Threshold", DataList{ volume });
    ASSERT_NE(algorithm, nullptr);
    EXPECT_EQ(algorithm->factoryInfo().name, "Threshold");
    EXPECT_EQ(app->algorithms().size(), 1u);

    std::vector<Data*> outputs;
    EXPECT_EQ(app->runAlgorithm(algorithm, &outputs), Algorithm::Success);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(added, 2);
    EXPECT_EQ(app->dataList().size(), 3u);
    auto* mask = dynamic_cast<SharedImageSet*>(app->findData("volume mask"));
    ASSERT_NE(mask, nullptr);
    EXPECT_EQ(mask, outputs[0]);
    for (size_t i = 0; i < mask->numVoxels(); ++i)
        ASSERT_EQ(mask->voxels()[i], volume->voxels()[i] > 0.5f ? 1.0f : 0.0f);

    std::unique_ptr<AlgorithmController> controller = app->createController(algorithm);
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->title(), "Threshold");
    EXPECT_GE(logIndex("controller init Test.Good"), 0);

    Algorithm* watcher = app->createAlgorithm("Test.Watcher", DataList{ volume });
    ASSERT_NE(watcher, nullptr);
    EXPECT_EQ(app->createController(watcher), nullptr);
    controller.reset();
}

TEST_F(ApplicationControllerFlow, RemovingDataClosesTheAlgorithmsBuiltOnIt)
{
    Algorithm* threshold = app->createAlgorithm("Test.Threshold", DataList{ volume });
    Algorithm* watcher = app->createAlgorithm("Test.Watcher", DataList{ volume });
    ASSERT_NE(threshold, nullptr);
    ASSERT_NE(watcher, nullptr);
    std::vector<Algorithm*> closed;
    app->signalAlgorithmRemoved.connect([&closed](Algorithm* a) { closed.push_back(a); });

    auto stranger = randomVolume(9);
    EXPECT_FALSE(app->removeData(stranger.get()));
    EXPECT_TRUE(app->removeData(volume));
    EXPECT_TRUE(app->dataList().isEmpty());
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0], threshold);
    EXPECT_GE(logIndex("algorithm destroyed Test.Good"), 0);
    // The survivor forgets the deleted data.
    ASSERT_EQ(app->algorithms().size(), 1u);
    EXPECT_EQ(app->algorithms()[0], watcher);
    EXPECT_TRUE(watcher->factoryInfo().data.isEmpty());
    EXPECT_FALSE(app->closeAlgorithm(threshold));
    EXPECT_TRUE(app->closeAlgorithm(watcher));
}

TEST_F(ApplicationControllerFlow, RefusesUnknownAndUnfitRequests)
{
    {
        LogExpectation expect(Log::Error, "Unknown algorithm: Test.Nothing", 1);
        EXPECT_EQ(app->createAlgorithm("Test.Nothing", DataList{ volume }), nullptr);
    }
    {
        LogExpectation expect(Log::Warning, "Test.Threshold cannot be created", 1);
        EXPECT_EQ(app->createAlgorithm("Test.Threshold", DataList{}), nullptr);
    }
    EXPECT_TRUE(app->algorithms().empty());
    LogExpectation expect(Log::Error, "does not own", 1);
    EXPECT_EQ(app->runAlgorithm(nullptr), Algorithm::Error);
}

TEST_F(ApplicationControllerFlow, DestroysAlgorithmsThenDataThenPlugins)
{
    Algorithm* algorithm = app->createAlgorithm("Test.Threshold", DataList{ volume });
    ASSERT_NE(algorithm, nullptr);
    ASSERT_EQ(app->runAlgorithm(algorithm), Algorithm::Success);
    app.reset();

    const int algorithmDestroyed = logIndex("algorithm destroyed Test.Good");
    const int markerDestroyed = logIndex("marker destroyed Test.Good");
    const int pluginDestroyed = logIndex("plugin destroyed Test.Good");
    const int libraryUnloaded = logIndex("library unloaded Test.Good");
    ASSERT_GE(algorithmDestroyed, 0);
    EXPECT_LT(algorithmDestroyed, markerDestroyed);
    EXPECT_LT(markerDestroyed, pluginDestroyed);
    EXPECT_LT(pluginDestroyed, libraryUnloaded);
}

} // namespace
} // namespace Kelvaros
