#include "gui/annotation/AnnotationModel.h"

#include <algorithm>

#include "gui/annotation/AnnotationHistory.h"
#include "gui/annotation/ControlPointManipulator.h"
#include "gui/annotation/DrawingManipulator.h"
#include "gui/scene/GlPointBasedAnnotation.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/InteractiveView.h"

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
    m_drawing.reset();
    setDisplay(nullptr);
}

InteractiveObject* AnnotationModel::addAnnotation(std::unique_ptr<InteractiveObject> annotation, Data* parent)
{
    InteractiveObject* added = annotation.get();
    if (!added)
        return nullptr;
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
            m_history->forget(*taken);
    m_history->forgetData(data);
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
