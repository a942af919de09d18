#include "gui/annotation/PointsOnDataManipulator.h"

#include <algorithm>
#include <functional>

#include <QMouseEvent>

#include "gui/annotation/ControlPointManipulator.h"
#include "gui/annotation/ViewPosition.h"
#include "gui/scene/GlPoint.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/scene/SceneDrawing.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/points/PointsOnData.h"

namespace Kelvaros
{

namespace
{

/// Handles are larger than annotation control points: they are what the user aims at to move a landmark.
constexpr double kHandleSize = 10.0;

} // namespace

/// Takes a plain left click where the view meets the scene and hands its world position on.
class PointsOnDataManipulator::ClickPlacement : public Manipulator
{
public:
    explicit ClickPlacement(std::function<void(const Eigen::Vector3d&)> place) : m_place(std::move(place)) {}

    bool mousePress(QMouseEvent& event, InteractiveView& view) override
    {
        if (event.button() != Qt::LeftButton || event.modifiers() != Qt::NoModifier)
            return false;
        const std::optional<Eigen::Vector3d> world = ViewPosition::worldAt(view, event.localPos());
        if (!world)
            return false;
        m_place(*world);
        return true;
    }

private:
    std::function<void(const Eigen::Vector3d&)> m_place;
};

PointsOnDataManipulator::PointsOnDataManipulator()
  : m_placement(std::make_unique<ClickPlacement>([this](const Eigen::Vector3d& world) { onClick(world); }))
{
}

PointsOnDataManipulator::~PointsOnDataManipulator()
{
    disconnectAll();
    hideVisualGuideInViews();
}

void PointsOnDataManipulator::onManipulatorEvent(Manipulator* manipulator, ManipulatorEvent event)
{
    if (event == ManipulatorEvent::Moved)
        onMovePointInteraction(manipulator);
}

void PointsOnDataManipulator::init(DisplayWidgetMulti* display)
{
    disconnectAll();
    hideVisualGuideInViews();
    setPlacementRegistered(false);
    m_handles.clear();
    m_display = display;
    PointsOnData& points = pointHandler();
    points.signalPointsAdded.connect(this, [this](int first, int end) { onPointsAdded(first, end); });
    points.signalPointsRemoved.connect(this, [this](int first, int end) { onPointsRemoved(first, end); });
    points.signalPointsChanged.connect(this, [this](int first, int end) { onPointsChanged(first, end); });
    points.signalPointsRenamed.connect(this, [this](int first, int end) { onPointsRenamed(first, end); });
    syncHandles();
    setPlacementRegistered(m_pending);
}

void PointsOnDataManipulator::startPointCreation()
{
    m_pending = true;
    setPlacementRegistered(true);
}

void PointsOnDataManipulator::cancelPointCreation()
{
    clearPendingPoint();
}

void PointsOnDataManipulator::clearPendingPoint()
{
    m_pending = false;
    setPlacementRegistered(false);
}

void PointsOnDataManipulator::onClick(const Eigen::Vector3d& world)
{
    clearPendingPoint();
    onCreatePointInteraction(world);
}

void PointsOnDataManipulator::setPlacementRegistered(bool registered)
{
    for (InteractiveView* view : availableViews())
        if (registered)
            view->addManipulator(m_placement.get());
        else
            view->removeManipulator(m_placement.get());
}

std::vector<Eigen::Vector3d> PointsOnDataManipulator::exportPoints()
{
    const PointsOnData& points = pointHandler();
    const Eigen::Matrix4d toWorld = points.pointsToWorld();
    std::vector<Eigen::Vector3d> world;
    for (const Eigen::Vector3d& p : points.allPoints())
        world.push_back(SceneDrawing::toWorld(toWorld, p));
    return world;
}

void PointsOnDataManipulator::goToPoint(int index)
{
    const std::vector<Eigen::Vector3d> world = exportPoints();
    if (!m_display || index < 0 || index >= int(world.size()))
        return;
    for (int i = 0; i < 3; ++i)
    {
        Slice slice = m_display->viewSlice(i)->sliceView().slice();
        slice.setOrigin(world[size_t(index)]);
        m_display->viewSlice(i)->sliceView().setSlice(slice);
    }
}

void PointsOnDataManipulator::setVisible(bool visible)
{
    m_visible = visible;
    for (const std::unique_ptr<InteractiveObject>& handle : m_handles)
        handle->setVisible(visible);
}

void PointsOnDataManipulator::setEditable(bool editable)
{
    m_editable = editable;
    for (const std::unique_ptr<InteractiveObject>& handle : m_handles)
        static_cast<ControlPointManipulator*>(handle->manipulator())->setEditable(editable);
}

void PointsOnDataManipulator::setPointColor(const Eigen::Vector3d& rgb)
{
    m_color = rgb;
    for (const std::unique_ptr<InteractiveObject>& handle : m_handles)
        static_cast<GlPoint*>(handle->graphicsObject())->setColor(rgb);
}

std::vector<InteractiveView*> PointsOnDataManipulator::availableViews() const
{
    if (!m_display)
        return {};
    const std::array<InteractiveView*, 4> views = m_display->views();
    return { views.begin(), views.end() };
}

std::vector<InteractiveView*> PointsOnDataManipulator::pointViews() const
{
    return availableViews();
}

void PointsOnDataManipulator::recomputePointViews()
{
    for (const std::unique_ptr<InteractiveObject>& handle : m_handles)
        showHandle(*handle);
}

void PointsOnDataManipulator::showVisualGuideInViews(InteractiveObject& guide, SharedImageSet&, TransferFunction*)
{
    hideVisualGuideInViews();
    m_guide = guide.graphicsObject();
    if (!m_guide)
        return;
    m_guide->signalDestroyed.connect(this,
                                     [this](const GlObject* gone)
                                     {
                                         if (m_guide == gone)
                                             m_guide = nullptr;
                                     });
    for (InteractiveView* view : pointViews())
        view->glView().addObject(m_guide);
}

void PointsOnDataManipulator::hideVisualGuideInViews()
{
    if (!m_guide)
        return;
    for (InteractiveView* view : availableViews())
        view->glView().removeObject(m_guide);
    m_guide = nullptr;
}

void PointsOnDataManipulator::onPointsAdded(int first, int)
{
    if (first >= 0)
        syncHandles();
}

void PointsOnDataManipulator::onPointsRemoved(int, int)
{
    syncHandles();
}

void PointsOnDataManipulator::onPointsChanged(int first, int end)
{
    for (int i = std::max(first, 0); i < std::min(end, handleCount()); ++i)
        updateHandle(i);
}

void PointsOnDataManipulator::onPointsRenamed(int first, int end)
{
    onPointsChanged(first, end);
}

GlPoint* PointsOnDataManipulator::handle(int index) const
{
    if (index < 0 || index >= handleCount())
        return nullptr;
    return static_cast<GlPoint*>(m_handles[size_t(index)]->graphicsObject());
}

int PointsOnDataManipulator::handleIndex(const Manipulator* manipulator) const
{
    for (int i = 0; i < handleCount(); ++i)
        if (m_handles[size_t(i)]->manipulator() == manipulator)
            return i;
    return -1;
}

void PointsOnDataManipulator::syncHandles()
{
    const int count = pointHandler().size();
    if (handleCount() > count)
        m_handles.resize(size_t(count));
    while (handleCount() < count)
    {
        auto point = std::make_unique<GlPoint>();
        point->setDotSize(kHandleSize);
        point->setPointSize(kHandleSize);
        // A landmark inside the volume would hide behind the 3D view's planes.
        point->setAlwaysVisible(true);
        point->setColor(m_color);
        point->setVisible(m_visible);
        auto manipulator = std::make_unique<ControlPointManipulator>();
        manipulator->setEditable(m_editable);
        manipulator->addListener(this);
        m_handles.push_back(std::make_unique<InteractiveObject>(std::move(point), std::move(manipulator)));
        showHandle(*m_handles.back());
    }
    for (int i = 0; i < count; ++i)
        updateHandle(i);
}

void PointsOnDataManipulator::updateHandle(int index)
{
    const PointsOnData& points = pointHandler();
    GlPoint* point = handle(index);
    point->setMatrix(points.pointsToWorld());
    point->setPoint(points.point(index));
    const std::string name = points.name(index);
    point->setLabelText(name.empty() ? std::to_string(index + 1) : name);
}

void PointsOnDataManipulator::showHandle(InteractiveObject& handle)
{
    for (InteractiveView* view : pointViews())
    {
        view->glView().addObject(handle.graphicsObject());
        view->addManipulator(handle.manipulator());
    }
}

} // namespace Kelvaros
