#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/Export.h"

namespace Kelvaros::Animations
{

/// A timed change: for `duration` milliseconds the progress callback receives the eased progress (a
/// QEasingCurve::Type value picks the curve; 0 is linear), ending with exactly the curve's value at 1. Run it with
/// runAnimation. Main thread only.
class KELVAROS_API Animation
{
public:
    enum State : int
    {
        Stopped = 0,
        Running = 1
    };

    Animation(int durationMs, int easingCurve, std::function<void(double)> progress);

    [[nodiscard]] int duration() const { return m_durationMs; }
    [[nodiscard]] int easingCurve() const { return m_easingCurve; }
    /// 0 stopped (not started, finished or stopped), 1 running.
    [[nodiscard]] int state() const { return m_state; }
    /// Stops at once: the callback is not called again.
    void stop() { m_state = Stopped; }

private:
    friend class Runner;

    int m_durationMs;
    int m_easingCurve;
    std::function<void(double)> m_progress;
    int m_state = Stopped;
};

/// Starts an animation on the Qt main thread's animation timer (about 60 ticks a second). Running it under an id
/// whose animation still runs stops that one first. The runner shares ownership until the animation ends. A
/// QApplication must exist.
KELVAROS_API void runAnimation(std::shared_ptr<Animation> animation, std::optional<std::string> id = std::nullopt);

} // namespace Kelvaros::Animations
