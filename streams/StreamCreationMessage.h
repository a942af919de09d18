#pragma once

#include <string>

#include "lib/DataList.h"

namespace Kelvaros
{

class Stream;

/// The sentences a stream-creation algorithm leaves in its status message (Algorithm::statusMessage), which the
/// stream's panel shows: what happened to the new stream and, when it cannot deliver, what the user can do about
/// it. The log keeps its own texts. Pure; any thread.
namespace StreamCreationMessage
{

/// How far a creation got.
enum class Outcome : int
{
    /// Built and left closed, as the open flag asked.
    Built = 0,
    /// Built and opened, not started, as the start flag asked.
    Opened = 1,
    /// Built, opened and started.
    Started = 2,
    /// Built, but open() failed.
    OpenFailed = 3,
    /// Built and opened, but start() failed.
    StartFailed = 4
};

/// No stream could be built: `reason` is the refusal of the stream class (the exception's message).
[[nodiscard]] std::string notBuilt(const std::string& reason);

/// No stream was built because the data it is made from holds no tracking stream any more (removed, or never
/// selected). `menuEntry` is the display name of the creating algorithm's menu entry (empty: unknown), named as the
/// way to try again.
[[nodiscard]] std::string missingInput(const std::string& menuEntry);

/// The stream `stream` was built on `inputs` and got as far as `outcome`. A failure names the first input whose
/// state explains it (disconnected, paused, closed) with what to do; an input that delivers nothing yet is named
/// on success too, since the new stream stays silent until it does.
[[nodiscard]] std::string afterBuilding(const Stream& stream, Outcome outcome, const DataList& inputs,
                                        const std::string& menuEntry);

} // namespace StreamCreationMessage
} // namespace Kelvaros
