#include "gui/view/InteractionView3D.h"

#include <cmath>

#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>

#include <Eigen/Geometry>

#include "gui/view/GlVolumeView.h"

namespace Kelvaros
{
namespace
{
constexpr double kDegreesPerPixel = 0.4;
constexpr double kPi = 3.14159265358979323846;
} // namespace

InteractionView3D::InteractionView3D(GlVolumeView& view, const QWidget& widget) : m_view(view), m_widget(widget) {}

void InteractionView3D::rotate(double dxPixels, double dyPixels)
{
    Camera camera = m_view.camera();
    const Eigen::Matrix4d pose = camera.matrix();
    const Eigen::Vector3d screenX = pose.block<3, 1>(0, 0);
    const Eigen::Vector3d screenY = pose.block<3, 1>(0, 1);
    // Dragging right turns the scene to the right, i.e. the camera to the left about the screen's vertical axis.
    const Eigen::Matrix3d turn = (Eigen::AngleAxisd(-dxPixels * kDegreesPerPixel * kPi / 180, screenY) *
                                  Eigen::AngleAxisd(-dyPixels * kDegreesPerPixel * kPi / 180, screenX))
                                   .toRotationMatrix();
    const auto about = [&](const Eigen::Vector3d& p)
    { return Eigen::Vector3d(m_sceneCenter + turn * (p - m_sceneCenter)); };
    camera.setLookAt(about(camera.position()), about(camera.centre()), turn * camera.upVector());
    m_view.setCamera(camera);
}

void InteractionView3D::pan(double dxPixels, double dyPixels)
{
    Camera camera = m_view.camera();
    const Eigen::Matrix4d pose = camera.matrix();
    const double mm = camera.mmPerPixelAtCentre(GL::Viewport{ 0, 0, m_widget.width(), m_widget.height() });
    const Eigen::Vector3d shift =
      mm * (-dxPixels * Eigen::Vector3d(pose.block<3, 1>(0, 0)) + dyPixels * Eigen::Vector3d(pose.block<3, 1>(0, 1)));
    camera.setLookAt(camera.position() + shift, camera.centre() + shift, camera.upVector());
    m_view.setCamera(camera);
}

void InteractionView3D::dolly(double notches)
{
    Camera camera = m_view.camera();
    const double keep = std::pow(0.9, notches);
    camera.setLookAt(camera.centre() + keep * (camera.position() - camera.centre()), camera.centre(),
                     camera.upVector());
    m_view.setCamera(camera);
}

bool InteractionView3D::mousePress(QMouseEvent& event)
{
    const bool shift = event.modifiers() & Qt::ShiftModifier;
    if (event.button() == Qt::LeftButton)
        m_drag = shift ? Drag::Pan : Drag::Rotate;
    else if (event.button() == Qt::MiddleButton)
        m_drag = Drag::Pan;
    else
        return false;
    m_last = event.pos();
    return true;
}

bool InteractionView3D::mouseMove(QMouseEvent& event)
{
    if (m_drag == Drag::None)
        return false;
    const QPoint delta = event.pos() - m_last;
    m_last = event.pos();
    if (m_drag == Drag::Rotate)
        rotate(delta.x(), delta.y());
    else
        pan(delta.x(), delta.y());
    return true;
}

bool InteractionView3D::mouseRelease(QMouseEvent&)
{
    const bool used = m_drag != Drag::None;
    m_drag = Drag::None;
    return used;
}

bool InteractionView3D::wheel(QWheelEvent& event)
{
    dolly(event.angleDelta().y() / 120.0);
    return true;
}

bool InteractionView3D::keyPress(QKeyEvent&)
{
    return false;
}

} // namespace Kelvaros
