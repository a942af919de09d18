#include "gui/view/FrameClock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>

#include <QGuiApplication>
#include <QScreen>

#include "gui/controller/QtHelpers.h"
#include "gui/tracking/GlTrackingStream.h"
#include "stream/LatestTrackingSample.h"
#include "stream/TrackingSnapshot.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{
namespace
{
using SteadyClock = std::chrono::steady_clock;

// Main thread only, like the clocks.
bool s_inFrame = false;

/// The shortest time between two frames' starts, in display frames.
constexpr double kFrameIntervalShare = 0.8;

bool staleAt(const TrackingSnapshot& snapshot, SteadyClock::time_point now)
{
    return snapshot.sequence > 0 && now - snapshot.arrival >= kTrackingStaleAfter;
}
} // namespace

/// Reaches the clock from a delivery thread: at most one call to the main thread is on its way at any time, and none
/// runs once the clock is gone.
struct FrameClock::Waker
{
    std::mutex mutex;
    FrameClock* clock = nullptr;
    std::shared_ptr<QtHelpers::MainThreadCall> call;
    std::atomic<bool> pending{ false };

    void fire()
    {
        if (pending.exchange(true))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        if (clock)
            call = QtHelpers::runOnMainThread(
              [this]
              {
                  // Cleared first: a sample that arrives while the frame runs must be able to wake the next one.
                  pending = false;
                  clock->wake();
              });
    }

    void detach()
    {
        std::shared_ptr<QtHelpers::MainThreadCall> queued;
        {
            std::lock_guard<std::mutex> lock(mutex);
            clock = nullptr;
            queued = std::move(call);
        }
        if (queued)
            queued->cancel();
    }
};

FrameClock::FrameClock() : m_waker(std::make_shared<Waker>())
{
    m_waker->clock = this;
    if (const QScreen* screen = QGuiApplication::primaryScreen(); screen && screen->refreshRate() >= 1.0)
        m_frameMs = 1000.0 / screen->refreshRate();
    m_frameTimer.setSingleShot(true);
    m_staleTimer.setSingleShot(true);
    // A coarse timer may fire a few percent early, while the last sample still counts as recent.
    m_staleTimer.setTimerType(Qt::PreciseTimer);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_frameTimer, &QTimer::timeout, [this] { frame(); });
    QObject::connect(&m_staleTimer, &QTimer::timeout, [this] { frame(); });
}

FrameClock::~FrameClock()
{
    for (Watched& watched : m_watched)
    {
        watched.latest->cancelWake(this);
        for (GlTrackingStream* object : watched.objects)
            object->setFrameClock(nullptr);
    }
    m_waker->detach();
}

/// A client of the frames; `active` falls when its watch ends, so that a frame already under way skips it.
struct FrameClock::Client
{
    LatestTrackingSample* latest = nullptr;
    FrameCall call;
    bool active = true;
};

FrameClock::ClientWatch::ClientWatch(std::shared_ptr<Waker> waker, std::shared_ptr<Client> client)
  : m_waker(std::move(waker)), m_client(std::move(client))
{
}

FrameClock::ClientWatch::~ClientWatch()
{
    m_client->active = false;
    FrameClock* clock = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_waker->mutex);
        clock = m_waker->clock;
    }
    // Only the main thread, this one, lets go of the clock: it cannot go between the read and the call.
    if (clock)
        clock->unwatch(*m_client);
}

FrameClock::Watched& FrameClock::watchedOf(LatestTrackingSample& latest)
{
    auto it =
      std::find_if(m_watched.begin(), m_watched.end(), [&latest](const Watched& w) { return w.latest == &latest; });
    if (it != m_watched.end())
        return *it;
    Watched added;
    added.latest = &latest;
    added.drawn = latest.snapshot();
    added.drawnStale = staleAt(*added.drawn, SteadyClock::now());
    m_watched.push_back(std::move(added));
    sleep();
    return m_watched.back();
}

void FrameClock::forgetIfUnused(LatestTrackingSample& latest)
{
    auto it =
      std::find_if(m_watched.begin(), m_watched.end(), [&latest](const Watched& w) { return w.latest == &latest; });
    if (it == m_watched.end() || !it->objects.empty() || !it->clients.empty())
        return;
    latest.cancelWake(this);
    m_watched.erase(it);
}

void FrameClock::watch(GlTrackingStream& object)
{
    Watched& watched = watchedOf(object.stream().latest());
    if (std::find(watched.objects.begin(), watched.objects.end(), &object) == watched.objects.end())
        watched.objects.push_back(&object);
    object.setFrameClock(this);
    object.showFrame(watched.drawn, watched.drawnStale, false);
}

std::unique_ptr<FrameClock::ClientWatch> FrameClock::watch(LatestTrackingSample& latest, FrameCall call)
{
    auto client = std::make_shared<Client>();
    client->latest = &latest;
    client->call = std::move(call);
    watchedOf(latest).clients.push_back(client);
    return std::make_unique<ClientWatch>(m_waker, std::move(client));
}

void FrameClock::unwatch(GlTrackingStream& object)
{
    for (Watched& watched : m_watched)
    {
        auto found = std::find(watched.objects.begin(), watched.objects.end(), &object);
        if (found == watched.objects.end())
            continue;
        watched.objects.erase(found);
        object.setFrameClock(nullptr);
        forgetIfUnused(*watched.latest);
        return;
    }
}

void FrameClock::unwatch(Client& client)
{
    for (Watched& watched : m_watched)
    {
        auto found = std::find_if(watched.clients.begin(), watched.clients.end(),
                                  [&client](const auto& c) { return c.get() == &client; });
        if (found == watched.clients.end())
            continue;
        watched.clients.erase(found);
        forgetIfUnused(*watched.latest);
        return;
    }
}

void FrameClock::wake()
{
    if (m_frameTimer.isActive())
        return;
    // Frames start at least most of a display frame apart rather than a whole one: a tracker sending at the display's
    // rate, but out of phase with a frame that once had to wait, would otherwise wait that long at every sample.
    // With the shorter interval each such wait shrinks at the next sample, and a fast tracker still costs at most a
    // few more frames a second than the display shows.
    const double interval = kFrameIntervalShare * m_frameMs;
    const double elapsed = m_sinceFrame.isValid() ? double(m_sinceFrame.elapsed()) : interval;
    if (elapsed >= interval)
        frame();
    else
        m_frameTimer.start(int(std::ceil(interval - elapsed)));
}

bool FrameClock::isInFrame()
{
    return s_inFrame;
}

void FrameClock::frame()
{
    s_inFrame = true;
    m_frameTimer.stop();
    m_sinceFrame.start();
    ++m_frames;
    struct ClientFrame
    {
        std::shared_ptr<Client> client;
        std::shared_ptr<const TrackingSnapshot> snapshot;
        bool stale;
        bool changed;
    };
    std::vector<ClientFrame> calls;
    for (Watched& watched : m_watched)
    {
        const bool changed = advance(watched);
        for (GlTrackingStream* object : watched.objects)
            object->showFrame(watched.drawn, watched.drawnStale, changed);
        for (const std::shared_ptr<Client>& client : watched.clients)
            calls.push_back({ client, watched.drawn, watched.drawnStale, changed });
    }
    // Called once the list is no longer walked: a client may start or end watches, its own or another's.
    for (const ClientFrame& frame : calls)
        if (frame.client->active)
            frame.client->call(*frame.snapshot, frame.stale, frame.changed);
    s_inFrame = false;
    sleep();
}

bool FrameClock::advance(Watched& watched)
{
    std::shared_ptr<const TrackingSnapshot> newest =
      watched.latest->sequence() != watched.drawn->sequence ? watched.latest->snapshot() : watched.drawn;
    const bool stale = staleAt(*newest, SteadyClock::now());
    const bool changed = stale != watched.drawnStale || !newest->showsSameAs(*watched.drawn);
    // A still tool's newer sample is taken too, though nothing is redrawn: it is what keeps the tool from going stale.
    watched.drawn = std::move(newest);
    watched.drawnStale = stale;
    return changed;
}

void FrameClock::sleep()
{
    std::optional<SteadyClock::time_point> staleAt;
    for (Watched& watched : m_watched)
    {
        const std::shared_ptr<Waker> waker = m_waker;
        watched.latest->wakeAfter(this, watched.drawn->sequence, [waker] { waker->fire(); });
        if (!watched.drawnStale && watched.drawn->sequence > 0)
            staleAt =
              std::min(staleAt.value_or(SteadyClock::time_point::max()), watched.drawn->arrival + kTrackingStaleAfter);
    }
    if (!staleAt)
    {
        m_staleTimer.stop();
        return;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*staleAt - SteadyClock::now());
    m_staleTimer.start(int(std::max<int64_t>(0, wait.count() + 1)));
}

} // namespace Kelvaros
