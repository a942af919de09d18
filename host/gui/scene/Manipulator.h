#pragma once

#include <algorithm>
#include <vector>

#include "core/Export.h"
#include "core/Signal.h"

class QKeyEvent;
class QMouseEvent;

namespace Kelvaros
{

class GlObject;
class InteractiveView;
class Manipulator;

/// What a manipulator tells its listeners about a drag of its object.
enum class ManipulatorEvent
{
    /// A press took hold of the object (its state before the edit can be saved now).
    Grabbed,
    /// The object changed under the mouse.
    Moved,
    /// The button was released; the edit is complete.
    Released
};

/// Told about the edits a manipulator makes. Main thread.
class KELVAROS_API ManipulatorListener
{
public:
    virtual ~ManipulatorListener() = default;
    virtual void onManipulatorEvent(Manipulator* manipulator, ManipulatorEvent event) = 0;
};

/// What lets the user edit a scene object with the mouse in the views that show it. A view offers a press to the
/// manipulators registered with it (the most recently registered first, after its overlays, before its own
/// interaction handler); the one that takes the press gets the moves and the release of that drag. Keys and
/// double clicks are offered the same way. Positions are the widget's (logical pixels, origin top-left); the
/// view is given so that a manipulator can turn them into world positions (see ViewPosition).
///
/// Each handler returns true when it used the event. The defaults use nothing. Main thread only; the listeners
/// are not owned and must outlive their registration.
class KELVAROS_API Manipulator
{
public:
    Manipulator() = default;
    virtual ~Manipulator() { signalDestroyed.emitSignal(this); }
    Manipulator(const Manipulator&) = delete;
    Manipulator& operator=(const Manipulator&) = delete;

    virtual bool mousePress(QMouseEvent&, InteractiveView&) { return false; }
    virtual bool mouseMove(QMouseEvent&, InteractiveView&) { return false; }
    virtual bool mouseRelease(QMouseEvent&, InteractiveView&) { return false; }
    virtual bool mouseDoubleClick(QMouseEvent&, InteractiveView&) { return false; }
    virtual bool keyPress(QKeyEvent&, InteractiveView&) { return false; }

    /// The object edited (not owned; InteractiveObject sets its own object), or null.
    [[nodiscard]] GlObject* target() const { return m_target; }
    void setTarget(GlObject* target) { m_target = target; }

    void addListener(ManipulatorListener* listener) { m_listeners.push_back(listener); }
    void removeListener(ManipulatorListener* listener)
    {
        m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener), m_listeners.end());
    }

    /// Emitted first thing in the destructor, so that views drop the manipulator.
    SignalImpl<const Manipulator*> signalDestroyed;

protected:
    void notify(ManipulatorEvent event)
    {
        // A listener may remove itself while being told.
        const std::vector<ManipulatorListener*> listeners = m_listeners;
        for (ManipulatorListener* listener : listeners)
            listener->onManipulatorEvent(this, event);
    }

private:
    GlObject* m_target = nullptr;
    std::vector<ManipulatorListener*> m_listeners;
};

} // namespace Kelvaros
