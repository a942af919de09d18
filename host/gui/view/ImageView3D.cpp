#include "gui/view/ImageView3D.h"

#include <QEasingCurve>

#include <Eigen/Geometry>

#include "gui/view/Animations.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/InteractionView3D.h"

namespace Kelvaros
{
namespace
{
constexpr int kGlideMs = 500;

Eigen::Matrix4d interpolatePose(const Eigen::Matrix4d& from, const Eigen::Matrix4d& to, double t)
{
    const Eigen::Quaterniond a(Eigen::Matrix3d(from.topLeftCorner<3, 3>()));
    const Eigen::Quaterniond b(Eigen::Matrix3d(to.topLeftCorner<3, 3>()));
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() = a.slerp(t, b).toRotationMatrix();
    pose.block<3, 1>(0, 3) = (1 - t) * from.block<3, 1>(0, 3) + t * to.block<3, 1>(0, 3);
    return pose;
}
} // namespace

ImageView3D::ImageView3D(QWidget* parent) : InteractiveView(std::make_unique<GlVolumeView>(), parent)
{
    auto interaction = std::make_unique<InteractionView3D>(volumeView(), *this);
    m_interaction = interaction.get();
    setInteractionHandler(std::move(interaction));
}

ImageView3D::~ImageView3D()
{
    // A glide still running would call into this view.
    if (m_glide)
        m_glide->stop();
}

GlVolumeView& ImageView3D::volumeView() const
{
    return static_cast<GlVolumeView&>(glView());
}

void ImageView3D::setMatrix(const Eigen::Matrix4d& camera, bool animate)
{
    if (!animate)
    {
        if (m_glide)
            m_glide->stop();
        volumeView().setCameraMatrix(camera);
        return;
    }
    const Eigen::Matrix4d start = volumeView().camera().matrix();
    if (m_glide)
        m_glide->stop();
    m_glide = std::make_shared<Animations::Animation>(
      kGlideMs, QEasingCurve::InOutQuad,
      [this, start, camera](double t) { volumeView().setCameraMatrix(interpolatePose(start, camera, t)); });
    Animations::runAnimation(m_glide);
}

} // namespace Kelvaros
