#include "lib/PluginAutoRegistrationGuard.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace Kelvaros
{

namespace
{
struct Registry
{
    std::mutex mutex;
    std::vector<std::pair<const PluginAutoRegistrationGuard*, std::string>> entries;
};

// Built on first use, which is inside the first guard's constructor: it is therefore destroyed after every guard
// that outlives the program's main, whatever the order in which the libraries' statics die.
Registry& registry()
{
    static Registry instance;
    return instance;
}
} // namespace

PluginAutoRegistrationGuard::PluginAutoRegistrationGuard(IdFunction idFunction) : m_idFunction(idFunction)
{
    if (!m_idFunction)
        return;
    m_id = m_idFunction();
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.entries.emplace_back(this, m_id);
}

PluginAutoRegistrationGuard::~PluginAutoRegistrationGuard()
{
    if (!m_idFunction)
        return;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.entries.erase(
      std::remove_if(r.entries.begin(), r.entries.end(), [this](const auto& entry) { return entry.first == this; }),
      r.entries.end());
}

std::vector<std::string> PluginAutoRegistrationGuard::announcedPlugins()
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::string> ids;
    ids.reserve(r.entries.size());
    for (const auto& entry : r.entries)
        ids.push_back(entry.second);
    return ids;
}

} // namespace Kelvaros
