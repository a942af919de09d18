#include "lib/DataComponentList.h"

#include <algorithm>

namespace Kelvaros
{

namespace
{
std::vector<std::unique_ptr<DataComponent>> cloneAll(const std::vector<std::unique_ptr<DataComponent>>& components)
{
    std::vector<std::unique_ptr<DataComponent>> copies;
    copies.reserve(components.size());
    for (const auto& c : components)
        copies.push_back(c->cloneDerived());
    return copies;
}
} // namespace

DataComponentList::DataComponentList(const DataComponentList& other)
{
    std::lock_guard<std::mutex> lock(other.m_mutex);
    m_components = cloneAll(other.m_components);
}

DataComponentList& DataComponentList::operator=(const DataComponentList& other)
{
    if (this == &other)
        return *this;
    // Snapshot the other list under its own lock only, so that two lists assigned to each other from two
    // threads cannot deadlock on the pair of mutexes.
    std::vector<std::unique_ptr<DataComponent>> copies;
    {
        std::lock_guard<std::mutex> lock(other.m_mutex);
        copies = cloneAll(other.m_components);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_components.erase(std::remove_if(m_components.begin(), m_components.end(),
                                      [&copies](const std::unique_ptr<DataComponent>& mine) {
                                          return std::none_of(copies.begin(), copies.end(),
                                                              [&mine](const auto& c)
                                                              { return typeid(*c) == typeid(*mine); });
                                      }),
                       m_components.end());
    for (auto& copy : copies)
        addLocked(std::move(copy));
    return *this;
}

DataComponentList::~DataComponentList() = default;

DataComponent* DataComponentList::add(std::unique_ptr<DataComponent> component)
{
    if (!component)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    return addLocked(std::move(component));
}

DataComponent* DataComponentList::addLocked(std::unique_ptr<DataComponent> component)
{
    const std::type_info& type = typeid(*component);
    for (auto& existing : m_components)
    {
        if (typeid(*existing) == type)
        {
            existing->assign(*component);
            return existing.get();
        }
    }
    m_components.push_back(std::move(component));
    return m_components.back().get();
}

std::unique_ptr<DataComponent> DataComponentList::remove(const std::type_info& type)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_components.begin(), m_components.end(),
                           [&type](const std::unique_ptr<DataComponent>& c) { return typeid(*c) == type; });
    if (it == m_components.end())
        return nullptr;
    std::unique_ptr<DataComponent> removed = std::move(*it);
    m_components.erase(it);
    return removed;
}

std::vector<DataComponent*> DataComponentList::all() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<DataComponent*> result;
    result.reserve(m_components.size());
    for (const auto& c : m_components)
        result.push_back(c.get());
    return result;
}

size_t DataComponentList::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_components.size();
}

DataComponent* DataComponentList::find(const std::type_info& type) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return findLocked(type);
}

DataComponent* DataComponentList::findLocked(const std::type_info& type) const
{
    for (const auto& c : m_components)
        if (typeid(*c) == type)
            return c.get();
    return nullptr;
}

} // namespace Kelvaros
