#pragma once

#include <functional>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "core/Export.h"

namespace Kelvaros
{

/// The host log. Messages carry a level and a category (normally the class name) and go to every installed sink.
/// All functions are thread-safe; sinks are called on the thread that logs, one message at a time.
namespace Log
{
enum Level : int
{
    Debug = 1,
    Info = 2,
    Warning = 3,
    Error = 4
};

/// Messages below this level are dropped before they are formatted. Default: Info.
KELVAROS_API extern int g_globalLevel;

/// One logged message as a sink receives it.
struct Record
{
    int level = Info;
    std::string category;
    std::string message;
};

using Sink = std::function<void(const Record&)>;

/// True when a message of this level and category would reach the sinks.
KELVAROS_API bool isAccepted(int level, const std::string& category);
/// Hands a message to every sink if it is accepted.
KELVAROS_API void log(int level, const std::string& category, const std::string& message);

/// Formats with fmt only when the message is accepted.
template <typename... Args>
void logf(int level, const std::string& category, fmt::format_string<Args...> format, Args&&... args)
{
    if (isAccepted(level, category))
        log(level, category, fmt::format(format, std::forward<Args>(args)...));
}

/// Installs a sink and returns its handle. The console sink (standard error) is installed at start-up.
KELVAROS_API int addSink(Sink sink);
/// Removes a sink; once this returns it is not called again.
KELVAROS_API void removeSink(int handle);
/// Turns the console sink off and on (tests that capture the log keep the console quiet).
KELVAROS_API void setConsoleEnabled(bool enabled);

/// Text of a level ("Debug", "Info", "Warning", "Error").
KELVAROS_API const char* levelName(int level);
} // namespace Log

} // namespace Kelvaros
