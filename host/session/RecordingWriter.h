#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "core/Export.h"
#include "core/Signal.h"
#include "stream/io/TrackingSequenceWriter.h"

namespace Kelvaros
{

class TrackingStream;

/// Writes what a tracking stream publishes to a sequence file (CSV when the name ends in .csv) as it arrives, so
/// that a recording of any length keeps one sample in memory, and a kill leaves the old file untouched.
///
/// open() before the stream starts (it finds an unwritable folder before any work); listen() before the stream
/// starts, so that no sample passes unseen; finish() after the stream stopped. The listener runs on the stream's
/// thread; m_mutex guards the writer and the counts, which may be read from any thread.
class KELVAROS_API RecordingWriter : public SignalReceiver
{
public:
    explicit RecordingWriter(const std::string& path);
    ~RecordingWriter() override;

    /// False when the output cannot be created (the reason is in the log).
    [[nodiscard]] bool open();
    void listen(TrackingStream& stream);
    /// Stops listening and replaces the old file when at least one sample was written; false when writing
    /// failed or nothing was written (the old file stays).
    [[nodiscard]] bool finish();

    [[nodiscard]] int64_t received() const;
    [[nodiscard]] int64_t written() const;
    /// Samples left out because a file cannot hold them (see TrackingSequenceWriter).
    [[nodiscard]] int64_t refused() const;
    /// "<path>: cannot write: <reason>" after a write failure, else empty.
    [[nodiscard]] std::string error() const;

private:
    mutable std::mutex m_mutex;
    TrackingSequenceWriter m_writer;
    int64_t m_received = 0;
};

} // namespace Kelvaros
