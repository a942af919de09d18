#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/Export.h"
#include "stream/TrackerID.h"
#include "stream/io/TrackingSample.h"

namespace Kelvaros
{

/// Reads a sequence file one frame at a time, as strictly as TrackingSequenceFile::read and with the same log
/// messages, holding one frame in memory: for playing recordings of any length.
///
/// A file may name its instruments after the frames (a recording written as it came): frames then carry the bare
/// id until a reader is given the identities() an earlier reader of the same file found at its end.
///
/// Not thread-safe: one thread at a time.
class KELVAROS_API TrackingSequenceReader
{
public:
    explicit TrackingSequenceReader(const std::string& path, std::map<std::string, TrackerID> identities = {});
    ~TrackingSequenceReader();
    TrackingSequenceReader(const TrackingSequenceReader&) = delete;
    TrackingSequenceReader& operator=(const TrackingSequenceReader&) = delete;

    /// The next frame; empty at the end of the file or after an Error (the frames before it were well-formed).
    [[nodiscard]] std::optional<TrackingSample> next();
    /// True once every frame was read and the file was accepted as a whole.
    [[nodiscard]] bool complete() const;
    /// The instruments' names and models the file gave so far (all of them once complete()).
    [[nodiscard]] std::map<std::string, TrackerID> identities() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace Kelvaros
