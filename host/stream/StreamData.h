#pragma once

#include <cstdint>
#include <memory>

#include "core/Export.h"
#include "lib/DataComponentList.h"

namespace Kelvaros
{

class Stream;

/// One sample of a stream. A stream builds it, then publishes it as std::shared_ptr<const StreamData>: from
/// then on nobody changes it, so listeners on any thread may read it without a lock.
///
/// Timestamps (both int64, 0 = not set):
/// - device timestamp: microseconds of the producing device's own clock, as the device reported the
///   measurement. Its epoch is the device's; only differences between samples of one stream are meaningful.
/// - arrival timestamp: microseconds of std::chrono::steady_clock (see nowMicroseconds()), taken when the host
///   received or produced the sample. Comparable across all streams of this process, never across processes.
class KELVAROS_API StreamData
{
public:
    /// The producing stream is not owned; a sample kept after its stream was destroyed must not use stream().
    explicit StreamData(Stream* stream);
    StreamData(const StreamData& other);
    StreamData& operator=(const StreamData& other);
    virtual ~StreamData();

    /// The stream that produced the sample (not owned; may be null for a sample built outside any stream).
    [[nodiscard]] Stream* stream() const { return m_stream; }

    /// Microseconds of std::chrono::steady_clock when the sample arrived (0 = not set).
    [[nodiscard]] int64_t timestampArrival() const { return m_timestampArrival; }
    void setTimestampArrival(int64_t microseconds) { m_timestampArrival = microseconds; }
    /// Microseconds of the device's clock when the device measured the sample (0 = not set).
    [[nodiscard]] int64_t timestampDevice() const { return m_timestampDevice; }
    void setTimestampDevice(int64_t microseconds) { m_timestampDevice = microseconds; }

    /// Data components carried by this sample (for example raw fiducials), one per run-time type.
    [[nodiscard]] DataComponentList& components() { return m_components; }
    [[nodiscard]] const DataComponentList& components() const { return m_components; }

    /// Copies every data component of another sample into this one (replacing components of the same type).
    void updateComponents(const StreamData& other);

    /// A deep copy of the same run-time type, components included.
    [[nodiscard]] virtual std::unique_ptr<StreamData> clone() const;

    /// The current arrival-clock time: microseconds of std::chrono::steady_clock. Thread-safe.
    [[nodiscard]] static int64_t nowMicroseconds();

private:
    Stream* m_stream = nullptr;
    int64_t m_timestampArrival = 0;
    int64_t m_timestampDevice = 0;
    DataComponentList m_components;
};

} // namespace Kelvaros
