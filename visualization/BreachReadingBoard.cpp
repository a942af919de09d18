#include "visualization/BreachReadingBoard.h"

#include <algorithm>

namespace Kelvaros
{

BreachReadingBoard& BreachReadingBoard::instance()
{
    static BreachReadingBoard board;
    return board;
}

void BreachReadingBoard::publish(const void* owner, const Data* stream, const std::string& toolId, Reader reader)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    eraseLocked(owner);
    m_entries.push_back({ owner, stream, toolId, std::move(reader) });
}

void BreachReadingBoard::withdraw(const void* owner)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    eraseLocked(owner);
}

void BreachReadingBoard::eraseLocked(const void* owner)
{
    m_entries.erase(
      std::remove_if(m_entries.begin(), m_entries.end(), [owner](const Entry& entry) { return entry.owner == owner; }),
      m_entries.end());
}

std::optional<BreachReading> BreachReadingBoard::reading(const Data* stream, const std::string& toolId) const
{
    // No tool chosen is no tool: two panels that both lack one do not show the same.
    if (toolId.empty())
        return std::nullopt;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found =
      std::find_if(m_entries.rbegin(), m_entries.rend(),
                   [&](const Entry& entry) { return entry.stream == stream && entry.toolId == toolId; });
    if (found == m_entries.rend())
        return std::nullopt;
    return found->reader();
}

} // namespace Kelvaros
