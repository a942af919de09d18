#include "lib/points/PointsStorageComponent.h"

#include <cstdlib>
#include <cxxabi.h>

#include "core/Log.h"
#include "lib/points/PointsOnData.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "PointsStorageComponent";
const char* const kRecord = "pointSet";

/// `points` when it is of the requested type; null, with an error in the log, when it is not.
std::shared_ptr<PointsOnData> ofType(std::shared_ptr<PointsOnData> points, const std::string& name,
                                     const std::type_info& type, const std::function<bool(const PointsOnData&)>& isType)
{
    if (isType(*points))
        return points;
    Log::log(Log::Error, kCategory,
             "Point set with name '" + name + "' already exists, but is not of type '" +
               PointsStorageComponent::typeName(type) + "'");
    return nullptr;
}
} // namespace

PointsStorageComponent::PointsStorageComponent() = default;

PointsStorageComponent::PointsStorageComponent(const PointsStorageComponent& other)
  : DataComponentBase<PointsStorageComponent>(), m_entries(other.snapshot())
{
}

PointsStorageComponent& PointsStorageComponent::operator=(const PointsStorageComponent& other)
{
    if (this == &other)
        return *this;
    auto entries = other.snapshot();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.swap(entries);
    }
    // The sets replaced go here, outside the lock: the last owner's destructor is foreign code.
    return *this;
}

PointsStorageComponent::~PointsStorageComponent() = default;

std::map<std::string, PointsStorageComponent::Entry> PointsStorageComponent::snapshot() const
{
    std::map<std::string, Entry> copy;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        copy = m_entries;
    }
    // A live set writes its own configuration outside the lock: that is the set's code, not this component's.
    for (auto& [name, entry] : copy)
        if (std::shared_ptr<PointsOnData> live = std::move(entry.points))
        {
            entry.configuration.emplace();
            live->configuration(&*entry.configuration);
        }
    return copy;
}

std::shared_ptr<PointsOnData> PointsStorageComponent::points(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(name);
    return it == m_entries.end() ? nullptr : it->second.points;
}

void PointsStorageComponent::setPoints(const std::string& name, std::shared_ptr<PointsOnData> points)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries[name].points.swap(points);
    }
    // `points` now holds the replaced set, released outside the lock.
}

std::optional<Properties> PointsStorageComponent::storedConfiguration(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(name);
    return it == m_entries.end() ? std::nullopt : it->second.configuration;
}

void PointsStorageComponent::setStoredConfiguration(const std::string& name, const Properties& configuration)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries[name].configuration = configuration;
}

bool PointsStorageComponent::remove(const std::string& name)
{
    std::optional<Entry> removed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_entries.find(name);
        if (it == m_entries.end())
            return false;
        removed = std::move(it->second);
        m_entries.erase(it);
    }
    return true;
}

std::vector<std::string> PointsStorageComponent::names() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> result;
    for (const auto& entry : m_entries)
        result.push_back(entry.first);
    return result;
}

std::shared_ptr<PointsOnData> PointsStorageComponent::getOrCreate(
  const std::string& name, const std::type_info& type, const std::function<bool(const PointsOnData&)>& isType,
  const std::function<std::shared_ptr<PointsOnData>()>& create)
{
    std::shared_ptr<PointsOnData> existing;
    std::optional<Properties> configuration;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (const auto it = m_entries.find(name); it != m_entries.end())
        {
            existing = it->second.points;
            configuration = it->second.configuration;
        }
    }
    if (existing)
        return ofType(existing, name, type, isType);
    // Constructing and configuring a set runs foreign code (the set's point-added listeners among it), which must
    // not run under this component's lock; the set is published only once it is complete.
    std::shared_ptr<PointsOnData> created = create ? create() : nullptr;
    if (!created)
        return nullptr;
    if (configuration)
        created->configure(&*configuration);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Entry& entry = m_entries[name];
        if (!entry.points)
        {
            entry.points = created;
            return created;
        }
        existing = entry.points;
    }
    // Another caller stored a set under the name meanwhile: everyone shares the stored one.
    return ofType(existing, name, type, isType);
}

void PointsStorageComponent::configuration(Properties* properties) const
{
    if (!properties)
        return;
    for (const auto& [name, entry] : snapshot())
    {
        Properties* record = entry.configuration ? properties->addSubProperties(*entry.configuration)
                                                 : properties->addSubProperties(kRecord);
        record->setName(kRecord);
        record->setParam("name", name);
    }
}

void PointsStorageComponent::configure(const Properties* properties)
{
    if (!properties)
        return;
    for (const Properties* record : properties->subPropertiesAll(kRecord))
    {
        std::string name;
        if (!record->param("name", name))
        {
            Log::log(Log::Warning, kCategory, "A point set record without a name was skipped");
            continue;
        }
        Properties configuration(*record);
        configuration.removeParam("name");
        std::shared_ptr<PointsOnData> live;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Entry& entry = m_entries[name];
            entry.configuration = configuration;
            live = entry.points;
        }
        if (live)
            live->configure(&configuration);
    }
}

std::string PointsStorageComponent::typeName(const std::type_info& type)
{
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string result = status == 0 && demangled ? demangled : type.name();
    std::free(demangled);
    return result;
}

} // namespace Kelvaros
