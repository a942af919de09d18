#include "core/Log.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace Kelvaros::Log
{

int g_globalLevel = Info;

namespace
{
struct Sinks
{
    std::mutex mutex;
    std::map<int, Sink> sinks;
    int nextHandle = 1;
    bool consoleEnabled = true;
};

Sinks& sinks()
{
    static Sinks instance;
    return instance;
}

void writeToConsole(const Record& record)
{
    if (record.category.empty())
        std::fprintf(stderr, "[%s] %s\n", levelName(record.level), record.message.c_str());
    else
        std::fprintf(stderr, "[%s] %s: %s\n", levelName(record.level), record.category.c_str(), record.message.c_str());
}
} // namespace

bool isAccepted(int level, const std::string&)
{
    return level >= g_globalLevel;
}

void log(int level, const std::string& category, const std::string& message)
{
    if (!isAccepted(level, category))
        return;
    const Record record{level, category, message};
    Sinks& s = sinks();
    // Sinks are called under the lock so that a removed sink is never called afterwards and messages from
    // different threads do not interleave inside a sink.
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.consoleEnabled)
        writeToConsole(record);
    for (auto& [handle, sink] : s.sinks)
        sink(record);
}

int addSink(Sink sink)
{
    Sinks& s = sinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    const int handle = s.nextHandle++;
    s.sinks.emplace(handle, std::move(sink));
    return handle;
}

void removeSink(int handle)
{
    Sinks& s = sinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sinks.erase(handle);
}

void setConsoleEnabled(bool enabled)
{
    Sinks& s = sinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.consoleEnabled = enabled;
}

const char* levelName(int level)
{
    switch (level)
    {
        case Debug:
            return "Debug";
        case Info:
            return "Info";
        case Warning:
            return "Warning";
        case Error:
            return "Error";
        default:
            return "Log";
    }
}

} // namespace Kelvaros::Log
