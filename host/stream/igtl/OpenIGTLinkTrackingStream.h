#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/Export.h"
#include "core/LogRateLimiter.h"
#include "core/Parameter.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{

/// A tracking source that connects, as a client, to an OpenIGTLink server (a tracking server, another
/// navigation system) and turns its TRANSFORM, TDATA, QTDATA and POSITION messages into samples.
///
/// Each pose becomes an instrument whose id and name are the device name (TRANSFORM, POSITION) or the element
/// name (TDATA, QTDATA). Consecutive messages with the same time stamp form one sample (a tracker that sends one
/// TRANSFORM per tool at each instant gives one sample per instant); a sample is published when a message with
/// another time stamp, or a tool already received in a message of the same type, arrives, or when the connection
/// has been quiet for a few milliseconds. A tool sent in messages of two types for one instant (TDATA and
/// TRANSFORM) gives one record, the last one. The sample's device timestamp is the message time stamp in
/// microseconds (0 when the sender sets none). Instruments are tracked with quality 1; one whose pose is not a
/// rigid transform or not finite is passed on untracked with quality 0 and a warning that names the peer. A
/// pending sample is published at stop(). The cost of a message is linear in the instruments pending.
///
/// A stream keeps at most maximumInstruments distinct instruments from open() to close(): the names after that
/// many are dropped (their poses never reach a sample), with one warning that names the cap and the first dropped
/// name. A peer that invents a name for every message therefore grows neither the instruments list nor the sample
/// pending between deliveries, which holds one record per instrument.
///
/// Bad input never stops the stream: a message with a wrong body size, a bad CRC or an unhandled type is skipped
/// and counted in numSkippedMessages(). A header that cannot be genuine means the message boundaries are lost:
/// the stream then drops the connection and reconnects. Warnings about the peer's faults are rate-limited (one
/// line per kind of fault, then a count every few seconds) and remember a bounded number of kinds, so a peer that
/// repeats a fault under ever-new device names costs neither memory nor a flood of log lines.
///
/// Connection: open() connects (false, with an error in the log, when the server cannot be reached). Each attempt
/// gives up after 2 s, so an unreachable host never holds the delivery thread (and with it stop()) for longer. While
/// started, a lost connection moves the stream to Disconnected with a warning, and the delivery thread retries
/// with a back-off that doubles from reconnectMinimumMs to reconnectMaximumMs; on success the stream goes back
/// to Running with an info line. The back-off starts again from reconnectMinimumMs only once a connection has
/// delivered a message: a server that accepts and closes at once is retried ever more slowly.
///
/// Threads: the socket belongs to the delivery thread while the stream is started, to the lifecycle calls
/// otherwise. The counters may be read from any thread.
class KELVAROS_API OpenIGTLinkTrackingStream : public TrackingStream
{
public:
    explicit OpenIGTLinkTrackingStream(std::string name = "OpenIGTLink Tracking Stream");
    ~OpenIGTLinkTrackingStream() override;

    /// Host name or address of the server.
    Parameter<std::string> host{ "host", "127.0.0.1", this };
    /// TCP port of the server (OpenIGTLink's customary port by default).
    Parameter<int> port{ "port", 18944, this };
    /// First wait before reconnecting after the connection was lost, in milliseconds.
    Parameter<int> reconnectMinimumMs{ "reconnectMinimumMs", 200, this };
    /// The wait doubles after each failed attempt up to this many milliseconds.
    Parameter<int> reconnectMaximumMs{ "reconnectMaximumMs", 5000, this };

    /// Distinct instruments a stream keeps; a real tracker has a handful of tools.
    static constexpr size_t maximumInstruments = 64;

    [[nodiscard]] std::string describe() const override;
    [[nodiscard]] bool supportsAsyncOperation() const override { return true; }

    /// Samples published since construction. Any thread.
    [[nodiscard]] int64_t numSamples() const;
    /// Messages skipped as malformed or unhandled since construction. Any thread.
    [[nodiscard]] int64_t numSkippedMessages() const;
    /// Connections made since construction (the first one and every reconnection). Any thread.
    [[nodiscard]] int64_t numConnections() const;
    /// Why the last connection failed or was lost ("cannot connect", "closed by the server", ...); empty while
    /// none has. Any thread.
    [[nodiscard]] std::string lastError() const;

protected:
    bool openImpl() override;
    bool closeImpl() override;
    bool startImpl() override;
    bool stopImpl() override;
    std::optional<WorkContinuation> doWork() override;

private:
    class Connection;

    bool connect(bool reconnecting);
    void noteError(std::string error);
    void connectionLost(const std::string& reason);
    void receive(const uint8_t* data, size_t size);
    void handleMessage(const uint8_t* data, size_t size);
    void skipMessage(const std::string& kind, const std::string& device, const std::string& error);
    void warnAboutUntracked(const std::string& type, const std::string& device,
                            const std::vector<TrackingInstrument>& instruments);
    /// Removes the instruments beyond the cap; warns the first time one is dropped.
    void dropBeyondCap(std::vector<TrackingInstrument>& instruments);
    void flushSample();
    void clearPending();
    /// The wait before the next connection attempt after waiting `previous`.
    [[nodiscard]] std::chrono::milliseconds nextBackoff(std::chrono::milliseconds previous) const;

    // Delivery thread while started, lifecycle calls otherwise (the thread start and join order the two).
    std::unique_ptr<Connection> m_connection;
    std::vector<uint8_t> m_buffer;
    uint64_t m_discardRemaining = 0; // body bytes of an oversized message still to throw away
    std::vector<TrackingInstrument> m_pending;
    std::unordered_map<std::string, size_t> m_pendingIndex; // instrument id → its record in m_pending
    std::unordered_set<std::string> m_pendingKeys;          // message type and instrument id of each pending record
    std::optional<int64_t> m_pendingTimestamp;
    std::unordered_set<std::string> m_keptInstruments; // ids admitted since open(), at most maximumInstruments
    bool m_capWarned = false;
    std::chrono::milliseconds m_backoff{ 0 };
    bool m_messageReceived = false; // in the current connection

    LogRateLimiter m_faultLog; // any thread

    mutable std::mutex m_countersMutex;
    int64_t m_samples = 0;
    int64_t m_skipped = 0;
    int64_t m_connections = 0;
    std::string m_lastError;
};

} // namespace Kelvaros
