#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

class ApplicationController;
class PluginBase;

/// Opens plug-in libraries, checks them and keeps the plug-ins that initialise, as the entry points of
/// lib/PluginExports.h define them.
///
/// Loading one library: dlopen (RTLD_NOW | RTLD_LOCAL) → read kelvarosPluginDescriptor and check it (magic string,
/// compatible host version) → kelvarosPluginId (refused when that id is already loaded) → kelvarosCreatePlugin →
/// check dependencies() (each a loaded plug-in or a host module) → setApplicationController → init (non-zero
/// status refuses). A refusal logs "<file>: <reason>" (Error, "PluginLoader"), destroys the plug-in object if there
/// was one and closes the library. When several libraries are loaded together, a plug-in is initialised after the
/// plug-ins of that batch it depends on.
///
/// Unloading destroys the plug-in objects in reverse load order, then closes the libraries in reverse order, so
/// that every plug-in object dies while the code of all plug-ins is still loaded.
///
/// Main thread only. Everything the plug-ins created (algorithms, controllers, data of the plug-ins' types) must be
/// gone before unloadAll or the destructor.
class KELVAROS_API PluginLoader
{
public:
    /// What the loader keeps of one loaded plug-in.
    struct PluginInfo
    {
        std::string id;
        /// The library file as it was given or found.
        std::string path;
        std::string hostVersion;
        std::string buildFlags;
        std::string pluginVersion;
        /// Owned by the loader; valid until unloadAll.
        PluginBase* plugin = nullptr;
    };

    /// The parsed descriptor text.
    struct Descriptor
    {
        std::string hostVersion;
        std::string buildFlags;
        std::string pluginVersion;
    };

    /// `controller` is handed to every plug-in before its init (may be null).
    explicit PluginLoader(ApplicationController* controller = nullptr);
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;
    /// unloadAll().
    ~PluginLoader();

    /// The version of this host, "major.minor.patch" (4.4.6).
    static const char* hostVersion();
    /// Identifiers of the host's own modules, which satisfy a plug-in's dependencies without being loaded.
    static const std::vector<std::string>& hostModules();
    /// Parses and checks a descriptor text: "|"-separated pieces, the first exactly the V2 magic string, then
    /// "key=value" pieces; "hostversion" is required and must have this host's major and minor numbers,
    /// "buildflags" and "pluginversion" are kept for information, other keys ignored. Empty with `reason` set when
    /// the text is refused.
    static std::optional<Descriptor> parseDescriptor(const std::string& text, std::string* reason = nullptr);
    /// The folders searched by loadAll: the executable's folder, then each entry of KELVAROS_PLUGIN_PATH
    /// (":"-separated, empty entries skipped), without repeats.
    static std::vector<std::string> pluginFolders();

    /// Loads one library by path; the plug-in, or null when refused (logged). A library without a descriptor is
    /// refused here.
    PluginBase* load(const std::string& path);
    /// Loads every regular file named *.so in the folders (not recursive; in name order per folder). A library
    /// without the descriptor symbol is not a plug-in: it is skipped with a Debug line. Returns the number of
    /// plug-ins loaded.
    int loadFromFolders(const std::vector<std::string>& folders);
    /// loadFromFolders(pluginFolders()).
    int loadAll();
    /// Adopts a plug-in whose code is linked into the program rather than loaded from a library: its identifier
    /// must not be loaded yet and its dependencies must be satisfied; then setApplicationController and init, as for a
    /// loaded one. Afterwards a library of the same identifier is refused as already loaded, so the program never
    /// holds two copies of the plug-in's code and statics. The plug-in, or null when refused (logged; the object is
    /// destroyed). Its path is "(linked)".
    PluginBase* addLinked(std::unique_ptr<PluginBase> plugin, const std::string& id);
    /// Destroys every plug-in in reverse load order, then closes the libraries in reverse order.
    void unloadAll();

    /// Loaded plug-ins in load order.
    [[nodiscard]] const std::vector<PluginInfo>& plugins() const;
    /// The loaded plug-in of that id, or null.
    [[nodiscard]] PluginBase* plugin(const std::string& id) const;
    [[nodiscard]] bool isLoaded(const std::string& id) const { return plugin(id) != nullptr; }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace Kelvaros
