#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "visualization/BreachReading.h"

namespace Kelvaros
{

class Data;

/// Where the breach warnings publish their readings, so that the other panels showing the same tool of the same
/// stream (the tool visualization's and the bullseye's read-outs) show the same figure without measuring it again:
/// the breach warning stays the one place where structures, margin and needle length are set.
///
/// A publisher hands in how to read its latest reading, judged at the moment it is asked (a reading turns stale
/// without samples); the board calls it under its own mutex, so a publisher that withdraws before it goes away is
/// never called afterwards. Publishers must not ask the board from inside that reader. Any thread.
class BreachReadingBoard
{
public:
    using Reader = std::function<BreachReading()>;

    /// The one board of the process.
    static BreachReadingBoard& instance();

    /// `owner`'s reading of the tool `toolId` on `stream`, replacing what `owner` published before.
    void publish(const void* owner, const Data* stream, const std::string& toolId, Reader reader);
    /// Takes back what `owner` published; nothing when it published nothing.
    void withdraw(const void* owner);

    /// The reading of the tool on that stream by the breach warning that published last; empty when none measures
    /// it, and for no tool (an empty id).
    [[nodiscard]] std::optional<BreachReading> reading(const Data* stream, const std::string& toolId) const;

private:
    struct Entry
    {
        const void* owner;
        const Data* stream;
        std::string toolId;
        Reader reader;
    };

    void eraseLocked(const void* owner);

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

} // namespace Kelvaros
