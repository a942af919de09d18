#include "gui/annotation/ViewPosition.h"

#include <cmath>

#include <Eigen/LU>

#include "gui/scene/SceneDrawing.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/InteractiveView.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros::ViewPosition
{

namespace
{

struct Ray
{
    Eigen::Vector3d origin;
    Eigen::Vector3d direction;
};

/// The viewing ray through a window position: the points on the near and far planes that the pixel shows.
Ray rayAt(const RenderInfo& info, const Eigen::Vector2d& window)
{
    const GL::Viewport& vp = info.viewState.viewport;
    const double x = 2.0 * (window.x() - vp.x) / vp.width - 1.0;
    const double y = 2.0 * (window.y() - vp.y) / vp.height - 1.0;
    const Eigen::Matrix4d worldFromClip = (info.viewState.projection * info.viewState.modelView).inverse();
    const Eigen::Vector4d nearPoint = worldFromClip * Eigen::Vector4d(x, y, -1.0, 1.0);
    const Eigen::Vector4d farPoint = worldFromClip * Eigen::Vector4d(x, y, 1.0, 1.0);
    const Eigen::Vector3d origin = nearPoint.head<3>() / nearPoint.w();
    return { origin, (farPoint.head<3>() / farPoint.w() - origin).normalized() };
}

/// Distance along the ray to a plane; none behind the origin or parallel to it.
std::optional<double> hitDistance(const Ray& ray, const Eigen::Vector3d& point, const Eigen::Vector3d& normal)
{
    const double along = ray.direction.dot(normal);
    if (std::abs(along) < 1e-12)
        return std::nullopt;
    const double t = (point - ray.origin).dot(normal) / along;
    return t >= 0.0 ? std::optional<double>(t) : std::nullopt;
}

/// Nearest hit of the three planes a 3D view shows through the middle of a volume, within its grid.
std::optional<double> volumeHit(const Ray& ray, const SharedImageSet& set)
{
    const Eigen::Matrix4d imageToWorld = set.matrix(-1);
    const Eigen::Matrix4d worldToImage = imageToWorld.inverse();
    const Eigen::Vector3d halfExtent = 0.5 * set.extent() + Eigen::Vector3d::Constant(1e-6);
    std::optional<double> nearest;
    for (int axis = 0; axis < 3; ++axis)
    {
        const std::optional<double> t =
          hitDistance(ray, imageToWorld.block<3, 1>(0, 3), imageToWorld.block<3, 1>(0, axis).normalized());
        if (!t || (nearest && *nearest <= *t))
            continue;
        const Eigen::Vector3d inImage = (worldToImage * (ray.origin + *t * ray.direction).homogeneous()).head<3>();
        if ((inImage.cwiseAbs().array() <= halfExtent.array()).all())
            nearest = t;
    }
    return nearest;
}

const GlSliceView* sliceViewOf(const InteractiveView& view)
{
    return dynamic_cast<const GlSliceView*>(&view.glView());
}

} // namespace

GL::Viewport viewport(const InteractiveView& view)
{
    const qreal ratio = view.devicePixelRatioF();
    return GL::Viewport{ 0, 0, int(view.width() * ratio), int(view.height() * ratio) };
}

RenderInfo renderInfo(const InteractiveView& view)
{
    return view.glView().renderInfo(viewport(view));
}

Eigen::Vector2d windowPosition(const InteractiveView& view, const QPointF& position)
{
    const qreal ratio = view.devicePixelRatioF();
    return { (position.x() + 0.5) * ratio, (view.height() - position.y() - 0.5) * ratio };
}

std::optional<Eigen::Vector3d> worldAt(const InteractiveView& view, const QPointF& position)
{
    const Eigen::Vector2d window = windowPosition(view, position);
    if (const GlSliceView* slice = sliceViewOf(view))
        return slice->worldAt(window.x(), window.y(), viewport(view));
    const Ray ray = rayAt(renderInfo(view), window);
    std::optional<double> nearest;
    for (const SharedImageSet* set : view.glView().visibleVolumes())
        if (const std::optional<double> t = volumeHit(ray, *set); t && (!nearest || *t < *nearest))
            nearest = t;
    if (!nearest)
        return std::nullopt;
    return ray.origin + *nearest * ray.direction;
}

std::optional<Eigen::Vector3d> dragPosition(const InteractiveView& view, const QPointF& position,
                                            const Eigen::Vector3d& grabbed)
{
    if (sliceViewOf(view))
        return worldAt(view, position);
    const RenderInfo info = renderInfo(view);
    const Ray ray = rayAt(info, windowPosition(view, position));
    const Eigen::Vector3d viewDirection = info.viewState.modelView.block<1, 3>(2, 0).transpose();
    const std::optional<double> t = hitDistance(ray, grabbed, viewDirection);
    if (!t)
        return std::nullopt;
    return ray.origin + *t * ray.direction;
}

std::optional<QPointF> shownAt(const InteractiveView& view, const Eigen::Vector3d& world)
{
    const RenderInfo info = renderInfo(view);
    const std::optional<Eigen::Vector3d> shown = SceneDrawing::shownAt(info, world);
    if (!shown)
        return std::nullopt;
    const Eigen::Vector4d eye = info.viewState.modelView * shown->homogeneous();
    if (!info.sliceView && eye.z() >= 0.0)
        return std::nullopt;
    const Eigen::Vector2d window = info.viewState.toWindow(*shown);
    const qreal ratio = view.devicePixelRatioF();
    return QPointF(window.x() / ratio - 0.5, view.height() - window.y() / ratio - 0.5);
}

} // namespace Kelvaros::ViewPosition
