#pragma once

#include <QPoint>

#include "core/Export.h"
#include "gui/view/Interaction.h"

class QWidget;

namespace Kelvaros
{

class GlSliceView;

/// Mouse and keyboard control of a slice view: the wheel scrolls the plane by one voxel of the first visible
/// volume (1 mm without one) per notch, ctrl + wheel zooms about the cursor, a middle drag pans, a right drag
/// changes window (horizontal) and level (vertical), PageUp / PageDown scroll by one step. Main thread only.
class KELVAROS_API InteractionSlice : public Interaction
{
public:
    /// `widget` gives the size in pixels of what the view is drawn into; both must outlive this.
    InteractionSlice(GlSliceView& view, const QWidget& widget);

    /// One scroll step (mm): the smallest voxel spacing of the first visible volume, else 1.
    [[nodiscard]] double scrollStep() const;

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
        WindowLevel
    };

    [[nodiscard]] double pixelRatio() const;

    GlSliceView& m_view;
    const QWidget& m_widget;
    Drag m_drag = Drag::None;
    QPoint m_last;
};

} // namespace Kelvaros
