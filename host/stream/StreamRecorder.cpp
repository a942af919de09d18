#include "stream/StreamRecorder.h"

#include "stream/Stream.h"

namespace Kelvaros
{

StreamRecorder::StreamRecorder(Stream* stream) : m_stream(stream)
{
    if (m_stream)
        m_stream->signalStreamData.connect(this, [this](const std::shared_ptr<const StreamData>& data)
                                           { onStreamData(data); });
}

StreamRecorder::~StreamRecorder()
{
    disconnectAll();
}

void StreamRecorder::start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    discardRecording();
    m_recordedSamples = 0;
    m_recording = true;
}

void StreamRecorder::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = false;
}

bool StreamRecorder::isRecording() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recording;
}

int64_t StreamRecorder::numRecordedSamples() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recordedSamples;
}

void StreamRecorder::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    if (!data)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_recording && recordSample(*data))
        ++m_recordedSamples;
}

} // namespace Kelvaros
