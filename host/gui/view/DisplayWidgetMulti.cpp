#include "gui/view/DisplayWidgetMulti.h"

#include <algorithm>
#include <optional>

#include <QGridLayout>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include "gui/controller/QtHelpers.h"
#include "gui/view/Camera.h"
#include "gui/view/FrameClock.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "gui/view/InteractionView3D.h"
#include "gui/view/Screenshot.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{
namespace
{
constexpr int kSeparator = 2;
/// The view size assumed for zooming while the widget is not laid out yet.
constexpr int kDefaultViewSide = 360;
constexpr int kMinimumViewSide = 16;
/// A fitted volume keeps a tenth of the view free around it.
constexpr double kFitMargin = 1.1;
const char* const kSliceLabels[] = { "Axial", "Sagittal", "Coronal" };

/// The rectangles (GL window coordinates, y up) of the four quadrants in display order.
std::array<GL::Viewport, 4> quadrants(const QSize& size)
{
    const int leftWidth = (size.width() - kSeparator) / 2;
    const int rightWidth = size.width() - kSeparator - leftWidth;
    const int bottomHeight = (size.height() - kSeparator) / 2;
    const int topHeight = size.height() - kSeparator - bottomHeight;
    const int right = leftWidth + kSeparator;
    const int top = bottomHeight + kSeparator;
    return { GL::Viewport{ 0, top, leftWidth, topHeight }, GL::Viewport{ right, top, rightWidth, topHeight },
             GL::Viewport{ 0, 0, leftWidth, bottomHeight }, GL::Viewport{ right, 0, rightWidth, bottomHeight } };
}
} // namespace

DisplayWidgetMulti::DisplayWidgetMulti(QWidget* parent)
  : QWidget(parent), m_view3D(new ImageView3D(this)), m_frameClock(std::make_shared<FrameClock>())
{
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kSeparator);
    m_view3D->glView().setLabel("3D");
    m_view3D->glView().setBackgroundColor({ 0.08, 0.09, 0.12 });
    layout->addWidget(m_view3D, 0, 0);
    for (int k = 0; k < 3; ++k)
    {
        m_slices[size_t(k)] =
          new ImageViewSlice(Slice(*Slice::planeFromIndex(k), Eigen::Vector3d::Zero(), m_convention), this);
        m_slices[size_t(k)]->glView().setLabel(kSliceLabels[k]);
        layout->addWidget(m_slices[size_t(k)], (k + 1) / 2, (k + 1) % 2);
    }
    m_initialMmPerPixel = m_slices[0]->sliceView().mmPerPixel();
    for (InteractiveView* view : views())
    {
        view->glView().setFrameClock(m_frameClock);
        m_groups[0].addView(view);
    }
    m_groups[1].addView(m_view3D);
    for (ImageViewSlice* slice : m_slices)
        m_groups[2].addView(slice);
}

DisplayWidgetMulti::~DisplayWidgetMulti()
{
    m_followedConnection.disconnect();
    std::lock_guard<std::mutex> lock(m_moveMutex);
    if (m_pendingMove)
        m_pendingMove->cancel();
}

ImageView3D* DisplayWidgetMulti::view3D(int index) const
{
    return index == 0 ? m_view3D : nullptr;
}

ImageViewSlice* DisplayWidgetMulti::viewSlice(int index) const
{
    return index >= 0 && index < 3 ? m_slices[size_t(index)] : nullptr;
}

ViewGroup* DisplayWidgetMulti::viewGroup(int index)
{
    return index >= 0 && index < 3 ? &m_groups[size_t(index)] : nullptr;
}

std::array<InteractiveView*, 4> DisplayWidgetMulti::views() const
{
    return { m_view3D, m_slices[0], m_slices[1], m_slices[2] };
}

void DisplayWidgetMulti::setVisibleData(const DataList& data)
{
    const bool hadVolume = firstVolume() != nullptr;
    GUI::View::setVisibleData(data);
    for (InteractiveView* view : views())
        view->setVisibleData(data);
    followFirstVolume();
    if (hadVolume || !firstVolume())
        return;
    resetViews();
}

void DisplayWidgetMulti::followFirstVolume()
{
    const std::vector<SharedImageSet*> volumes = visibleData().getAll<SharedImageSet>();
    SharedImageSet* volume = volumes.empty() ? nullptr : volumes.front();
    if (volume == m_followed)
        return;
    m_followedConnection.disconnect();
    m_followed = volume;
    if (!volume)
        return;
    m_followedMatrix = volume->matrix();
    // Any thread may move the volume; one queued move takes over those that arrive before it runs.
    m_followedConnection = volume->signalMatrixChanged.connect(
      [this]
      {
          std::lock_guard<std::mutex> lock(m_moveMutex);
          if (!m_pendingMove)
              m_pendingMove = QtHelpers::runOnMainThread([this] { moveWithFollowedVolume(); });
      });
}

void DisplayWidgetMulti::moveWithFollowedVolume()
{
    {
        std::lock_guard<std::mutex> lock(m_moveMutex);
        m_pendingMove.reset();
    }
    if (!m_followed || firstVolume() != m_followed)
        return;
    const Eigen::Matrix4d matrix = m_followed->matrix();
    const Eigen::Affine3d move(matrix * m_followedMatrix.inverse());
    m_followedMatrix = matrix;
    if (move.matrix().isIdentity(1e-12))
        return;
    // Views that looked at the volume go with it; those that looked elsewhere (at tools far from an unregistered
    // volume) stay. A point on the volume before the move is on it, carried along, after.
    const Eigen::AlignedBox3d box = m_followed->worldBoundingBox();
    const auto carried = [&box, &move](const Eigen::Vector3d& point) -> std::optional<Eigen::Vector3d>
    {
        const Eigen::Vector3d moved = move * point;
        return box.contains(moved) ? std::optional(moved) : std::nullopt;
    };
    for (ImageViewSlice* view : m_slices)
    {
        GlSliceView& sliceView = view->sliceView();
        Slice slice = sliceView.slice();
        // Only the origin moves: an anatomical view stays upright however the registration turned the volume.
        if (const auto origin = carried(slice.origin()))
        {
            slice.setOrigin(*origin);
            sliceView.setSlice(slice);
        }
    }
    GlVolumeView& view3D = m_view3D->volumeView();
    Camera camera = view3D.camera();
    if (carried(camera.centre()))
    {
        camera.setLookAt(move * camera.position(), move * camera.centre(), move.linear() * camera.upVector());
        view3D.setCamera(camera);
        m_view3D->interaction().setSceneCenter(move * m_view3D->interaction().sceneCenter());
    }
    update();
}

void DisplayWidgetMulti::setDisplayConvention(Slice::DisplayConvention convention)
{
    if (convention == m_convention)
        return;
    m_convention = convention;
    restoreAnatomicalPlanes();
}

void DisplayWidgetMulti::resetViews()
{
    const SharedImageSet* volume = firstVolume();
    const Eigen::Vector3d centre = volume ? volume->imageToWorld(Eigen::Vector3d::Zero()) : Eigen::Vector3d::Zero();
    for (int k = 0; k < 3; ++k)
        m_slices[size_t(k)]->sliceView().setSlice(Slice(*Slice::planeFromIndex(k), centre, m_convention));
    GlVolumeView& view3D = m_view3D->volumeView();
    if (!volume)
    {
        for (ImageViewSlice* slice : m_slices)
            slice->sliceView().setMmPerPixel(m_initialMmPerPixel);
        view3D.setCamera(Camera());
        m_view3D->interaction().setSceneCenter(Eigen::Vector3d::Zero());
        update();
        return;
    }
    const Eigen::AlignedBox3d box = volume->worldBoundingBox();
    fitSlicesTo(box);
    // From the patient's front, right and above, as a surgeon at the table sees the scene.
    view3D.showBox(box, -Eigen::Vector3d(0.6, 1.0, 0.5), Eigen::Vector3d::UnitZ());
    m_view3D->interaction().setSceneCenter(box.center());
    update();
}

void DisplayWidgetMulti::fitToVolume()
{
    const SharedImageSet* volume = firstVolume();
    if (!volume)
        return;
    const Eigen::AlignedBox3d box = volume->worldBoundingBox();
    fitSlicesTo(box);
    GlVolumeView& view3D = m_view3D->volumeView();
    const Camera& camera = view3D.camera();
    view3D.showBox(box, camera.centre() - camera.position(), camera.upVector());
    m_view3D->interaction().setSceneCenter(box.center());
    update();
}

void DisplayWidgetMulti::restoreAnatomicalPlanes()
{
    const SharedImageSet* volume = firstVolume();
    const std::optional<Eigen::AlignedBox3d> box = volume ? std::optional(volume->worldBoundingBox()) : std::nullopt;
    // Views let go far from the volume (a tool calibrated away from the patient) would show nothing of it.
    const auto outside = [&box](const ImageViewSlice* view)
    { return box && !box->contains(view->sliceView().slice().origin()); };
    const bool lost = std::all_of(m_slices.begin(), m_slices.end(), outside);
    for (ImageViewSlice* view : m_slices)
    {
        GlSliceView& sliceView = view->sliceView();
        const Slice& slice = sliceView.slice();
        sliceView.setSlice(Slice(slice.plane(), lost ? box->center() : slice.origin(), m_convention));
    }
    if (lost)
        fitSlicesTo(*box);
    update();
}

const SharedImageSet* DisplayWidgetMulti::firstVolume() const
{
    const std::vector<SharedImageSet*> volumes = visibleData().getAll<SharedImageSet>();
    return volumes.empty() ? nullptr : volumes.front();
}

double DisplayWidgetMulti::mmPerPixelShowing(const Eigen::AlignedBox3d& box) const
{
    double mmPerPixel = 0.0;
    for (const ImageViewSlice* view : m_slices)
    {
        const Slice& slice = view->sliceView().slice();
        // Half the box's extent along the slice's screen axes: the largest reach of a corner from the centre.
        Eigen::Vector2d halfExtent = Eigen::Vector2d::Zero();
        for (int corner = 0; corner < 8; ++corner)
        {
            const Eigen::Vector3d d = box.corner(Eigen::AlignedBox3d::CornerType(corner)) - box.center();
            halfExtent =
              halfExtent.cwiseMax(Eigen::Vector2d(std::abs(d.dot(slice.xAxis())), std::abs(d.dot(slice.yAxis()))));
        }
        const bool laidOut = isVisible();
        const double width = std::max(laidOut ? view->width() : kDefaultViewSide, kMinimumViewSide);
        const double height = std::max(laidOut ? view->height() : kDefaultViewSide, kMinimumViewSide);
        mmPerPixel = std::max({ mmPerPixel, 2.0 * halfExtent.x() / width, 2.0 * halfExtent.y() / height });
    }
    return mmPerPixel > 0.0 ? kFitMargin * mmPerPixel : m_initialMmPerPixel;
}

void DisplayWidgetMulti::fitSlicesTo(const Eigen::AlignedBox3d& box)
{
    const double mmPerPixel = mmPerPixelShowing(box);
    for (ImageViewSlice* view : m_slices)
    {
        GlSliceView& sliceView = view->sliceView();
        Slice slice = sliceView.slice();
        // Panned so that the box's centre is in the middle, at the depth the slice had.
        slice.setOrigin(slice.project(box.center()));
        sliceView.setSlice(slice);
        sliceView.setMmPerPixel(mmPerPixel);
    }
}

void DisplayWidgetMulti::update()
{
    m_groups[0].requestUpdate();
}

QImage DisplayWidgetMulti::renderToImage(const QSize& size) const
{
    return Screenshot::render(size,
                              [this, &size](const GL::Viewport&)
                              {
                                  // The separators are what the views leave uncovered.
                                  QOpenGLFunctions* f = QOpenGLContext::currentContext()->functions();
                                  f->glClearColor(0.3f, 0.3f, 0.32f, 1.0f);
                                  f->glClear(GL_COLOR_BUFFER_BIT);
                                  const std::array<GL::Viewport, 4> viewports = quadrants(size);
                                  const std::array<InteractiveView*, 4> all = views();
                                  for (size_t i = 0; i < all.size(); ++i)
                                      all[i]->glView().render(viewports[i]);
                              });
}

bool DisplayWidgetMulti::saveScreenshot(const QString& path, const QSize& size) const
{
    return Screenshot::savePng(renderToImage(size), path);
}

} // namespace Kelvaros
