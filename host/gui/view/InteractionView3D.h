#pragma once

#include <QPoint>

#include <Eigen/Core>

#include "core/Export.h"
#include "gui/view/Interaction.h"

class QWidget;

namespace Kelvaros
{

class GlVolumeView;

/// Mouse control of a 3D view: the left button rotates the camera about the scene centre (horizontal motion about
/// the screen's vertical axis, vertical motion about its horizontal axis, 0.4 degrees per pixel), the middle button
/// or shift + left pans (the point under the cursor follows it), the wheel moves the camera towards or away from
/// its look-at point (10 % per notch). Main thread only.
class KELVAROS_API InteractionView3D : public Interaction
{
public:
    /// `widget` gives the size in pixels of what the view is drawn into; both must outlive this.
    InteractionView3D(GlVolumeView& view, const QWidget& widget);

    /// The point rotations turn about (world, mm).
    void setSceneCenter(const Eigen::Vector3d& centre) { m_sceneCenter = centre; }
    [[nodiscard]] const Eigen::Vector3d& sceneCenter() const { return m_sceneCenter; }

    /// Turns the camera about the scene centre by screen-space drags (pixels; x right, y down).
    void rotate(double dxPixels, double dyPixels);
    void pan(double dxPixels, double dyPixels);
    /// Moves the eye towards the look-at point by the fraction 1 - 0.9^notches (negative notches move away).
    void dolly(double notches);

    bool mousePress(QMouseEvent& event) override;
    bool mouseMove(QMouseEvent& event) override;
    bool mouseRelease(QMouseEvent& event) override;
    bool wheel(QWheelEvent& event) override;
    bool keyPress(QKeyEvent& event) override;

private:
    enum class Drag
    {
        None,
        Rotate,
        Pan
    };

    GlVolumeView& m_view;
    const QWidget& m_widget;
    Eigen::Vector3d m_sceneCenter = Eigen::Vector3d::Zero();
    Drag m_drag = Drag::None;
    QPoint m_last;
};

} // namespace Kelvaros
