#include "CommandWait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <semaphore.h>

#include "stream/sources/PlaybackTrackingStream.h"

namespace Kelvaros::Nav
{

namespace
{
sem_t g_interrupts;

void onInterrupt(int)
{
    sem_post(&g_interrupts);
}
} // namespace

CommandWait::CommandWait()
{
    sem_init(&g_interrupts, 0, 0);
    m_watcher = std::thread(&CommandWait::watchInterrupts, this);
    std::signal(SIGINT, &onInterrupt);
    std::signal(SIGTERM, &onInterrupt);
}

CommandWait::~CommandWait()
{
    disconnectAll();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    // Wakes the watcher as an interrupt would; the wait is over by now, so finishing it again changes nothing.
    sem_post(&g_interrupts);
    m_watcher.join();
    sem_destroy(&g_interrupts);
}

void CommandWait::finish()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_finishedCondition.notify_all();
}

void CommandWait::followPlayback(TrackingStream& source)
{
    auto* playback = dynamic_cast<PlaybackTrackingStream*>(&source);
    if (!playback)
        return;
    playback->signalFinished.connect(this, [this] { finish(); });
    // It may have finished before the connection was made.
    if (playback->finished())
        finish();
}

void CommandWait::wait(double seconds, const std::function<void(double)>& report)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    // Longer than any session, short enough that the deadline cannot overflow the clock.
    const double bounded = std::min(seconds, 1e9);
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
    std::unique_lock<std::mutex> lock(m_mutex);
    for (auto nextReport = start + std::chrono::seconds(1); !m_finished && Clock::now() < end;
         nextReport += std::chrono::seconds(1))
    {
        if (m_finishedCondition.wait_until(lock, std::min(nextReport, end), [this] { return m_finished; }))
            break;
        if (Clock::now() < nextReport)
            continue;
        lock.unlock();
        report(std::chrono::duration<double>(Clock::now() - start).count());
        lock.lock();
    }
}

void CommandWait::watchInterrupts()
{
    while (sem_wait(&g_interrupts) != 0 && errno == EINTR)
        ;
    finish();
}

} // namespace Kelvaros::Nav
