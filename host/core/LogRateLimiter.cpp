#include "core/LogRateLimiter.h"

#include <vector>

namespace Kelvaros
{

LogRateLimiter::LogRateLimiter(std::string category, std::chrono::milliseconds interval, size_t maximumKeys,
                               std::function<Clock::time_point()> now)
  : m_category(std::move(category)), m_interval(interval), m_maximumKeys(maximumKeys), m_now(std::move(now))
{
}

LogRateLimiter::~LogRateLimiter()
{
    flush();
}

LogRateLimiter::Admission LogRateLimiter::admit(const std::string& key)
{
    const Clock::time_point now = m_now();
    std::lock_guard<std::mutex> lock(m_mutex);
    Admission admission;
    Entry* entry = nullptr;
    if (auto known = m_entries.find(key); known != m_entries.end())
        entry = &known->second;
    else if (m_entries.size() < m_maximumKeys)
        entry = &m_entries.emplace(key, Entry{ now - m_interval, 0, {} }).first->second;
    else
    {
        admission.shared = true;
        if (!m_shared)
            m_shared = Entry{ now - m_interval, 0, {} };
        entry = &*m_shared;
    }
    if (now - entry->lastLogged < m_interval)
    {
        ++entry->suppressed;
        return admission;
    }
    admission.logged = true;
    admission.suppressed = std::exchange(entry->suppressed, 0);
    entry->lastLogged = now;
    return admission;
}

LogRateLimiter::Entry* LogRateLimiter::find(const std::string& key, bool shared)
{
    if (shared)
        return m_shared ? &*m_shared : nullptr;
    auto known = m_entries.find(key);
    return known == m_entries.end() ? nullptr : &known->second;
}

void LogRateLimiter::emit(int level, const std::string& key, std::string message, const Admission& admission)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Entry* entry = find(key, admission.shared))
            entry->lastMessage = message;
    }
    if (admission.suppressed > 0)
        message += fmt::format(" ({} more {} since the last report)", admission.suppressed,
                               admission.shared ? "messages of other kinds" : "like this");
    Log::log(level, m_category, message);
}

void LogRateLimiter::flush()
{
    std::vector<Entry> open;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [key, entry] : m_entries)
            if (entry.suppressed > 0)
                open.push_back(std::move(entry));
        if (m_shared && m_shared->suppressed > 0)
            open.push_back(std::move(*m_shared));
        m_entries.clear();
        m_shared.reset();
    }
    // The warning itself was given; how often it recurred is for the record.
    for (const Entry& entry : open)
        Log::logf(Log::Info, m_category, "{} more like this since the last report: {}", entry.suppressed,
                  entry.lastMessage);
}

size_t LogRateLimiter::numKeys() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size() + (m_shared ? 1 : 0);
}

} // namespace Kelvaros
