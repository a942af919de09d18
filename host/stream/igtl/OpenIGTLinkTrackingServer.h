#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Configurable.h"
#include "core/Export.h"
#include "core/Parameter.h"
#include "core/Signal.h"

namespace Kelvaros
{

class StreamData;
class TrackingStream;
class TrackingStreamData;

/// Sends the samples of a tracking stream (a tracker, a smoothed or combined stream) to every connected
/// OpenIGTLink client, so that another navigation system can follow it.
///
/// Each sample goes out as one TDATA message (device name: the stream's name) with one element per tracked
/// instrument, followed, when sendTransforms is set, by one TRANSFORM message per tracked instrument (device
/// name: the instrument id). Untracked instruments are left out: OpenIGTLink has no tracked flag, and a
/// receiver reads a missing tool as not seen. Names longer than OpenIGTLink's 20 characters are cut. Messages
/// carry the sample's device timestamp (its arrival timestamp when the device gave none), poses are tool →
/// tracker in millimetres.
///
/// Threads: a listener on the stream's delivery thread only queues the sample and wakes the server thread; the
/// server thread accepts clients, packs and sends without ever blocking on a client. A client whose unsent data
/// exceeds maximumBacklogKiB (a slow or stalled reader) is disconnected with a warning; a client that went away
/// is dropped with an info line. When the process runs out of file descriptors, accepting pauses with one warning
/// and is retried a few times a second, never in a busy loop. Samples are queued only while a client is connected.
/// start, stop and the parameters belong to the owner's thread (the user-interface thread); the counters may be read
/// from any thread.
class KELVAROS_API OpenIGTLinkTrackingServer
  : public SignalReceiver
  , public Configurable
{
public:
    /// A server for the samples of `stream`, which must outlive it. Not listening until start().
    explicit OpenIGTLinkTrackingServer(TrackingStream& stream);
    ~OpenIGTLinkTrackingServer() override;

    /// Local address to listen on: "127.0.0.1" keeps the data on this computer, "0.0.0.0" offers it on every
    /// network interface.
    Parameter<std::string> bindAddress{ "bindAddress", "127.0.0.1", this };
    /// TCP port to listen on; 0 lets the system choose one (see listeningPort()).
    Parameter<int> port{ "port", 18944, this };
    /// Also send one TRANSFORM message per instrument after the TDATA message of each sample.
    Parameter<bool> sendTransforms{ "sendTransforms", true, this };
    /// Unsent data a client may accumulate before it is disconnected as too slow, in KiB.
    Parameter<int> maximumBacklogKiB{ "maximumBacklogKiB", 1024, this };

    /// Listens and starts the server thread. False, with an error in the log, when the address or port cannot be
    /// used. True when already running.
    bool start();
    /// Disconnects every client and stops the server thread. Does nothing when not running.
    void stop();
    [[nodiscard]] bool isRunning() const;
    /// The port actually listened on while running (useful with port 0), otherwise 0. Any thread.
    [[nodiscard]] int listeningPort() const;
    /// Clients connected now. Any thread.
    [[nodiscard]] size_t numClients() const;
    /// Samples sent to at least one client since construction. Any thread.
    [[nodiscard]] int64_t numSamplesSent() const;

    /// The bytes sent for one sample: TDATA, then TRANSFORM messages when `transforms` is set; empty when no
    /// instrument is tracked. Any thread.
    [[nodiscard]] static std::vector<uint8_t> encodeSample(const TrackingStreamData& sample,
                                                           const std::string& deviceName, bool transforms);

private:
    struct Client;

    void onStreamData(const std::shared_ptr<const StreamData>& data);
    /// Wakes the server thread; m_queueMutex held.
    void wakeLocked();
    bool createWakePipe();
    void serve();
    void acceptClients();
    /// Whether the listening socket is to be left out of the next poll; if so, `timeoutMs` is cut to the pause's end.
    [[nodiscard]] bool acceptPaused(int& timeoutMs) const;
    void dropClient(size_t index, int level, const std::string& reason);
    void closeSockets();

    TrackingStream& m_stream;

    // Filled by the listener (stream's thread), emptied by the server thread.
    std::mutex m_queueMutex;
    std::deque<std::shared_ptr<const TrackingStreamData>> m_queue;
    int64_t m_droppedSamples = 0; // dropped since the server thread last emptied the queue

    std::atomic<bool> m_stopRequested{ false };
    std::atomic<bool> m_accepting{ false }; // the listener queues samples only while the server runs
    std::thread m_thread;
    int m_listenSocket = -1;
    int m_wakePipe[2] = { -1, -1 }; // write end guarded by m_queueMutex (the listener writes to it)
    std::string m_deviceName;
    bool m_transforms = true;
    size_t m_maximumBacklog = 0;
    std::vector<std::unique_ptr<Client>> m_clients;       // server thread only while running
    bool m_acceptFailing = false;                         // server thread: a lack of resources was reported
    std::chrono::steady_clock::time_point m_acceptResume; // server thread: no accept before this

    std::atomic<int> m_listeningPort{ 0 };
    std::atomic<size_t> m_numClients{ 0 };
    std::atomic<int64_t> m_samplesSent{ 0 };
};

} // namespace Kelvaros
