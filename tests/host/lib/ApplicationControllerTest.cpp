#include "lib/ApplicationController.h"

#include <memory>

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

class ApplicationControllerFlow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        app = std::make_unique<ApplicationController>();
        ASSERT_NE(app->loadPlugin(TEST_PLUGIN_GOOD), nullptr);
        volume = static_cast<SharedImageSet*>(app->addData(std::make_unique<SharedImageSet>(
          "volume", Eigen::Vector3i(8, 6, 4), Eigen::Vector3d(1, 1, 2), Data::Modality::CT)));
    }

    std::unique_ptr<ApplicationController> app;
    SharedImageSet* volume = nullptr;
};

TEST_F(ApplicationControllerFlow, RemovingDataClosesTheAlgorithmsBuiltOnIt)
{
    Algorithm* threshold = app->createAlgorithm("Test.Threshold", DataList{ volume });
    Algorithm* watcher = app->createAlgorithm("Test.Watcher", DataList{ volume });
    ASSERT_NE(threshold, nullptr);
    ASSERT_NE(watcher, nullptr);
    std::vector<Algorithm*> closed;
    app->signalAlgorithmRemoved.connect([&closed](Algorithm* a) { closed.push_back(a); });

    EXPECT_TRUE(app->removeData(volume));
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0], threshold);
    EXPECT_GE(logIndex("algorithm destroyed Test.Good"), 0);
    // The survivor forgets the deleted data, and is told before it goes.
    EXPECT_GE(logIndex("watcher told of deleting volume in Test.Good"), 0);
    ASSERT_EQ(app->algorithms().size(), 1u);
    EXPECT_EQ(app->algorithms()[0], watcher);
    EXPECT_TRUE(watcher->factoryInfo().data.isEmpty());
    // Closed here, while `closed` still lives to hear of it.
    EXPECT_TRUE(app->closeAlgorithm(watcher));
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
