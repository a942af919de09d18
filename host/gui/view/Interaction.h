#pragma once

class QKeyEvent;
class QMouseEvent;
class QWheelEvent;

namespace Kelvaros
{

/// What a view does with the mouse and keyboard. Each handler returns true when it used the event. Positions are
/// the widget's (logical pixels, origin top-left). Main thread only.
class Interaction
{
public:
    virtual ~Interaction() = default;
    virtual bool mousePress(QMouseEvent& event) = 0;
    virtual bool mouseMove(QMouseEvent& event) = 0;
    virtual bool mouseRelease(QMouseEvent& event) = 0;
    virtual bool wheel(QWheelEvent& event) = 0;
    virtual bool keyPress(QKeyEvent& event) = 0;
};

} // namespace Kelvaros
