#include "lib/ApplicationController.h"

#include <algorithm>
#include <exception>

#include "core/Log.h"
#include "lib/Algorithm.h"
#include "lib/AlgorithmController.h"
#include "lib/AlgorithmControllerFactory.h"
#include "lib/KelvarosLibPlugin.h"
#include "lib/PluginLoader.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "ApplicationController";

bool contains(const DataList& list, const Data* data)
{
    return std::find(list.items().begin(), list.items().end(), data) != list.items().end();
}
} // namespace

ApplicationController::ApplicationController() : m_pluginLoader(std::make_unique<PluginLoader>(this)) {}

ApplicationController::~ApplicationController()
{
    clear();
}

PluginBase* ApplicationController::loadPlugin(const std::string& path)
{
    return m_pluginLoader->load(path);
}

int ApplicationController::loadPluginsFromFolders(const std::vector<std::string>& folders)
{
    return m_pluginLoader->loadFromFolders(folders);
}

int ApplicationController::loadPlugins()
{
    return m_pluginLoader->loadAll();
}

std::vector<PluginBase*> ApplicationController::plugins() const
{
    std::vector<PluginBase*> result;
    for (const PluginLoader::PluginInfo& info : m_pluginLoader->plugins())
        result.push_back(info.plugin);
    return result;
}

std::vector<KelvarosLibPlugin*> ApplicationController::libPlugins() const
{
    std::vector<KelvarosLibPlugin*> result;
    for (PluginBase* plugin : plugins())
        if (auto* lib = dynamic_cast<KelvarosLibPlugin*>(plugin))
            result.push_back(lib);
    return result;
}

std::vector<ApplicationController::AlgorithmEntry> ApplicationController::algorithmDescriptors() const
{
    std::vector<AlgorithmEntry> result;
    for (KelvarosLibPlugin* plugin : libPlugins())
        if (const AlgorithmFactory* factory = plugin->algorithmFactory())
            for (const AlgorithmFactory::Descriptor* d : factory->algorithmDescriptors())
                result.push_back({ factory, d });
    return result;
}

std::vector<ApplicationController::AlgorithmEntry> ApplicationController::compatibleAlgorithms(
  const DataList& data) const
{
    std::vector<AlgorithmEntry> result;
    for (KelvarosLibPlugin* plugin : libPlugins())
    {
        const AlgorithmFactory* factory = plugin->algorithmFactory();
        if (!factory || factory->isHidden())
            continue;
        for (const AlgorithmFactory::Descriptor* d : factory->compatibleDescriptors(data))
            result.push_back({ factory, d });
    }
    return result;
}

ApplicationController::AlgorithmEntry ApplicationController::findAlgorithm(const std::string& id) const
{
    for (KelvarosLibPlugin* plugin : libPlugins())
        if (const AlgorithmFactory* factory = plugin->algorithmFactory())
            if (const AlgorithmFactory::Descriptor* d = factory->algorithmDescriptor(id))
                return { factory, d };
    return {};
}

Data* ApplicationController::addData(std::unique_ptr<Data> data)
{
    if (!data)
        return nullptr;
    Data* added = data.get();
    m_data.push_back(std::move(data));
    signalDataAdded.emitSignal(added);
    return added;
}

DataList ApplicationController::dataList() const
{
    DataList list;
    for (const auto& d : m_data)
        list.add(d.get());
    return list;
}

Data* ApplicationController::findData(const std::string& name) const
{
    for (const auto& d : m_data)
        if (d->name() == name)
            return d.get();
    return nullptr;
}

bool ApplicationController::removeData(Data* data)
{
    auto it = std::find_if(m_data.begin(), m_data.end(), [data](const auto& d) { return d.get() == data; });
    if (it == m_data.end())
        return false;

    // Collect first: closing an algorithm changes the list being walked.
    std::vector<Algorithm*> toClose;
    for (const auto& algorithm : m_algorithms)
    {
        const Algorithm::FactoryInfo& info = algorithm->factoryInfo();
        if (!contains(info.data, data))
            continue;
        if (algorithm->survivesDataDeletion(data))
        {
            Algorithm::FactoryInfo updated = info;
            std::vector<Data*> remaining = updated.data.items();
            remaining.erase(std::remove(remaining.begin(), remaining.end(), data), remaining.end());
            updated.data = DataList(std::move(remaining));
            algorithm->setFactoryInfo(std::move(updated));
        }
        else
        {
            toClose.push_back(algorithm.get());
        }
    }
    for (Algorithm* algorithm : toClose)
        closeAlgorithm(algorithm);
    for (const auto& algorithm : m_algorithms)
        algorithm->aboutToDeleteData(data);

    signalDataRemoved.emitSignal(data);
    // Look the entry up again: the slots above may have added data.
    it = std::find_if(m_data.begin(), m_data.end(), [data](const auto& d) { return d.get() == data; });
    if (it != m_data.end())
    {
        std::unique_ptr<Data> dying = std::move(*it);
        m_data.erase(it);
    }
    return true;
}

Algorithm* ApplicationController::createAlgorithm(const std::string& id, const DataList& data)
{
    const AlgorithmEntry entry = findAlgorithm(id);
    if (!entry.factory)
    {
        Log::logf(Log::Error, kCategory, "Unknown algorithm: {}", id);
        return nullptr;
    }
    std::unique_ptr<Algorithm> algorithm = entry.factory->instantiateAlgorithm(id, data);
    if (!algorithm)
        return nullptr;
    Algorithm* created = algorithm.get();
    m_algorithms.push_back(std::move(algorithm));
    signalAlgorithmAdded.emitSignal(created);
    return created;
}

std::vector<Algorithm*> ApplicationController::algorithms() const
{
    std::vector<Algorithm*> result;
    for (const auto& a : m_algorithms)
        result.push_back(a.get());
    return result;
}

bool ApplicationController::closeAlgorithm(Algorithm* algorithm)
{
    auto it = std::find_if(m_algorithms.begin(), m_algorithms.end(),
                           [algorithm](const auto& a) { return a.get() == algorithm; });
    if (it == m_algorithms.end())
        return false;
    signalAlgorithmRemoved.emitSignal(algorithm);
    it = std::find_if(m_algorithms.begin(), m_algorithms.end(),
                      [algorithm](const auto& a) { return a.get() == algorithm; });
    if (it != m_algorithms.end())
    {
        // Take it out of the list before it dies, so that its destructor sees a consistent controller.
        std::unique_ptr<Algorithm> closing = std::move(*it);
        m_algorithms.erase(it);
    }
    return true;
}

int ApplicationController::runAlgorithm(Algorithm* algorithm, std::vector<Data*>* outputs)
{
    if (std::none_of(m_algorithms.begin(), m_algorithms.end(),
                     [algorithm](const auto& a) { return a.get() == algorithm; }))
    {
        Log::log(Log::Error, kCategory, "Cannot run an algorithm that this application does not own");
        return Algorithm::Error;
    }
    const std::string id = algorithm->factoryInfo().id;
    try
    {
        algorithm->compute();
        OwningDataList output = algorithm->takeOutput();
        for (std::unique_ptr<Data>& data : output.release())
        {
            Data* added = addData(std::move(data));
            if (outputs && added)
                outputs->push_back(added);
        }
    }
    catch (const std::exception& e)
    {
        Log::logf(Log::Error, kCategory, "Algorithm {} failed: {}", id, e.what());
        return Algorithm::Error;
    }
    catch (...)
    {
        Log::logf(Log::Error, kCategory, "Algorithm {} failed with an unknown exception", id);
        return Algorithm::Error;
    }
    return algorithm->status();
}

std::unique_ptr<AlgorithmController> ApplicationController::createController(Algorithm* algorithm) const
{
    if (!algorithm)
        return nullptr;
    for (KelvarosLibPlugin* plugin : libPlugins())
    {
        const AlgorithmControllerFactory* factory = plugin->controllerFactory();
        if (!factory)
            continue;
        if (std::unique_ptr<AlgorithmController> controller = factory->create(algorithm))
        {
            controller->init();
            return controller;
        }
    }
    return nullptr;
}

void ApplicationController::deleteAlgorithms()
{
    // Newest first: a later algorithm may use what an earlier one produced.
    while (!m_algorithms.empty())
        closeAlgorithm(m_algorithms.back().get());
}

void ApplicationController::deleteData()
{
    while (!m_data.empty())
    {
        Data* last = m_data.back().get();
        signalDataRemoved.emitSignal(last);
        if (!m_data.empty() && m_data.back().get() == last)
        {
            std::unique_ptr<Data> dying = std::move(m_data.back());
            m_data.pop_back();
        }
    }
}

void ApplicationController::clear()
{
    deleteAlgorithms();
    deleteData();
    m_pluginLoader->unloadAll();
}

} // namespace Kelvaros
