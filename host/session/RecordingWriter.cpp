#include "session/RecordingWriter.h"

#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{

RecordingWriter::RecordingWriter(const std::string& path) : m_writer(path) {}

RecordingWriter::~RecordingWriter()
{
    disconnectAll();
}

bool RecordingWriter::open()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writer.open();
}

void RecordingWriter::listen(TrackingStream& stream)
{
    addConnection(stream.signalStreamData.connect(
      [this](const std::shared_ptr<const StreamData>& data)
      {
          const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
          if (!sample)
              return;
          std::lock_guard<std::mutex> lock(m_mutex);
          ++m_received;
          // After a write failure the writer refuses everything; the command reports it once at the end.
          m_writer.append({ sample->timestampDevice(), sample->instruments() });
      }));
}

bool RecordingWriter::finish()
{
    disconnectAll();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writer.frames() > 0 && m_writer.close();
}

int64_t RecordingWriter::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

int64_t RecordingWriter::written() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writer.frames();
}

int64_t RecordingWriter::refused() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writer.refused();
}

std::string RecordingWriter::error() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writer.error();
}

} // namespace Kelvaros
