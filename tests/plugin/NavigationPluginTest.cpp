#include <algorithm>

#include <gtest/gtest.h>

#include "lib/AlgorithmController.h"
#include "lib/AlgorithmControllerFactory.h"
#include "lib/AlgorithmFactory.h"
#include "lib/KelvarosLibPlugin.h"
#include "lib/PluginAutoRegistrationGuard.h"
#include "lib/PluginLoader.h"
#include "lib/points/PointCorrespondencesAlgorithm.h"
#include "lib/points/PointsOnData.h"
#include "stream/ManualTrackingStream.h"

#include "LogExpectation.h"

using namespace Kelvaros;

namespace
{
bool announced(const std::string& id)
{
    const auto ids = PluginAutoRegistrationGuard::announcedPlugins();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}
} // namespace

TEST(NavigationPlugin, LoadsThroughTheHostAndHandsOverItsFactories)
{
    PluginLoader loader;
    PluginBase* plugin = loader.load(NAVIGATION_PLUGIN_PATH);
    ASSERT_NE(plugin, nullptr);
    EXPECT_TRUE(announced("Kelvaros.Navigation"));

    ASSERT_EQ(loader.plugins().size(), 1u);
    EXPECT_EQ(loader.plugins()[0].id, "Kelvaros.Navigation");
    EXPECT_EQ(loader.plugins()[0].hostVersion, "4.4.6");
    EXPECT_EQ(plugin->description(), "Plugin for real-time navigation and visualization of tracking tools");
    EXPECT_EQ(plugin->dependencies(), std::vector<std::string>{ "Kelvaros.Stream" });
    EXPECT_FALSE(plugin->author().empty());

    auto* libPlugin = dynamic_cast<KelvarosLibPlugin*>(plugin);
    ASSERT_NE(libPlugin, nullptr);
    ASSERT_NE(libPlugin->algorithmFactory(), nullptr);
    ASSERT_NE(libPlugin->controllerFactory(), nullptr);
    EXPECT_EQ(libPlugin->annotationFactory(), nullptr);
    EXPECT_EQ(libPlugin->algorithmFactory()->name(), "Navigation");
    EXPECT_FALSE(libPlugin->algorithmFactory()->isHidden());
    EXPECT_EQ(libPlugin->controllerFactory()->name(), "Navigation");
    for (const auto* descriptor : libPlugin->algorithmFactory()->algorithmDescriptors())
    {
        EXPECT_EQ(descriptor->id.rfind("Navigation.", 0), 0u) << descriptor->id;
        EXPECT_EQ(descriptor->flags, 0);
        EXPECT_EQ(descriptor->preset, nullptr);
    }

    loader.unloadAll();
    EXPECT_FALSE(announced("Kelvaros.Navigation"));
}

// Tracking streams join the host's paired-point registration while the plug-in is loaded, and nothing of the
// plug-in is left in the host's registries once it is gone: a second load and unload must work as the first.
TEST(NavigationPlugin, ExtendsPointRegistrationOnlyWhileLoaded)
{
    for (int round = 0; round < 2; ++round)
    {
        PluginLoader loader;
        ASSERT_NE(loader.load(NAVIGATION_PLUGIN_PATH), nullptr);
        {
            // The stream keeps a point set made by the plug-in's code, so it must go before that code does.
            ManualTrackingStream stream;
            EXPECT_TRUE(PointCorrespondencesAlgorithm::isCompatible(stream));
            const auto points = PointCorrespondencesAlgorithm::createPointsOnData(stream, "PointCorrespondences");
            ASSERT_NE(points, nullptr);
            EXPECT_EQ(points->data(), &stream);
        }
        loader.unloadAll();
        ManualTrackingStream stream;
        EXPECT_FALSE(PointCorrespondencesAlgorithm::isCompatible(stream));
        EXPECT_EQ(PointCorrespondencesAlgorithm::createPointsOnData(stream, "PointCorrespondences"), nullptr);
    }
}
