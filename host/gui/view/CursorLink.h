#pragma once

#include <QObject>
#include <QPointer>

#include "core/Signal.h"
#include "gui/scene/GlCrosshair.h"
#include "lib/view/ViewCursor.h"

namespace Kelvaros
{

class DisplayWidgetMulti;
class ImageViewSlice;
class ImageView3D;

/// Joins the views of a DisplayWidgetMulti through one ViewCursor: a left click or drag in a slice view places
/// the cursor, the other slice views move their planes through it (along their normals only), every view marks it
/// with a GlCrosshair and the slice views show their read-outs about it. The 3D view cuts the volumes where the
/// slice views' planes lie, following every scroll, pan or cursor move.
///
/// A child of the display, deleted with it (or before it, which undoes the links). Main thread only.
class KELVAROS_API CursorLink
  : public QObject
  , public SignalReceiver
{
    Q_OBJECT

public:
    explicit CursorLink(DisplayWidgetMulti& display);
    ~CursorLink() override;

    [[nodiscard]] ViewCursor& cursor() { return m_cursor; }
    [[nodiscard]] const GlCrosshair& crosshair() const { return m_crosshair; }

signals:
    /// The cursor's new world position (mm), after the slice views moved through it.
    void cursorMoved(double x, double y, double z);

private:
    void follow(const Eigen::Vector3d& point);
    /// Hands the slice views' planes to the 3D view.
    void updateVolumePlanes();

    std::array<QPointer<ImageViewSlice>, 3> m_slices;
    QPointer<ImageView3D> m_view3D;
    ViewCursor m_cursor;
    GlCrosshair m_crosshair;
};

} // namespace Kelvaros
