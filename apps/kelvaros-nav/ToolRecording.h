#pragma once

#include <memory>
#include <optional>
#include <string>

namespace Kelvaros
{
class TrackingSequence;
}

namespace Kelvaros::Nav
{

/// The recording of one tool from a sequence file, ready for calibration: only the frames in which the tool was
/// tracked (an untracked frame carries a meaningless pose). `tool` selects the instrument by id; without it the
/// file must hold exactly one instrument. Null with `error` set when the file is refused (the reader's reason is
/// in the log), the tool is not in it, the choice is ambiguous or no tracked frame is left.
std::unique_ptr<TrackingSequence> readToolRecording(const std::string& path, const std::optional<std::string>& tool,
                                                    std::string* error);

} // namespace Kelvaros::Nav
