#include "gui/annotation/AnnotationModel.h"

#include <algorithm>

#include "gui/annotation/AnnotationHistory.h"
#include "gui/annotation/ControlPointManipulator.h"
#include "gui/annotation/DrawingManipulator.h"
#include "gui/controller/QtHelpers.h"
#include "gui/scene/GlPointBasedAnnotation.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/InteractiveView.h"
#include "lib/Data.h"

namespace Kelvaros
{

struct AnnotationModel::Entry
{
    std::unique_ptr<InteractiveObject> annotation;
    Data* parent = nullptr;
};

AnnotationModel::AnnotationModel(QObject* parent)
  : QObject(parent), m_history(std::make_unique<AnnotationHistory>(*this))
{
}

AnnotationModel::~AnnotationModel()
{
    for (auto& [data, connection] : m_followed)
        connection.disconnect();
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    for (const auto& call : m_pendingMoves)
        call->cancel();
    m_drawing.reset();
    setDisplay(nullptr);
}

InteractiveObject* AnnotationModel::addAnnotation(std::unique_ptr<InteractiveObject> annotation, Data* parent)
{
    InteractiveObject* added = annotation.get();
    if (!added)
        return nullptr;
    // A new object: whatever was known of an earlier one at this address does not apply.
    m_placedWith.erase(added);
    if (parent)
        m_placedWith[added] = parent->matrix();
    insert(std::move(annotation), parent);
    m_history->recordAdd(*added);
    emit historyChanged();
    return added;
}

void AnnotationModel::removeAnnotation(InteractiveObject* annotation)
{
    Data* parent = nullptr;
    int position = -1;
    std::unique_ptr<InteractiveObject> taken = take(annotation, &parent, &position);
    if (!taken)
        return;
    if (m_history->isIgnored(*taken))
    {
        m_history->forget(*taken);
        return;
    }
    m_history->recordRemove(std::move(taken), parent, position);
    emit historyChanged();
}

void AnnotationModel::removeAnnotationsOf(const Data* data)
{
    if (!data)
        return;
    for (InteractiveObject* annotation : getAnnotations(data))
        if (std::unique_ptr<InteractiveObject> taken = take(annotation))
        {
            m_placedWith.erase(taken.get());
            m_history->forget(*taken);
        }
    m_history->forgetData(data);
    if (const auto followed = m_followed.find(data); followed != m_followed.end())
    {
        followed->second.disconnect();
        m_followed.erase(followed);
    }
    emit historyChanged();
}

std::vector<InteractiveObject*> AnnotationModel::getAnnotations(const Data* data, bool) const
{
    std::vector<InteractiveObject*> annotations;
    for (const Entry& entry : m_entries)
        if (!data || entry.parent == data)
            annotations.push_back(entry.annotation.get());
    return annotations;
}

int AnnotationModel::indexOf(const InteractiveObject* annotation) const
{
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [annotation](const Entry& entry) { return entry.annotation.get() == annotation; });
    return found == m_entries.end() ? -1 : int(found - m_entries.begin());
}

Data* AnnotationModel::parentData(const InteractiveObject* annotation) const
{
    const int index = indexOf(annotation);
    return index < 0 ? nullptr : m_entries[size_t(index)].parent;
}

bool AnnotationModel::contains(const InteractiveObject* annotation) const
{
    return annotation && indexOf(annotation) >= 0;
}

std::unique_ptr<Manipulator> AnnotationModel::createDefaultManipulator()
{
    return std::make_unique<ControlPointManipulator>();
}

void AnnotationModel::ignoreAnnotationInHistory(InteractiveObject* annotation)
{
    if (!contains(annotation))
        return;
    m_history->ignore(*annotation);
    emit historyChanged();
}

bool AnnotationModel::isPlacedByApplication(const InteractiveObject* annotation) const
{
    return contains(annotation) && m_history->isIgnored(*annotation);
}

void AnnotationModel::undo()
{
    m_history->undo();
    emit historyChanged();
}

void AnnotationModel::redo()
{
    m_history->redo();
    emit historyChanged();
}

bool AnnotationModel::canUndo() const
{
    return m_history->canUndo();
}

bool AnnotationModel::canRedo() const
{
    return m_history->canRedo();
}

void AnnotationModel::setDisplay(DisplayWidgetMulti* display)
{
    if (display == m_display)
        return;
    cancelDrawing();
    for (Entry& entry : m_entries)
        hide(*entry.annotation);
    m_display = display;
    for (Entry& entry : m_entries)
        show(*entry.annotation);
}

void AnnotationModel::insert(std::unique_ptr<InteractiveObject> annotation, Data* parent, int position)
{
    InteractiveObject& added = *annotation;
    // A planned line or path shows where it crosses the slices it does not lie in.
    if (auto* points = dynamic_cast<GlPointBasedAnnotation*>(added.graphicsObject()))
        points->setCrossingMarked(true);
    if (parent)
    {
        keepOnParent(added, *parent);
        follow(*parent);
    }
    const auto at = position < 0 || position > int(m_entries.size()) ? m_entries.end() : m_entries.begin() + position;
    m_entries.insert(at, Entry{ std::move(annotation), parent });
    if (Manipulator* manipulator = added.manipulator())
        manipulator->addListener(m_history.get());
    show(added);
    emit annotationAdded(&added);
}

std::unique_ptr<InteractiveObject> AnnotationModel::take(InteractiveObject* annotation, Data** parent, int* position)
{
    if (!contains(annotation))
        return nullptr;
    emit annotationAboutToBeRemoved(annotation);
    // A listener may have changed the list meanwhile.
    const int index = indexOf(annotation);
    if (index < 0)
        return nullptr;
    Entry entry = std::move(m_entries[size_t(index)]);
    m_entries.erase(m_entries.begin() + index);
    if (parent)
        *parent = entry.parent;
    if (position)
        *position = index;
    hide(*entry.annotation);
    if (Manipulator* manipulator = entry.annotation->manipulator())
        manipulator->removeListener(m_history.get());
    return std::move(entry.annotation);
}

void AnnotationModel::show(InteractiveObject& annotation)
{
    if (!m_display)
        return;
    m_display->viewGroup(0)->addObject(annotation.graphicsObject());
    for (InteractiveView* view : m_display->views())
        view->addManipulator(annotation.manipulator());
    m_display->update();
}

void AnnotationModel::hide(InteractiveObject& annotation)
{
    if (!m_display)
        return;
    m_display->viewGroup(0)->removeObject(annotation.graphicsObject());
    for (InteractiveView* view : m_display->views())
        view->removeManipulator(annotation.manipulator());
    m_display->update();
}

void AnnotationModel::beginLine(Data* parent)
{
    beginDrawing(false, parent);
}

void AnnotationModel::beginSpline(Data* parent)
{
    beginDrawing(true, parent);
}

void AnnotationModel::cancelDrawing()
{
    if (!m_drawing)
        return;
    m_drawing.reset();
    emit drawingFinished(nullptr);
}

void AnnotationModel::follow(Data& parent)
{
    if (m_followed.count(&parent))
        return;
    Data* data = &parent;
    const auto moved = [this, data]
    {
        if (!m_followed.count(data))
            return; // its annotations went meanwhile
        for (Entry& entry : m_entries)
            if (entry.parent == data)
                keepOnParent(*entry.annotation, *data);
    };
    // A volume is placed from the main thread; a stream's registration may change on its delivery thread.
    m_followed[data] = parent.signalMatrixChanged.connect(
      [this, moved]
      {
          if (QtHelpers::isMainThread())
              return moved();
          std::lock_guard<std::mutex> lock(m_pendingMutex);
          m_pendingMoves.erase(std::remove_if(m_pendingMoves.begin(), m_pendingMoves.end(),
                                              [](const auto& call) { return call->isDone(); }),
                               m_pendingMoves.end());
          m_pendingMoves.push_back(QtHelpers::runOnMainThread(moved));
      });
}

void AnnotationModel::keepOnParent(InteractiveObject& annotation, const Data& parent)
{
    const Eigen::Matrix4d now = parent.matrix();
    const auto placed = m_placedWith.find(&annotation);
    auto* points = dynamic_cast<GlPointBasedAnnotation*>(annotation.graphicsObject());
    if (placed != m_placedWith.end() && points && placed->second != now)
    {
        const Eigen::Matrix4d move = now * placed->second.inverse();
        std::vector<Eigen::Vector3d> moved = points->points();
        for (Eigen::Vector3d& point : moved)
            point = (move * point.homogeneous()).head<3>();
        points->setPoints(std::move(moved));
    }
    m_placedWith[&annotation] = now;
}

void AnnotationModel::beginDrawing(bool spline, Data* parent)
{
    cancelDrawing();
    if (!m_display)
        return;
    const DrawingManipulator::Shape shape =
      spline ? DrawingManipulator::Shape::Spline : DrawingManipulator::Shape::Line;
    m_drawing = std::make_unique<DrawingManipulator>(
      shape, *m_display,
      [this, parent](std::unique_ptr<GlPointBasedAnnotation> drawn)
      {
          // Ends the drawing manipulator, which called this as the last thing it does.
          m_drawing.reset();
          InteractiveObject* added = nullptr;
          if (drawn)
              added = addAnnotation(std::make_unique<InteractiveObject>(std::move(drawn), createDefaultManipulator()),
                                    parent);
          emit drawingFinished(added);
      });
}

} // namespace Kelvaros
