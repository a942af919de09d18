#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/Export.h"
#include "stream/Stream.h"

namespace Kelvaros
{

/// A stream whose samples are TrackingStreamData: the poses of tracked instruments.
///
/// It keeps, from every sample it publishes with emitStreamData, the list of instruments seen so far (in the
/// order they first appeared, each with its latest record) and the instruments of the last sample; these back
/// instruments() and activeInstruments(), which derived streams may override. signalInstrumentsChanged is
/// emitted, on the emitting thread, when an instrument appears for the first time or its name or model changes.
/// The main instrument is never chosen here: its change signal must not fire on the delivery thread, where
/// listeners that are only safe on the user-interface thread would then run.
class LatestTrackingSample;

class KELVAROS_API TrackingStream : public Stream
{
public:
    /// A tracking stream shown under this name.
    explicit TrackingStream(std::string displayName);
    ~TrackingStream() override;

    [[nodiscard]] Kind kind() const override { return Kind::TrackingStream; }
    [[nodiscard]] Modality modality() const override { return Modality::Tracking; }

    /// Name, state and number of instruments seen.
    [[nodiscard]] std::string describe() const override;
    /// Every instrument seen so far, first-seen order, latest record of each. Any thread.
    [[nodiscard]] std::vector<TrackingInstrument> instruments() const override;
    /// The instruments of the last published sample whose tracked flag is set. Any thread.
    [[nodiscard]] std::vector<TrackingInstrument> activeInstruments() const override;
    /// When the last sample was published (steady clock); empty before the first. A display that shows the last
    /// sample as "now" asks this first: a stream that stopped delivering sees nothing. Any thread.
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point> lastSampleTime() const;
    /// The newest sample with its calibrated poses and the stream's trail, for what shows the stream as it is now
    /// (what needs every sample listens to signalStreamData instead). Lives as long as the stream. Any thread.
    [[nodiscard]] LatestTrackingSample& latest() const { return *m_latest; }

protected:
    void noteEmitted(const StreamData& data) override;
    /// Forgets the instruments seen so far (for example when a source reconnects to another device).
    void clearInstruments();

private:
    mutable std::mutex m_instrumentsMutex;
    std::vector<TrackingInstrument> m_seen;
    std::unordered_map<std::string, size_t> m_seenIndex; // id → its record in m_seen: linear cost per sample
    std::vector<TrackingInstrument> m_last;
    std::optional<std::chrono::steady_clock::time_point> m_lastSampleTime;
    std::unique_ptr<LatestTrackingSample> m_latest;
};

} // namespace Kelvaros
