#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "core/Export.h"
#include "core/Log.h"

namespace Kelvaros
{

/// Keeps a repeated message from flooding the host log: the first message of a kind is logged, later ones of the
/// same kind are only counted, and the first one after `interval` is logged with the count of those left out in
/// between. So a fault that a peer repeats a thousand times a second costs one line every few seconds.
///
/// Kinds are told apart by a key the caller chooses (the fault, the device). At most `maximumKeys` keys are
/// remembered; messages under further keys share one allowance, so a peer that invents a new key for every
/// message costs bounded memory and a bounded number of lines. Counts still open are logged by flush(), at Info
/// level.
///
/// Thread-safe; messages are logged on the calling thread, under the category given at construction.
class KELVAROS_API LogRateLimiter
{
public:
    using Clock = std::chrono::steady_clock;

    /// `now` replaces the clock in tests.
    explicit LogRateLimiter(std::string category, std::chrono::milliseconds interval = std::chrono::seconds(5),
                            size_t maximumKeys = 64, std::function<Clock::time_point()> now = &Clock::now);
    ~LogRateLimiter();
    LogRateLimiter(const LogRateLimiter&) = delete;
    LogRateLimiter& operator=(const LogRateLimiter&) = delete;

    /// Logs the message at `level`, or counts it when a message with this key was logged less than `interval`
    /// ago. Formats only what is logged.
    template<typename... Args>
    void logf(int level, const std::string& key, fmt::format_string<Args...> format, Args&&... args)
    {
        if (!Log::isAccepted(level, m_category))
            return;
        const Admission admission = admit(key);
        if (admission.logged)
            emit(level, key, fmt::format(format, std::forward<Args>(args)...), admission);
    }

    /// Logs, for every key with messages left out since its last line, how many there were; then forgets every
    /// key, so that the next message of any kind is logged again (for example when a connection ends).
    void flush();

    /// Keys remembered now, including the shared one of the keys beyond the limit; at most maximumKeys + 1.
    [[nodiscard]] size_t numKeys() const;

private:
    struct Entry
    {
        Clock::time_point lastLogged;
        int64_t suppressed = 0;
        std::string lastMessage; // for flush()
    };
    struct Admission
    {
        bool logged = false;
        bool shared = false;    // under the allowance of the keys beyond the limit
        int64_t suppressed = 0; // left out since the last line of this kind
    };

    Admission admit(const std::string& key);
    void emit(int level, const std::string& key, std::string message, const Admission& admission);
    /// The entry a message was admitted under (the shared one when `shared`); null when flush() forgot it since.
    /// m_mutex held.
    Entry* find(const std::string& key, bool shared);

    const std::string m_category;
    const Clock::duration m_interval;
    const size_t m_maximumKeys;
    const std::function<Clock::time_point()> m_now;

    mutable std::mutex m_mutex; // guards m_entries and m_shared
    std::unordered_map<std::string, Entry> m_entries;
    std::optional<Entry> m_shared;
};

} // namespace Kelvaros
