#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QElapsedTimer>
#include <QTimer>

#include "core/Export.h"

namespace Kelvaros
{

class GlTrackingStream;
class LatestTrackingSample;
struct TrackingSnapshot;

/// The display frame of a set of views (a DisplayWidgetMulti's four, or one view of its own): once per frame it
/// reads each watched stream's newest sample once and hands that one snapshot to every GlTrackingStream of the stream,
/// so that all views draw the same sample; only when what it shows changed (poses, seen flags, the trail, or the
/// sample growing stale) are they told to repaint. A still tool repaints nothing.
///
/// It sleeps while nothing arrives: the first sample after a frame wakes it (one call to the main thread per frame
/// and stream, whatever the sample rate), and it runs its next frame a display frame after the last one; a timer
/// greys the instruments of a stream whose samples stopped.
///
/// Besides the GlTrackingStreams, clients that draw no stream of their own (a panel placing a tool mesh and moving
/// the slice views) may be handed a stream's snapshot in the same frame, so that what they place shows the sample the
/// views draw; such a stream wakes the clock even when no view shows it.
///
/// Main thread only, except that samples wake it from their delivery thread.
class KELVAROS_API FrameClock
{
    struct Client;
    struct Waker;

public:
    /// Called in every frame with the stream's snapshot of the frame, whether it is stale, and whether what it shows
    /// changed since the last frame (a newer sample at the same poses is not a change).
    using FrameCall = std::function<void(const TrackingSnapshot& snapshot, bool stale, bool changed)>;

    /// A client's place in the frames: leaves them on destruction, also after the clock went.
    class KELVAROS_API ClientWatch
    {
    public:
        ClientWatch(std::shared_ptr<Waker> waker, std::shared_ptr<Client> client);
        ~ClientWatch();
        ClientWatch(const ClientWatch&) = delete;
        ClientWatch& operator=(const ClientWatch&) = delete;

    private:
        std::shared_ptr<Waker> m_waker;
        std::shared_ptr<Client> m_client;
    };

    FrameClock();
    ~FrameClock();
    FrameClock(const FrameClock&) = delete;
    FrameClock& operator=(const FrameClock&) = delete;

    /// Draws `object` from this clock's frames from now on (it stops on its own destruction or unwatch).
    void watch(GlTrackingStream& object);
    void unwatch(GlTrackingStream& object);
    /// Hands `latest`'s snapshot to `call` from the next frame on, until the returned watch goes.
    [[nodiscard]] std::unique_ptr<ClientWatch> watch(LatestTrackingSample& latest, FrameCall call);
    /// Frames run so far (statistics and tests).
    [[nodiscard]] uint64_t frameCount() const { return m_frames; }
    /// True while a clock hands out a frame: the repaints it asks for are paced to the display already.
    [[nodiscard]] static bool isInFrame();

private:
    /// One watched stream and what its objects draw.
    struct Watched
    {
        LatestTrackingSample* latest = nullptr;
        std::shared_ptr<const TrackingSnapshot> drawn;
        bool drawnStale = false;
        std::vector<GlTrackingStream*> objects;
        std::vector<std::shared_ptr<Client>> clients;
    };

    /// The entry of `latest`, added when it has none.
    Watched& watchedOf(LatestTrackingSample& latest);
    /// Drops the entry of `latest` once nothing draws from it.
    void forgetIfUnused(LatestTrackingSample& latest);
    void unwatch(Client& client);

    /// A sample arrived after the last frame: a frame now, or when the display frame is over.
    void wake();
    void frame();
    /// Advances one stream to its newest snapshot; true when that changes what it shows.
    bool advance(Watched& watched);
    /// Asks every stream for a wake at its next sample and sets the timer of the next stale moment.
    void sleep();

    std::vector<Watched> m_watched;
    std::shared_ptr<Waker> m_waker;
    QTimer m_frameTimer;
    QTimer m_staleTimer;
    QElapsedTimer m_sinceFrame;
    double m_frameMs = 1000.0 / 60.0;
    uint64_t m_frames = 0;
};

} // namespace Kelvaros
