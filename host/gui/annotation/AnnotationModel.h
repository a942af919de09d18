#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <QObject>

#include <Eigen/Core>

#include "core/Export.h"
#include "core/Signal.h"

namespace Kelvaros
{

namespace QtHelpers
{
class MainThreadCall;
}

class AnnotationHistory;
class Data;
class DisplayWidgetMulti;
class DrawingManipulator;
class InteractiveObject;
class Manipulator;

/// The annotations of the scene (InteractiveObject: a drawn object and, optionally, what lets the user edit it),
/// each attached to a data object or to none. It owns them, shows them in the views of a display (view group 0,
/// their manipulators registered with every view), keeps an undo history of adding, removing and moving the points
/// of annotations, and lets the user draw lines and splines.
///
/// The points of a line, spline or point annotation attached to a data object move with that object's placement
/// (Data::matrix): a path planned on a volume before its registration lies on the same anatomy after it. The
/// points stay in world coordinates, as the panels that read them expect.
///
/// Annotations taken out by undo stay alive inside the history (redo brings back the same object); listeners drop
/// their pointers on annotationAboutToBeRemoved, which is emitted for undo as for removeAnnotation.
///
/// Main thread only. A parent data object must outlive its annotations here and in the history: call
/// removeAnnotationsOf before deleting it.
class KELVAROS_API AnnotationModel : public QObject
{
    Q_OBJECT

public:
    explicit AnnotationModel(QObject* parent = nullptr);
    ~AnnotationModel() override;

    /// Takes an annotation (null is ignored: returns null), shows it, records the addition in the history and
    /// emits annotationAdded. Returns the annotation.
    InteractiveObject* addAnnotation(std::unique_ptr<InteractiveObject> annotation, Data* parent = nullptr);
    /// Emits annotationAboutToBeRemoved, then takes the annotation out of the views and destroys it (the history
    /// keeps it instead, so that undo can bring it back). Unknown annotations are ignored.
    void removeAnnotation(InteractiveObject* annotation);
    /// The data object is going away: removes its annotations (annotationAboutToBeRemoved for each) and drops
    /// what the history holds about them, so that undo cannot bring back an annotation of deleted data.
    void removeAnnotationsOf(const Data* data);
    /// All annotations in the order they were added (data null), or those attached to `data`. Data objects hold
    /// no nested data here, so `includeChildren` gives the same list; it is kept for callers that ask for a data
    /// object together with what it contains.
    [[nodiscard]] std::vector<InteractiveObject*> getAnnotations(const Data* data = nullptr,
                                                                 bool includeChildren = false) const;
    /// The data object an annotation is attached to; null for none or an unknown annotation.
    [[nodiscard]] Data* parentData(const InteractiveObject* annotation) const;
    [[nodiscard]] bool contains(const InteractiveObject* annotation) const;

    /// The manipulator annotations get by default: dragging a control point of a point-based annotation (line,
    /// spline, point) moves it; other objects are left alone.
    [[nodiscard]] std::unique_ptr<Manipulator> createDefaultManipulator();
    /// Keeps the annotation out of the history from now on and forgets what was recorded about it: objects the
    /// application places itself (tool meshes) are not the user's edits.
    void ignoreAnnotationInHistory(InteractiveObject* annotation);
    /// Whether the application placed the annotation itself (kept out of the history), rather than the user.
    [[nodiscard]] bool isPlacedByApplication(const InteractiveObject* annotation) const;

    void undo();
    void redo();
    [[nodiscard]] bool canUndo() const;
    [[nodiscard]] bool canRedo() const;

    /// Shows the annotations in the views of `display` (not owned; null: none). The display must outlive the
    /// model or be replaced first.
    void setDisplay(DisplayWidgetMulti* display);
    [[nodiscard]] DisplayWidgetMulti* display() const { return m_display; }

    /// Interactive drawing in the display's views: the next left clicks place the points of a new line (complete
    /// after two clicks) or spline (complete on a double click or Enter, with at least two points), attached to
    /// `parent`. Escape cancels; starting another drawing replaces the one in progress. Without a display nothing
    /// happens.
    void beginLine(Data* parent = nullptr);
    void beginSpline(Data* parent = nullptr);
    [[nodiscard]] bool isDrawing() const { return m_drawing != nullptr; }
    /// Ends a drawing in progress without adding anything.
    void cancelDrawing();

signals:
    void annotationAdded(InteractiveObject* annotation);
    void annotationAboutToBeRemoved(InteractiveObject* annotation);
    /// The history changed (canUndo / canRedo may differ).
    void historyChanged();
    /// A drawing ended, with the new annotation or null when it was cancelled.
    void drawingFinished(InteractiveObject* annotation);

private:
    friend class AnnotationHistory;
    struct Entry;

    /// Puts an annotation into the model at `position` of its list (-1: last) without recording it, shows it and
    /// emits annotationAdded.
    void insert(std::unique_ptr<InteractiveObject> annotation, Data* parent, int position = -1);
    /// Emits annotationAboutToBeRemoved and takes an annotation out without recording it; null for an unknown one.
    std::unique_ptr<InteractiveObject> take(InteractiveObject* annotation, Data** parent = nullptr,
                                            int* position = nullptr);
    void show(InteractiveObject& annotation);
    void hide(InteractiveObject& annotation);
    void beginDrawing(bool spline, Data* parent);
    [[nodiscard]] int indexOf(const InteractiveObject* annotation) const;
    /// Starts following the placement of an annotation's parent.
    void follow(Data& parent);
    /// Moves the points of `annotation` from where its parent was when they were placed to where it is now.
    void keepOnParent(InteractiveObject& annotation, const Data& parent);

    std::unique_ptr<AnnotationHistory> m_history;
    std::vector<Entry> m_entries;
    DisplayWidgetMulti* m_display = nullptr;
    std::unique_ptr<DrawingManipulator> m_drawing;
    /// Each annotation's parent placement when its points were last placed; kept while the history holds it, so
    /// that a redo after the parent moved brings it back where the parent now is.
    std::map<const InteractiveObject*, Eigen::Matrix4d> m_placedWith;
    std::map<const Data*, SignalConnection> m_followed;
    std::mutex m_pendingMutex; // a parent placed from another thread queues its move
    std::vector<std::shared_ptr<QtHelpers::MainThreadCall>> m_pendingMoves;
};

} // namespace Kelvaros
