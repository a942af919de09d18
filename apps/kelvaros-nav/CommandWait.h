#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "core/Signal.h"

namespace Kelvaros
{
class TrackingStream;
}

namespace Kelvaros::Nav
{

/// Holds a command until its work is over: finish() was called (any thread), a playback source it follows played
/// its last sample, the user interrupted (SIGINT, SIGTERM) or the time is up. The waiting thread sleeps on a
/// condition and wakes once a second only to report progress. While it lives it owns the process's interrupt
/// handlers, so there is one at a time.
class CommandWait : public SignalReceiver
{
public:
    CommandWait();
    ~CommandWait() override;

    void finish();
    /// Finishes the wait when `source` is a playback that played its last sample (already or later).
    void followPlayback(TrackingStream& source);
    /// Waits as the class says, calling `report(elapsed seconds)` once a second meanwhile.
    void wait(double seconds, const std::function<void(double)>& report);

private:
    /// Interrupt watcher: a signal handler may only post a semaphore, so this thread turns the post into finish().
    void watchInterrupts();

    std::mutex m_mutex;
    std::condition_variable m_finishedCondition;
    bool m_finished = false; // guarded by m_mutex
    std::thread m_watcher;
};

} // namespace Kelvaros::Nav
