#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Export.h"
#include "core/Signal.h"
#include "lib/AlgorithmFactory.h"
#include "lib/DataList.h"

namespace Kelvaros
{

class Algorithm;
class AlgorithmController;
class Data;
class KelvarosLibPlugin;
class PluginBase;
class PluginLoader;

/// The application without a user interface: loads the plug-ins, owns the data and the algorithms created on them,
/// and runs algorithms. The command-line tool drives it directly; a workbench puts its menus and panels on top.
///
/// Destruction order (also the order of clear()): algorithms, then data, then the plug-ins and their libraries,
/// since algorithms point at data and both may be of types whose code lives in a plug-in library.
///
/// Main thread only: none of its functions may run concurrently. Its signals are emitted on the main thread.
class KELVAROS_API ApplicationController
{
public:
    /// One registered algorithm and the factory that offers it.
    struct AlgorithmEntry
    {
        const AlgorithmFactory* factory = nullptr;
        const AlgorithmFactory::Descriptor* descriptor = nullptr;
    };

    ApplicationController();
    ApplicationController(const ApplicationController&) = delete;
    ApplicationController& operator=(const ApplicationController&) = delete;
    /// Virtual: a workbench derives its own, and panels find it from the base they are given.
    virtual ~ApplicationController();

    /// The loader; plug-ins loaded through it get this controller.
    [[nodiscard]] PluginLoader& pluginLoader() { return *m_pluginLoader; }
    /// Shorthands for pluginLoader().load / loadFromFolders / loadAll.
    PluginBase* loadPlugin(const std::string& path);
    int loadPluginsFromFolders(const std::vector<std::string>& folders);
    int loadPlugins();
    /// Loaded plug-ins, in load order.
    [[nodiscard]] std::vector<PluginBase*> plugins() const;
    /// Loaded plug-ins that offer algorithms, in load order.
    [[nodiscard]] std::vector<KelvarosLibPlugin*> libPlugins() const;

    /// Every descriptor of every algorithm factory of the loaded plug-ins, plug-in by plug-in in registration order
    /// (hidden factories included).
    [[nodiscard]] std::vector<AlgorithmEntry> algorithmDescriptors() const;
    /// The descriptors that accept the data, in the same order; hidden factories are left out (their algorithms
    /// are created by identifier only).
    [[nodiscard]] std::vector<AlgorithmEntry> compatibleAlgorithms(const DataList& data) const;
    /// The entry of an identifier, or an empty entry.
    [[nodiscard]] AlgorithmEntry findAlgorithm(const std::string& id) const;

    /// Takes ownership of a data object (null is ignored) and returns it.
    Data* addData(std::unique_ptr<Data> data);
    /// Every owned data object, in the order added.
    [[nodiscard]] DataList dataList() const;
    /// The first owned data object of that name, or null.
    [[nodiscard]] Data* findData(const std::string& name) const;
    /// Deletes an owned data object. First closes every algorithm created on it unless that algorithm
    /// survivesDataDeletion(data); a surviving algorithm has the data removed from its FactoryInfo. False when the
    /// data is not owned here.
    bool removeData(Data* data);

    /// Creates an algorithm by identifier on the data through its factory; the controller owns it. Null (logged)
    /// when the identifier is unknown or the algorithm does not fit.
    Algorithm* createAlgorithm(const std::string& id, const DataList& data);
    /// Every owned algorithm, in creation order.
    [[nodiscard]] std::vector<Algorithm*> algorithms() const;
    /// Deletes an owned algorithm; false when it is not owned here.
    bool closeAlgorithm(Algorithm* algorithm);
    /// Runs compute, then moves what takeOutput hands over into the owned data (appended to `outputs` when given).
    /// Returns the algorithm's status (Algorithm::Error, logged, when it is not owned here or compute threw).
    int runAlgorithm(Algorithm* algorithm, std::vector<Data*>* outputs = nullptr);
    /// The panel of an algorithm from the first controller factory that has one, built with init(); null when no
    /// loaded plug-in has one. The caller owns it and must destroy it before the algorithm is closed.
    [[nodiscard]] std::unique_ptr<AlgorithmController> createController(Algorithm* algorithm) const;

    /// Deletes algorithms, data and plug-ins, in that order.
    void clear();

    /// After a data object was added / before one is deleted.
    SignalImpl<Data*> signalDataAdded;
    SignalImpl<Data*> signalDataRemoved;
    /// After an algorithm was created / before one is deleted.
    SignalImpl<Algorithm*> signalAlgorithmAdded;
    SignalImpl<Algorithm*> signalAlgorithmRemoved;

private:
    void deleteAlgorithms();
    void deleteData();

    // Members are declared in the reverse of the safe destruction order; ~ApplicationController also calls clear().
    std::unique_ptr<PluginLoader> m_pluginLoader;
    std::vector<std::unique_ptr<Data>> m_data;
    std::vector<std::unique_ptr<Algorithm>> m_algorithms;
};

} // namespace Kelvaros
