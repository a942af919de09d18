#pragma once

#include <QPoint>

#include "core/Export.h"
#include "gui/view/Interaction.h"

class QWidget;

namespace Kelvaros
{

class GlSliceView;
class ViewCursor;

/// Mouse and keyboard control of a slice view: the wheel scrolls the plane by one voxel of the first visible
/// volume (1 mm without one) per notch, ctrl + wheel zooms about the mouse, a middle drag pans, a right drag
/// changes window (horizontal) and level (vertical), PageUp / PageDown scroll by one step, and, once a view cursor
/// is set, a left click or drag places it at the point of the plane under the mouse. Overlays and manipulators
/// (annotation tools) are offered presses first, so they keep the left button while they are active.
/// Main thread only.
class KELVAROS_API InteractionSlice : public Interaction
{
public:
    /// `widget` gives the size in pixels of what the view is drawn into; both must outlive this.
    InteractionSlice(GlSliceView& view, const QWidget& widget);

    /// One scroll step (mm): the smallest voxel spacing of the first visible volume, else 1.
    [[nodiscard]] double scrollStep() const;

    /// The cursor a left click or drag places (not owned; null: the left button is left to others).
    void setCursor(ViewCursor* cursor) { m_cursor = cursor; }
    [[nodiscard]] ViewCursor* cursor() const { return m_cursor; }

    bool mousePress(QMouseEvent& event) override;
    bool mouseMove(QMouseEvent& event) override;
    bool mouseRelease(QMouseEvent& event) override;
    bool wheel(QWheelEvent& event) override;
    bool keyPress(QKeyEvent& event) override;

private:
    enum class Drag
    {
        None,
        Pan,
        WindowLevel,
        Cursor
    };

    [[nodiscard]] double pixelRatio() const;
    /// Puts the cursor on the plane at the centre of the widget pixel under `position`.
    void placeCursor(const QPoint& position);

    GlSliceView& m_view;
    const QWidget& m_widget;
    Drag m_drag = Drag::None;
    QPoint m_last;
    ViewCursor* m_cursor = nullptr;
};

} // namespace Kelvaros
