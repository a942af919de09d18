#include "gui/view/Animations.h"

#include <algorithm>
#include <vector>

#include <QCoreApplication>
#include <QEasingCurve>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

namespace Kelvaros::Animations
{

/// The running animations and the timer that advances them; lives as long as the application.
class Runner : public QObject
{
public:
    static Runner& instance()
    {
        static QPointer<Runner> runner;
        if (!runner)
            runner = new Runner(QCoreApplication::instance());
        return *runner;
    }

    void start(std::shared_ptr<Animation> animation, std::optional<std::string> id)
    {
        if (id)
            for (Entry& entry : m_entries)
                if (entry.id == id)
                    entry.animation->stop();
        animation->m_state = Animation::Running;
        QElapsedTimer clock;
        clock.start();
        m_entries.push_back({ std::move(animation), std::move(id), clock });
        if (!m_timer.isActive())
            m_timer.start();
    }

private:
    struct Entry
    {
        std::shared_ptr<Animation> animation;
        std::optional<std::string> id;
        QElapsedTimer clock;
    };

    explicit Runner(QObject* parent) : QObject(parent)
    {
        m_timer.setInterval(16);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &Runner::tick);
    }

    void tick()
    {
        // Callbacks may start or stop animations: advance a copy of the list.
        const std::vector<Entry> current = m_entries;
        for (const Entry& entry : current)
        {
            Animation& a = *entry.animation;
            if (a.m_state != Animation::Running)
                continue;
            const double t = a.m_durationMs > 0 ? std::min(1.0, double(entry.clock.elapsed()) / a.m_durationMs) : 1.0;
            if (t >= 1.0)
                a.m_state = Animation::Stopped;
            if (a.m_progress)
                a.m_progress(QEasingCurve(QEasingCurve::Type(a.m_easingCurve)).valueForProgress(t));
        }
        m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                       [](const Entry& e) { return e.animation->m_state != Animation::Running; }),
                        m_entries.end());
        if (m_entries.empty())
            m_timer.stop();
    }

    QTimer m_timer;
    std::vector<Entry> m_entries;
};

Animation::Animation(int durationMs, int easingCurve, std::function<void(double)> progress)
  : m_durationMs(std::max(durationMs, 0)),
    m_easingCurve(easingCurve >= 0 && easingCurve < QEasingCurve::NCurveTypes ? easingCurve : QEasingCurve::Linear),
    m_progress(std::move(progress))
{
}

void runAnimation(std::shared_ptr<Animation> animation, std::optional<std::string> id)
{
    if (animation)
        Runner::instance().start(std::move(animation), std::move(id));
}

} // namespace Kelvaros::Animations
