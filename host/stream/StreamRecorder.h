#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "core/Export.h"
#include "core/Signal.h"
#include "lib/OwningDataList.h"

namespace Kelvaros
{

class Stream;
class StreamData;

/// Records the samples of one stream into data objects. It listens to the stream from construction on and
/// keeps what arrives between start() and stop(); the samples are recorded on the stream's thread (recordSample,
/// under the recorder's mutex), while start, stop, isRecording and takeOutput come from the user-interface
/// thread. The stream must outlive the recorder.
class KELVAROS_API StreamRecorder : public SignalReceiver
{
public:
    /// A recorder on `stream` (not owned, not null).
    explicit StreamRecorder(Stream* stream);
    ~StreamRecorder() override;

    /// The recorded stream.
    [[nodiscard]] Stream* stream() const { return m_stream; }

    /// Starts a new recording, discarding whatever an earlier one left untaken. Samples emitted after start()
    /// returns are recorded. Any thread but the stream's.
    virtual void start();
    /// Ends the recording; once it returns no further sample is recorded. Any thread but the stream's.
    virtual void stop();
    [[nodiscard]] bool isRecording() const;
    /// Samples recorded since the last start().
    [[nodiscard]] int64_t numRecordedSamples() const;

    /// Hands over what was recorded since the last start() (or the last takeOutput()); the recorder keeps
    /// recording into new objects if it is still running.
    [[nodiscard]] virtual OwningDataList takeOutput() = 0;

protected:
    /// Records one sample; called on the stream's thread with mutex() held, only while recording. Returns
    /// whether the sample contributed anything (counted in numRecordedSamples).
    virtual bool recordSample(const StreamData& data) = 0;
    /// Drops everything recorded so far; called with mutex() held.
    virtual void discardRecording() = 0;
    /// Guards the recorded data and the recording flag.
    [[nodiscard]] std::mutex& mutex() const { return m_mutex; }
    /// Ends the stream connection; a derived destructor calls it first, before its members go away.
    void detachFromStream() { disconnectAll(); }

private:
    void onStreamData(const std::shared_ptr<const StreamData>& data);

    Stream* m_stream;
    mutable std::mutex m_mutex;
    bool m_recording = false;
    int64_t m_recordedSamples = 0;
};

} // namespace Kelvaros
