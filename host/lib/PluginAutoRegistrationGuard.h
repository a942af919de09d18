#pragma once

#include <string>
#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

/// One static object of this type in a plug-in library announces the plug-in to the host while the library is
/// loaded: built at load time from the address of the plug-in's id function, destroyed at unload.
class KELVAROS_API PluginAutoRegistrationGuard
{
public:
    using IdFunction = std::string (*)();

    /// Calls `idFunction` once (a null function announces nothing). Runs during the library's static
    /// initialisation, on the thread that loads the library.
    explicit PluginAutoRegistrationGuard(IdFunction idFunction);
    PluginAutoRegistrationGuard(const PluginAutoRegistrationGuard&) = delete;
    PluginAutoRegistrationGuard& operator=(const PluginAutoRegistrationGuard&) = delete;
    ~PluginAutoRegistrationGuard();

    /// Identifiers of the plug-ins announced now, in load order. Thread-safe.
    static std::vector<std::string> announcedPlugins();

private:
    IdFunction m_idFunction;
    std::string m_id;
};

} // namespace Kelvaros
