// One source for every test plug-in; the compile definitions of each module choose its identity and its fault:
//   TEST_PLUGIN_ID          identifier returned by kelvarosPluginId
//   TEST_PLUGIN_DESCRIPTOR  descriptor text (no descriptor symbol at all when undefined)
//   TEST_PLUGIN_INIT_STATUS status returned by init (0 when undefined)
//   TEST_PLUGIN_DEPENDENCY  one identifier returned by dependencies() (none when undefined)
//   TEST_PLUGIN_ALGORITHMS  defined: init registers the threshold algorithm and its controller
// Each plug-in logs its construction, destruction and the loading and unloading of its library at Info level, so
// that the tests can check the order of the host's steps.

#include <memory>
#include <string>
#include <vector>

#include "core/Log.h"
#include "lib/Algorithm.h"
#include "lib/AlgorithmController.h"
#include "lib/AlgorithmControllerFactory.h"
#include "lib/AlgorithmFactory.h"
#include "lib/KelvarosLibPlugin.h"
#include "lib/PluginAutoRegistrationGuard.h"
#include "lib/PluginExports.h"
#include "lib/SharedImageSet.h"

#ifndef TEST_PLUGIN_INIT_STATUS
#define TEST_PLUGIN_INIT_STATUS 0
#endif

namespace
{
using namespace Kelvaros;

const std::string kId = TEST_PLUGIN_ID;

void note(const std::string& what)
{
    Log::log(Log::Info, "TestPlugin", what + " " + kId);
}

/// Logs when the library's static objects are built and destroyed, that is at load and at unload.
struct LibraryLifetime
{
    LibraryLifetime() { note("library loaded"); }
    ~LibraryLifetime() { note("library unloaded"); }
};
const LibraryLifetime libraryLifetime;

std::string pluginId()
{
    return kId;
}
const PluginAutoRegistrationGuard guard(&pluginId);

/// Output data of a type whose code lives in this library: the host must delete it before closing the library.
class MarkerData : public Data
{
public:
    explicit MarkerData(std::string name) : Data(std::move(name)) {}
    ~MarkerData() override { note("marker destroyed"); }
    [[nodiscard]] Kind kind() const override { return Kind::PointSet; }
};

/// Sets every voxel above the threshold to 1 and the others to 0, in a copy of the image.
class ThresholdAlgorithm : public Algorithm
{
public:
    explicit ThresholdAlgorithm(SharedImageSet& image) : m_image(image) {}
    ~ThresholdAlgorithm() override { note("algorithm destroyed"); }

    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
    {
        if (data.size() != 1 || !data.getImage())
            return false;
        if (algorithm)
            *algorithm = std::make_unique<ThresholdAlgorithm>(*data.getImage());
        return true;
    }

    void compute() override
    {
        auto mask = std::make_unique<SharedImageSet>(m_image);
        mask->setName(m_image.name() + " mask");
        for (float& v : mask->voxels())
            v = v > m_threshold ? 1.0f : 0.0f;
        m_output.add(std::move(mask));
        m_output.add(std::make_unique<MarkerData>("marker"));
        setStatus(Success);
    }

    OwningDataList takeOutput() override { return std::move(m_output); }

private:
    SharedImageSet& m_image;
    float m_threshold = 0.5f;
    OwningDataList m_output;
};

/// Accepts any selection and stays alive when its data are deleted.
class WatcherAlgorithm : public Algorithm
{
public:
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
    {
        if (data.isEmpty())
            return false;
        if (algorithm)
            *algorithm = std::make_unique<WatcherAlgorithm>();
        return true;
    }
    void compute() override { setStatus(Success); }
    [[nodiscard]] bool survivesDataDeletion(const Data*) const override { return true; }
    void aboutToDeleteData(const Data* data) override { note("watcher told of deleting " + data->name() + " in"); }
};

class TestAlgorithmFactory : public AlgorithmFactory
{
public:
    TestAlgorithmFactory() : AlgorithmFactory("Test", false)
    {
        registerAlgorithm<ThresholdAlgorithm>("Threshold", "Filters;Threshold");
        registerAlgorithm<WatcherAlgorithm>("Watcher", "Tools;Watcher");
    }
};

class TestController : public AlgorithmController
{
public:
    using AlgorithmController::AlgorithmController;
    void init() override { note("controller init"); }
};

class TestControllerFactory : public AlgorithmControllerFactory
{
public:
    TestControllerFactory() : AlgorithmControllerFactory("Test", false) {}
    [[nodiscard]] std::unique_ptr<AlgorithmController> create(Algorithm* algorithm) const override
    {
        if (dynamic_cast<ThresholdAlgorithm*>(algorithm))
            return std::make_unique<TestController>(algorithm);
        return nullptr;
    }
};

class TestPlugin : public KelvarosLibPlugin
{
public:
    TestPlugin() { note("plugin created"); }
    ~TestPlugin() override { note("plugin destroyed"); }

    [[nodiscard]] std::string author() const override { return "Kelvaros tests"; }
    [[nodiscard]] std::string description() const override { return "Plug-in for the loader tests"; }
    [[nodiscard]] std::vector<std::string> dependencies() const override
    {
#ifdef TEST_PLUGIN_DEPENDENCY
        return { TEST_PLUGIN_DEPENDENCY };
#else
        return {};
#endif
    }
    Status init() override
    {
        note(applicationController() ? "plugin init with controller" : "plugin init");
#ifdef TEST_PLUGIN_ALGORITHMS
        registerFactories(std::make_unique<TestAlgorithmFactory>(), std::make_unique<TestControllerFactory>(), nullptr);
#endif
        return Status(TEST_PLUGIN_INIT_STATUS);
    }
};
} // namespace

KELVAROS_PLUGIN_EXPORT Kelvaros::PluginBase* kelvarosCreatePlugin()
{
    return new TestPlugin;
}

KELVAROS_PLUGIN_EXPORT const char* kelvarosPluginId()
{
    return TEST_PLUGIN_ID;
}

#ifdef TEST_PLUGIN_DESCRIPTOR
KELVAROS_PLUGIN_EXPORT const char* const kelvarosPluginDescriptor = TEST_PLUGIN_DESCRIPTOR;
#endif
