#pragma once

#include <memory>

#include <QObject>
#include <QRect>

#include "core/Export.h"

namespace Kelvaros
{

class GlOverlay;

/// An overlay placed in a view: owns the drawn GlOverlay and puts it at an anchor of the view, 10 pixels from the
/// edges. Anchor codes run clockwise from the top-left corner: 0 top-left, 1 top, 2 top-right, 3 right,
/// 4 bottom-right, 5 bottom, 6 bottom-left, 7 left, 8 centre. Its size is the overlay's size hint, clamped between
/// its minimal size and the view. Main thread only.
class KELVAROS_API InteractiveOverlay : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMargin = 10;

    explicit InteractiveOverlay(std::unique_ptr<GlOverlay> overlay, int anchor = 0, QObject* parent = nullptr);
    ~InteractiveOverlay() override;

    [[nodiscard]] GlOverlay* overlay() const { return m_overlay.get(); }
    [[nodiscard]] int anchor() const { return m_anchor; }
    /// An unknown code is refused (Error in the log).
    void setAnchor(int anchor);
    void setVisible(bool visible);
    [[nodiscard]] bool visible() const;

    /// The overlay's rectangle in a view of the given size: pixels, (x, y) its bottom-left corner counted from
    /// the view's bottom-left. Remembered for mousePress, as views ask for it to draw and to route presses.
    [[nodiscard]] QRect rect(int viewWidth, int viewHeight) const;
    /// A mouse press at (x, y), view pixels from the bottom-left (the view of the last rect() call); true when the
    /// overlay took it, and the view passes it on no further. None taken by default.
    virtual bool mousePress(int x, int y);

protected:
    /// The rectangle of the last rect() call (empty before the first).
    [[nodiscard]] const QRect& lastRect() const { return m_lastRect; }

private:
    std::unique_ptr<GlOverlay> m_overlay;
    int m_anchor;
    mutable QRect m_lastRect;
};

} // namespace Kelvaros
