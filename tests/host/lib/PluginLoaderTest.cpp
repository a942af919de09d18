#include "lib/PluginLoader.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "lib/PluginAutoRegistrationGuard.h"
#include "lib/PluginBase.h"

#include "LogExpectation.h"
#include "PluginTestSupport.h"

namespace Kelvaros
{
namespace
{
using Testing::LogExpectation;
using Testing::logIndex;
using Testing::logRecords;

bool isAnnounced(const std::string& id)
{
    const auto ids = PluginAutoRegistrationGuard::announcedPlugins();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

TEST(PluginDescriptor, AcceptsCompatibleV2AndRefusesAnythingElseWithAReason)
{
    std::string reason;
    auto d = PluginLoader::parseDescriptor(
      "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=4.4.6|buildflags=MSC_VER:1929,IDL:0|pluginversion=", &reason);
    ASSERT_TRUE(d) << reason;
    EXPECT_EQ(d->buildFlags, "MSC_VER:1929,IDL:0");
    // Another patch release, informational keys missing, unknown keys, empty pieces: all accepted.
    EXPECT_TRUE(PluginLoader::parseDescriptor("__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=4.4.17|x=y||"));
    EXPECT_TRUE(PluginLoader::parseDescriptor("__KELVAROS_PLUGIN_V2_MAGIC_STRING__|pluginversion=2|hostversion=4.4"));

    const std::pair<const char*, const char*> cases[] = {
        { "", "wrong magic string" },
        { "__KELVAROS_PLUGIN_V1_MAGIC_STRING__|hostversion=4.4.6", "wrong magic string" },
        { "hostversion=4.4.6|__KELVAROS_PLUGIN_V2_MAGIC_STRING__", "wrong magic string" },
        { "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|pluginversion=1", "no hostversion" },
        { "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=4.5.6", "incompatible" },
        { "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=5.4.6", "incompatible" },
        { "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=4", "malformed host version" },
        { "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=4.4.6.1", "malformed host version" },
        { "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=-4.4.6", "malformed host version" },
        { "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=4.4.6|garbage", "malformed descriptor piece" },
        { "__KELVAROS_PLUGIN_V2_MAGIC_STRING__|hostversion=4.4.6|hostversion=9.9.9", "given twice" },
    };
    for (const auto& [text, expected] : cases)
    {
        reason.clear();
        EXPECT_FALSE(PluginLoader::parseDescriptor(text, &reason)) << text;
        EXPECT_NE(reason.find(expected), std::string::npos) << text << " gave: " << reason;
    }
}

TEST(PluginLoader, LoadsAGoodPluginAndUnloadsIt)
{
    {
        PluginLoader loader;
        EXPECT_FALSE(isAnnounced("Test.Good"));
        PluginBase* plugin = loader.load(TEST_PLUGIN_GOOD);
        ASSERT_NE(plugin, nullptr);
        EXPECT_TRUE(isAnnounced("Test.Good"));
        ASSERT_EQ(loader.plugins().size(), 1u);
        EXPECT_EQ(loader.plugins()[0].pluginVersion, "1.2");
        EXPECT_EQ(loader.plugin("Test.Good"), plugin);

        // The same identifier again: refused, and the first stays.
        LogExpectation expect(Log::Error, "plug-in Test.Good is already loaded", 1);
        EXPECT_EQ(loader.load(TEST_PLUGIN_GOOD), nullptr);
        EXPECT_EQ(loader.plugins().size(), 1u);
    }
    EXPECT_FALSE(isAnnounced("Test.Good"));
    EXPECT_LT(logIndex("plugin init Test.Good"), logIndex("plugin destroyed Test.Good"));
}

namespace
{
/// A plug-in whose code is part of the program, counting its init calls and destructions.
class LinkedPlugin : public PluginBase
{
public:
    LinkedPlugin(int& inits, int& destroyed, std::vector<std::string> dependencies = {})
      : m_inits(inits), m_destroyed(destroyed), m_dependencies(std::move(dependencies))
    {
    }
    ~LinkedPlugin() override { ++m_destroyed; }
    [[nodiscard]] std::string author() const override { return "Test"; }
    [[nodiscard]] std::string description() const override { return "linked"; }
    [[nodiscard]] std::vector<std::string> dependencies() const override { return m_dependencies; }
    Status init() override { return ++m_inits, Success; }

private:
    int& m_inits;
    int& m_destroyed;
    std::vector<std::string> m_dependencies;
};
} // namespace

// A program that links a plug-in's code has the host adopt it; the module of the same identifier is then refused,
// so the process never runs two copies of the plug-in.
TEST(PluginLoader, AdoptsALinkedPluginAndRefusesItsModule)
{
    int inits = 0;
    int destroyed = 0;
    {
        PluginLoader loader;
        PluginBase* plugin = loader.addLinked(std::make_unique<LinkedPlugin>(inits, destroyed), "Test.Good");
        ASSERT_NE(plugin, nullptr);
        EXPECT_EQ(inits, 1);
        EXPECT_EQ(loader.plugin("Test.Good"), plugin);

        LogExpectation expect(Log::Error, "plug-in Test.Good is already loaded", 2);
        EXPECT_EQ(loader.load(TEST_PLUGIN_GOOD), nullptr);
        EXPECT_FALSE(isAnnounced("Test.Good"));
        EXPECT_EQ(loader.addLinked(std::make_unique<LinkedPlugin>(inits, destroyed), "Test.Good"), nullptr);
        EXPECT_EQ(destroyed, 1);

        LogExpectation missing(Log::Error, "missing dependency Test.Nowhere", 1);
        EXPECT_EQ(
          loader.addLinked(std::make_unique<LinkedPlugin>(inits, destroyed, std::vector<std::string>{ "Test.Nowhere" }),
                           "Test.Other"),
          nullptr);
        EXPECT_EQ(destroyed, 2);
        EXPECT_EQ(inits, 1);
    }
    EXPECT_EQ(destroyed, 3);
}

struct Refusal
{
    const char* path;
    const char* reason;
    const char* id;
    bool created;
};

class PluginLoaderRefusal : public ::testing::TestWithParam<Refusal>
{
};

TEST_P(PluginLoaderRefusal, LogsFileAndReasonAndLeavesNothingLoaded)
{
    const Refusal& r = GetParam();
    {
        PluginLoader loader;
        LogExpectation expect(Log::Error, r.reason, 1);
        EXPECT_EQ(loader.load(r.path), nullptr);
        EXPECT_TRUE(loader.plugins().empty());
        EXPECT_FALSE(isAnnounced(r.id));
        const auto errors = logRecords(Log::Error, r.reason);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].category, "PluginLoader");
        EXPECT_EQ(errors[0].message.rfind(std::string(r.path) + ": ", 0), 0u) << errors[0].message;
    }
    const std::string id = r.id;
    if (r.created)
    {
        // A refused plug-in object dies before its library is closed.
        EXPECT_GE(logIndex("plugin created " + id), 0);
        EXPECT_LT(logIndex("plugin destroyed " + id), logIndex("library unloaded " + id));
    }
    else
    {
        EXPECT_EQ(logIndex("plugin created " + id), -1);
        EXPECT_GE(logIndex("library unloaded " + id), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
  Faults, PluginLoaderRefusal,
  ::testing::Values(Refusal{ TEST_PLUGIN_WRONG_MAGIC, "wrong magic string", "Test.WrongMagic", false },
                    Refusal{ TEST_PLUGIN_WRONG_VERSION, "built for host version 4.5.6", "Test.WrongVersion", false },
                    Refusal{ TEST_PLUGIN_NO_DESCRIPTOR, "no plug-in descriptor", "Test.NoDescriptor", false },
                    Refusal{ TEST_PLUGIN_INIT_FAILURE, "init failed with status 1", "Test.InitFailure", true },
                    Refusal{ TEST_PLUGIN_MISSING_DEPENDENCY, "missing dependency Test.Nowhere",
                             "Test.MissingDependency", true },
                    Refusal{ TEST_PLUGIN_DEPENDENT, "missing dependency Test.Good", "Test.Dependent", true }));

TEST(PluginLoader, RefusesAFileThatIsNoLibrary)
{
    PluginLoader loader;
    LogExpectation expect(Log::Error, "cannot open the library", 1);
    EXPECT_EQ(loader.load(std::string(TEST_PLUGIN_DIR) + "/no-such-plugin.so"), nullptr);
}

TEST(PluginLoader, FolderScanLoadsPluginsInDependencyOrderAndUnloadsInReverse)
{
    {
        PluginLoader loader;
        LogExpectation magic(Log::Error, "wrong magic string", 1);
        LogExpectation version(Log::Error, "built for host version 4.5.6", 1);
        LogExpectation init(Log::Error, "init failed with status 1", 1);
        LogExpectation dependency(Log::Error, "missing dependency Test.Nowhere", 1);
        // The folder appears twice: its libraries are still opened once.
        EXPECT_EQ(loader.loadFromFolders({ TEST_PLUGIN_DIR, TEST_PLUGIN_DIR, "/no/such/folder" }), 2);
        ASSERT_EQ(loader.plugins().size(), 2u);
        // TestPluginADependent sorts first, but waits for the plug-in it depends on.
        EXPECT_EQ(loader.plugins()[0].id, "Test.Good");
        EXPECT_EQ(loader.plugins()[1].id, "Test.Dependent");

        const auto skipped = logRecords(Log::Debug, "no plug-in descriptor, not a plug-in");
        ASSERT_EQ(skipped.size(), 1u);
        EXPECT_NE(skipped[0].message.find("TestPluginNoDescriptor"), std::string::npos);
        EXPECT_TRUE(logRecords(Log::Error, "Test.NoDescriptor").empty());
    }
    const int goodDestroyed = logIndex("plugin destroyed Test.Good");
    const int dependentDestroyed = logIndex("plugin destroyed Test.Dependent");
    const int goodUnloaded = logIndex("library unloaded Test.Good");
    const int dependentUnloaded = logIndex("library unloaded Test.Dependent");
    ASSERT_GE(dependentDestroyed, 0);
    EXPECT_LT(dependentDestroyed, goodDestroyed);
    EXPECT_LT(goodDestroyed, dependentUnloaded);
    EXPECT_LT(dependentUnloaded, goodUnloaded);
}

} // namespace
} // namespace Kelvaros
